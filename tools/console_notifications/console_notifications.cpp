// A notification service for sessions that have none: takes org.freedesktop.Notifications on
// the session bus and prints every notification to the terminal. CloseNotification closes with
// reason 3, as freedesktop notification services do.

#include "recording_notification_server.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::signal(SIGTERM, [](int) { QCoreApplication::quit(); });
    std::signal(SIGINT, [](int) { QCoreApplication::quit(); });

    RecordingNotificationServer server;
    server.setObserver([](uint id, const RecordingNotificationServer::Call& call) {
        std::printf("notification %u: %s\n", id, qPrintable(call.summary));
        std::printf("    body:     %s\n", qPrintable(call.body));
        std::printf("    icon:     %s\n", qPrintable(call.appIcon));
        std::printf("    replaces: %u\n", call.replacesId);
        std::printf("    action:   %s\n", qPrintable(call.hint()));
        std::fflush(stdout);
    });
    if (!server.start()) {
        std::fprintf(stderr,
                     "cannot take org.freedesktop.Notifications: is a notification service "
                     "running already?\n");
        return 1;
    }
    std::printf("console notification service ready\n");
    std::fflush(stdout);
    return QCoreApplication::exec();
}
