// libFuzzer harnesses, one per QMN_FUZZ_* target: each traps when a rule about untrusted bytes
// breaks.
#include "common/data.h"
#include "http/img_download.h"
#include "http/msg_notify_service_worker.h"

#include <QJsonDocument>
#include <QLoggingCategory>

struct ParserFuzzer
{
    // The message page parser and the upload verdict parser, on arbitrary server bodies: an
    // empty page is never a page.
    static bool page(const QByteArray& body)
    {
        MsgNotifyServiceWorker worker;
        const std::optional<MsgNotifyInfos> page = worker.parseMsgNotifyInfos(body);
        worker.parseReportMsgNotifyInfo(body);
        return !page || !page->datas.isEmpty();
    }

    // The stored event body: parsing never fails loudly, and a parsed event writes back the same.
    static bool event(const QByteArray& bytes)
    {
        const MsgEventInfo parsed(bytes);
        return MsgEventInfo(parsed.toJson()) == parsed;
    }

    // JSON to message, message to row, row back to record: the fields survive the trip.
    static bool record(const QByteArray& bytes)
    {
        MsgNotifyInfo info;
        info.fromJsonObject(QJsonDocument::fromJson(bytes).object());
        const MsgNotifyInfoRecord record(info.toVariantMap());
        return record.id == info.id && record.startTime == info.startTime &&
               record.endTime == info.endTime && record.title == info.title &&
               record.linkInfo == info.linkInfo && record.type == info.type &&
               record.linkType == info.linkType && record.imgUrl == info.imgUrl &&
               record.replace_id == 0 && record.notify_times == 0;
    }

    // The URL-to-file-name rule: whatever the URL, the image stays directly inside the cache
    // folder.
    static bool filename(const QByteArray& bytes)
    {
        const QString url = QString::fromUtf8(bytes);
        const QString name = ImgDownload::imageFileName(url);
        const QString path = ImgDownload::localImagePath(QStringLiteral("/cache"), url);
        if (name.isEmpty()) {
            return path.isEmpty();
        }
        return !name.contains(QLatin1Char('/')) && !name.contains(QChar(0)) && name != "." &&
               name != ".." && path == "/cache/" + name;
    }
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool quiet = [] {
        QLoggingCategory::setFilterRules(QStringLiteral("*=false"));
        return true;
    }();
    Q_UNUSED(quiet)
    if (!ParserFuzzer::QMN_FUZZ_TARGET(
            QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)))) {
        __builtin_trap();
    }
    return 0;
}
