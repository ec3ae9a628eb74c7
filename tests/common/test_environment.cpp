#include "test_environment.h"

#include <QDBusConnectionInterface>
#include <QDBusPendingCall>

#include <csignal>
#include <sys/prctl.h>

namespace {
TestEnvironment* s_instance = nullptr;

void dieWithParent()
{
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
}
} // namespace

TestEnvironment::TestEnvironment()
{
    s_instance = this;
    // Nothing of the user's may be read or written: point every base directory into the sandbox
    // before anything asks for it.
    for (const char* variable : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME",
                                 "XDG_STATE_HOME", "XDG_RUNTIME_DIR", "XDG_CONFIG_DIRS"}) {
        const QString path = m_root.path() + '/' + QString::fromLatin1(variable).toLower();
        QDir().mkpath(path);
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                        QFileDevice::ExeOwner);
        qputenv(variable, path.toUtf8());
    }
    // Whatever runs a cycle in a test talks to loopback only: the discard port refuses at once.
    // Tests with a server of their own write their own address here.
    const QString configDir = m_root.path() + "/xdg_config_home/quorin/quorin-msg-notification";
    QDir().mkpath(configDir);
    QFile config(configDir + "/quorin-msg-notification.conf");
    if (config.open(QIODevice::WriteOnly)) {
        config.write("[General]\nserver=http://127.0.0.1:9\n");
    }
    // Settings in memory, unless a test chooses a backend: GIO's dconf backend keeps a connection
    // to the session bus that ends the process with SIGTERM when that bus goes, and the test's
    // private bus goes before the test.
    if (qEnvironmentVariableIsEmpty("GSETTINGS_BACKEND")) {
        qputenv("GSETTINGS_BACKEND", "memory");
    }
    // Only loopback is ever contacted, and never through a proxy of the machine.
    for (const char* variable :
         {"http_proxy", "https_proxy", "ftp_proxy", "all_proxy", "no_proxy", "SOCKS_SERVER",
          "auto_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "NO_PROXY",
          "DBUS_SESSION_BUS_ADDRESS", "DBUS_SYSTEM_BUS_ADDRESS"}) {
        qunsetenv(variable);
    }
    // Nor the machine's system bus, where NetworkManager would tell the real network's state.
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + QFile::encodeName(m_root.path()) + "/none");
}

TestEnvironment::~TestEnvironment()
{
    for (auto* daemon : {&m_daemon, &m_systemDaemon}) {
        if (*daemon) {
            (*daemon)->kill();
            (*daemon)->waitForFinished(5000);
        }
    }
    s_instance = nullptr;
}

TestEnvironment* TestEnvironment::instance()
{
    return s_instance;
}

bool TestEnvironment::restartBus(const QStringList& serviceDirs)
{
    return startDaemon(m_daemon, "bus", serviceDirs, &m_busAddress, "DBUS_SESSION_BUS_ADDRESS");
}

bool TestEnvironment::startSystemBus()
{
    return startDaemon(m_systemDaemon, "system-bus", {}, &m_systemBusAddress,
                       "DBUS_SYSTEM_BUS_ADDRESS");
}

bool TestEnvironment::startSpareBus(std::unique_ptr<QProcess>& daemon, QString* address)
{
    return startDaemon(daemon, "spare-bus", {}, address, nullptr);
}

bool TestEnvironment::startDaemon(std::unique_ptr<QProcess>& daemon, const QString& name,
                                  const QStringList& serviceDirs, QString* address,
                                  const char* variable)
{
    if (daemon) {
        daemon->kill();
        daemon->waitForFinished(5000);
    }
    QString services;
    for (const QString& dir : serviceDirs) {
        services += QStringLiteral("  <servicedir>%1</servicedir>\n").arg(dir);
    }
    const QString socketDir = m_root.path() + '/' + name;
    QDir().mkpath(socketDir);
    QFile source(QStringLiteral(QMN_BUS_CONFIG));
    QFile config(m_root.path() + '/' + name + ".conf");
    if (!m_root.isValid() || !source.open(QIODevice::ReadOnly) ||
        !config.open(QIODevice::WriteOnly) ||
        config.write(QString::fromUtf8(source.readAll())
                         .replace("@DIR@", socketDir)
                         .replace("@SERVICEDIRS@", services)
                         .toUtf8()) < 0) {
        qCritical("cannot write the bus configuration");
        return false;
    }
    config.close();

    daemon = std::make_unique<QProcess>();
    daemon->setChildProcessModifier(dieWithParent);
    // As root without CAP_SYS_RESOURCE it complains about the fd limit on every start.
    daemon->setStandardErrorFile(QProcess::nullDevice());
    daemon->start("dbus-daemon",
                  {"--config-file=" + config.fileName(), "--nofork", "--print-address=1"});
    QByteArray line;
    while (!line.contains('\n')) {
        if (!daemon->waitForReadyRead(10000)) {
            qCritical("dbus-daemon printed no address: %s", qPrintable(daemon->errorString()));
            return false;
        }
        line += daemon->readAllStandardOutput();
    }
    *address = QString::fromUtf8(line.trimmed());
    if (variable) {
        qputenv(variable, address->toUtf8());
    }
    return true;
}

namespace testing {

namespace {
bool s_ranOut = false;
constexpr int kAfterRunOutMs = 500;
} // namespace

bool waitFor(const std::function<bool()>& done, int timeoutMs)
{
    if (QTest::qWaitFor(done, s_ranOut ? std::min(timeoutMs, kAfterRunOutMs) : timeoutMs)) {
        return true;
    }
    // A wait of none is a look, not a wait.
    if (timeoutMs > 0 && !std::exchange(s_ranOut, true)) {
        qWarning("A wait ran out after %d ms: later waits of this test give up after %d ms",
                 timeoutMs, kAfterRunOutMs);
    }
    return false;
}

QDBusMessage call(const QDBusConnection& connection, const QDBusMessage& message, int timeoutMs)
{
    QDBusPendingCall pending = connection.asyncCall(message, timeoutMs);
    if (!waitFor([&] { return pending.isFinished(); }, timeoutMs + 1000)) {
        return QDBusMessage::createError("test.Timeout", "no answer");
    }
    return pending.reply();
}

QDBusConnection clientConnection(const QString& name)
{
    return QDBusConnection::connectToBus(TestEnvironment::instance()->busAddress(), name);
}

bool waitForNameOwner(const QString& service, bool owned, int timeoutMs)
{
    QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
    return waitFor([&] { return bus->isServiceRegistered(service).value() == owned; }, timeoutMs);
}

bool notificationRoundTrip()
{
    const QDBusMessage reply =
        call(QDBusConnection::sessionBus(),
             QDBusMessage::createMethodCall("org.freedesktop.Notifications",
                                            "/org/freedesktop/Notifications",
                                            "org.freedesktop.Notifications", "GetCapabilities"));
    // Signals that came before the answer are posted by now, but may not be delivered yet.
    QCoreApplication::sendPostedEvents();
    return reply.type() == QDBusMessage::ReplyMessage;
}

std::unique_ptr<QProcess> makeProcess(const QString& program, const QStringList& arguments)
{
    auto process = std::make_unique<QProcess>();
    process->setChildProcessModifier(dieWithParent);
    process->setProgram(program);
    process->setArguments(arguments);
    return process;
}

QStringList readLines(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly)
               ? QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts)
               : QStringList();
}

QueryRun runQuery(const QStringList& arguments, const QProcessEnvironment& environment)
{
    const std::unique_ptr<QProcess> process = makeProcess(QMN_QUERY_PATH, arguments);
    if (!environment.isEmpty()) {
        process->setProcessEnvironment(environment);
    }
    process->start();
    QueryRun run;
    if (process->waitForStarted() &&
        waitFor([&] { return process->state() == QProcess::NotRunning; }, kCycleMs) &&
        process->exitStatus() == QProcess::NormalExit) {
        run.exitCode = process->exitCode();
    }
    run.out = process->readAllStandardOutput();
    run.err = process->readAllStandardError();
    return run;
}

} // namespace testing
