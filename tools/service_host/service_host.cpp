// A minimal service host: loads the plug-in library with dlopen, creates the application object,
// optionally opens a named session-bus connection (and owns a service name on it, as a host that
// provides the service would), and drives VXMRegister / VXMUnRegister.
//
// Commands on standard input, one a line: "register", "unregister", "quit". Every command is
// answered on standard output ("registered 0", "unregistered 0", "bye"), so that a script or a
// test can wait for it.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QSocketNotifier>

#include <cstdio>
#include <dlfcn.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

using RegisterFunction = int (*)(const char*, void*);
using UnRegisterFunction = int (*)(...);

void reply(const QString& line)
{
    std::fprintf(stdout, "%s\n", qPrintable(line));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(u"quorin-msg-notification-host"_s);

    QCommandLineParser parser;
    parser.setApplicationDescription(u"Loads the quorin-msg-notification plug-in and drives it."_s);
    parser.addHelpOption();
    const QCommandLineOption libraryOption(u"library"_s, u"Plug-in library to load."_s, u"path"_s,
                                           u"libquorin-msg-notification.so"_s);
    const QCommandLineOption connectionOption(
        u"connection"_s, u"Open a session-bus connection of this name and pass the name."_s,
        u"name"_s);
    const QCommandLineOption serviceOption(
        u"service"_s, u"Own this bus name on the named connection before registering."_s,
        u"name"_s);
    parser.addOptions({libraryOption, connectionOption, serviceOption});
    parser.process(app);

    const QByteArray libraryPath = parser.value(libraryOption).toLocal8Bit();
    void* handle = dlopen(libraryPath.constData(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        std::fprintf(stderr, "cannot load %s: %s\n", libraryPath.constData(), dlerror());
        return 1;
    }
    auto registerFunction = reinterpret_cast<RegisterFunction>(dlsym(handle, "VXMRegister"));
    auto unRegisterFunction = reinterpret_cast<UnRegisterFunction>(dlsym(handle, "VXMUnRegister"));
    if (!registerFunction || !unRegisterFunction) {
        std::fprintf(stderr, "%s lacks VXMRegister or VXMUnRegister\n", libraryPath.constData());
        return 1;
    }

    const QByteArray connectionName = parser.value(connectionOption).toUtf8();
    if (!connectionName.isEmpty()) {
        QDBusConnection connection = QDBusConnection::connectToBus(
            QDBusConnection::SessionBus, QString::fromUtf8(connectionName));
        if (!connection.isConnected()) {
            std::fprintf(stderr, "cannot connect to the session bus: %s\n",
                         qPrintable(connection.lastError().message()));
            return 1;
        }
        if (parser.isSet(serviceOption) &&
            !connection.registerService(parser.value(serviceOption))) {
            std::fprintf(stderr, "cannot own %s: %s\n", qPrintable(parser.value(serviceOption)),
                         qPrintable(connection.lastError().message()));
            return 1;
        }
    }
    const char* name = connectionName.isEmpty() ? nullptr : connectionName.constData();

    auto doRegister = [&] {
        reply(u"registered %1"_s.arg(registerFunction(name, nullptr)));
    };
    auto doUnRegister = [&] {
        reply(u"unregistered %1"_s.arg(unRegisterFunction()));
    };

    QByteArray pending;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buffer[256];
        const ssize_t count = ::read(STDIN_FILENO, buffer, sizeof(buffer));
        if (count <= 0) {
            // No more commands; keep serving until killed.
            input.setEnabled(false);
            return;
        }
        pending.append(buffer, count);
        qsizetype end;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QByteArray word = pending.left(end).trimmed();
            pending.remove(0, end + 1);
            if (word == "register") {
                doRegister();
            } else if (word == "unregister") {
                doUnRegister();
            } else if (word == "quit") {
                unRegisterFunction();
                reply(u"bye"_s);
                QCoreApplication::quit();
            } else if (!word.isEmpty()) {
                reply(u"unknown command %1"_s.arg(QString::fromUtf8(word)));
            }
        }
    });

    doRegister();
    return QCoreApplication::exec();
}
