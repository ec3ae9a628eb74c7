// Writes events into the database of its XDG_DATA_HOME, for tests that need a process of its own.
//
//   db_writer ID              append event (ID, 1234, 3), print "committed", wait to be killed
//   db_writer --check ID      append event (ID, 1234, 3), print "queued N" and "has ID", exit
//   db_writer --full-disk     with a file-size limit: append until writes fail, lift the limit,
//                             append once more; print "failed N" and "recovered 0|1"
#include "database/msg_event_info_table.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <sys/resource.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    MsgEventInfoTable table;
    const auto queued = [&table](const MsgEventInfo& event) {
        return table.selectMsgEventInfoRecords().values().contains(event);
    };

    if (arguments.value(1) == QLatin1String("--full-disk")) {
        // A full disk: writes beyond the limit fail (EFBIG) instead of killing the process.
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{};
        getrlimit(RLIMIT_FSIZE, &limit);
        const rlimit small{256 * 1024, limit.rlim_max};
        setrlimit(RLIMIT_FSIZE, &small);
        int failed = 0;
        for (int i = 0; i < 3000 && failed < 5; ++i) {
            const MsgEventInfo event(i, 1234, EventKind::Received);
            table.insertMsgEventInfoRecord(event);
            failed += queued(event) ? 0 : 1;
        }
        setrlimit(RLIMIT_FSIZE, &limit);
        const MsgEventInfo last(999999, 1234, EventKind::Closed);
        table.insertMsgEventInfoRecord(last);
        std::printf("failed %d\nrecovered %d\n", failed, queued(last) ? 1 : 0);
        return 0;
    }

    const bool check = arguments.value(1) == QLatin1String("--check");
    const int id = arguments.value(check ? 2 : 1).toInt();
    const MsgEventInfo event(id, 1234, EventKind::Closed);
    table.insertMsgEventInfoRecord(event);
    if (check) {
        std::printf("queued %d\nhas %d %d\n", int(table.selectMsgEventInfoRecords().size()), id,
                    queued(event) ? 1 : 0);
        return 0;
    }
    std::printf("committed\n");
    std::fflush(stdout);
    for (;;) {
        ::pause();
    }
}
