// Cost of the database writes of one cycle, on the disk under the current directory:
// storing a page of 50 new messages with their 50 received events, and the display pass's writes
// for 50 messages (bubble id, show count, shown event). Prints median and worst of each.

#include "database/msg_event_info_table.h"
#include "database/msg_notify_info_table.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

namespace {
constexpr int kPageSize = 50;
constexpr int kRounds = 20;

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

void report(const char* what, const QList<double>& values)
{
    std::printf("%-44s median %7.2f ms   max %7.2f ms   (%d runs)\n", what, median(values),
                *std::max_element(values.begin(), values.end()), int(values.size()));
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("com.quorin.MsgNotification*.debug=false"));
    QTemporaryDir dir(QDir::currentPath() + QStringLiteral("/db-bench-XXXXXX"));
    qputenv("XDG_DATA_HOME", dir.path().toUtf8());

    MsgNotifyInfoTable messages;
    MsgEventInfoTable events;

    QList<double> pageTimes;
    QList<double> displayTimes;
    int nextId = 1;
    for (int round = 0; round < kRounds; ++round) {
        MsgNotifyInfos page;
        page.lastModified = 1733000000000 + round;
        for (int i = 0; i < kPageSize; ++i) {
            MsgNotifyInfo info;
            info.id = nextId++;
            info.name = QStringLiteral("activity %1").arg(info.id);
            info.startTime = 1733000000 + info.id;
            info.endTime = info.startTime + 86400;
            info.title = QStringLiteral("Spring sale %1").arg(info.id);
            info.content =
                QStringLiteral("Up to 50% off on selected applications, this week only.");
            info.imgUrl = QStringLiteral("https://img.store.test/%1.png").arg(info.id);
            info.linkInfo = QStringLiteral("store://app/%1").arg(info.id);
            page.datas.append(info);
        }

        QElapsedTimer timer;
        timer.start();
        messages.insertMsgNotifyInfoRecords(page);
        for (const MsgNotifyInfo& info : std::as_const(page.datas)) {
            events.insertMsgEventInfoRecord(MsgEventInfo(info.id, page.lastModified, 1));
        }
        pageTimes.append(timer.nsecsElapsed() / 1e6);

        timer.restart();
        for (const MsgNotifyInfo& info : std::as_const(page.datas)) {
            messages.updateMsgNotifyInfoRecordFieldReplaceId(info.id, uint(info.id + 1000));
            messages.updateMsgNotifyInfoRecordFieldNotifyTimes(info.id);
            events.insertMsgEventInfoRecord(MsgEventInfo(info.id, 1733000000, 2));
        }
        displayTimes.append(timer.nsecsElapsed() / 1e6);
    }

    report("store a page of 50 with 50 received events", pageTimes);
    report("display writes for 50 messages", displayTimes);
    return 0;
}
