// Appends one event (message id from the command line, time 1234, type 3), prints "committed" and
// waits to be killed.
#include "database/msg_event_info_table.h"

#include <QCoreApplication>

#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int id = QCoreApplication::arguments().value(1).toInt();
    MsgEventInfoTable().insertMsgEventInfoRecord(MsgEventInfo(id, 1234, 3));
    std::printf("committed\n");
    std::fflush(stdout);
    for (;;) {
        ::pause();
    }
}
