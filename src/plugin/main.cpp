#include "common/singleton.h"
#include "dbus/dbus_interface.h"
#include "http/img_download_manager.h"
#include "http/msg_notify_service.h"
#include "plugin/plugin.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QtGlobal>

namespace {
// The network thread and the image downloads end before main returns: one still running while
// the exit handlers tear down Qt crashes the process.
int stopWorkers(int status)
{
    Singleton<MsgNotifyService>::instance()->stop();
    Singleton<ImgDownloadManager>::instance()->stop();
    return status;
}
} // namespace

// Stand-alone mode: the library's own main, so the same binary code runs without a host.
Q_DECL_EXPORT int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    DBusInterface service("", nullptr);
    // Unreachable it would only hold its memory until the machine stops: registerDBus has said
    // why, and the exit status tells the one who started it.
    if (!service.registerDBus()) {
        return stopWorkers(1);
    }
    // A session bus that ends (a log-out on a bus without systemd) ends the service with it:
    // nobody can call it any more, and the next session starts a new one.
    QDBusConnection::sessionBus().connect(QString(), "/org/freedesktop/DBus/Local",
                                          "org.freedesktop.DBus.Local", "Disconnected", &app,
                                          SLOT(quit()));
    // The bubbles' button speaks the user's language here too: this is how a desktop runs it.
    plugin::loadTranslator();
    return stopWorkers(QCoreApplication::exec());
}
