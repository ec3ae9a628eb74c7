// JSON to message, message to row, row back to record: the ten fields survive the trip.
#include "common/data.h"

#include <QJsonDocument>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QJsonDocument document =
        QJsonDocument::fromJson(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
    MsgNotifyInfo info;
    info.fromJsonObject(document.object());
    const MsgNotifyInfoRecord record(info.toVariantMap());
    if (record.id != info.id || record.startTime != info.startTime ||
        record.endTime != info.endTime || record.title != info.title ||
        record.linkInfo != info.linkInfo || record.type != info.type ||
        record.linkType != info.linkType || record.imgUrl != info.imgUrl ||
        record.replace_id != 0 || record.notify_times != 0) {
        __builtin_trap();
    }
    return 0;
}
