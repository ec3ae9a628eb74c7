#include "dbus/dbus_interface.h"
#include "plugin/plugin.h"

#include <QCoreApplication>
#include <QtGlobal>

// Stand-alone mode: the library's own main, so the same binary code runs without a host.
Q_DECL_EXPORT int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    DBusInterface service("", nullptr);
    // Failures are logged by registerDBus; the process runs on either way.
    service.registerDBus();
    // The bubbles' button speaks the user's language here too: this is how a desktop runs it.
    plugin::loadTranslator();
    return QCoreApplication::exec();
}
