// The message page parser and the upload verdict parser, on arbitrary server bodies.
#include "http/msg_notify_service_worker.h"

#include <QCoreApplication>
#include <QLoggingCategory>

struct ParserFuzzer
{
    static void run(const QByteArray& body)
    {
        MsgNotifyServiceWorker worker;
        const std::optional<MsgNotifyInfos> page = worker.parseMsgNotifyInfos(body);
        if (page && page->datas.isEmpty()) {
            __builtin_trap(); // an empty page is never a page
        }
        worker.parseReportMsgNotifyInfo(body);
    }
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool quiet = [] {
        QLoggingCategory::setFilterRules(QStringLiteral("*=false"));
        return true;
    }();
    Q_UNUSED(quiet)
    ParserFuzzer::run(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
    return 0;
}
