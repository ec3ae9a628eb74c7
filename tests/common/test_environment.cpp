#include "test_environment.h"

#include <QDBusConnectionInterface>
#include <QDBusPendingCall>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <csignal>
#include <sys/prctl.h>

namespace {
TestEnvironment* s_instance = nullptr;

const char kBusConfig[] =
    R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=%1</listen>
  <auth>EXTERNAL</auth>
%2
  <!-- The limits of a desktop session bus, not the strict defaults of the daemon. -->
  <limit name="max_incoming_bytes">1000000000</limit>
  <limit name="max_outgoing_bytes">1000000000</limit>
  <limit name="max_message_size">1000000000</limit>
  <limit name="service_start_timeout">120000</limit>
  <limit name="max_completed_connections">100000</limit>
  <limit name="max_names_per_connection">50000</limit>
  <limit name="max_match_rules_per_connection">50000</limit>
  <limit name="max_replies_per_connection">50000</limit>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

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
    const QString base = m_root.path();
    const char* const variables[][2] = {
        {"HOME", "/home"},
        {"XDG_CONFIG_HOME", "/config"},
        {"XDG_DATA_HOME", "/data"},
        {"XDG_CACHE_HOME", "/cache"},
        {"XDG_STATE_HOME", "/state"},
        {"XDG_RUNTIME_DIR", "/runtime"},
    };
    for (const auto& variable : variables) {
        const QString path = base + QLatin1String(variable[1]);
        QDir().mkpath(path);
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                        QFileDevice::ExeOwner);
        qputenv(variable[0], path.toUtf8());
    }
    qputenv("XDG_CONFIG_DIRS", (base + QStringLiteral("/etc-xdg")).toUtf8());
    // Whatever runs a cycle in a test talks to loopback only: the discard port refuses at once.
    // Tests with a server of their own write their own address here.
    const QString configDir = base + QStringLiteral("/config/quorin/quorin-msg-notification");
    QDir().mkpath(configDir);
    QFile config(configDir + QStringLiteral("/quorin-msg-notification.conf"));
    if (config.open(QIODevice::WriteOnly)) {
        config.write("[General]\nserver=http://127.0.0.1:9\n");
    }
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    // Only loopback is ever contacted, and never through a proxy of the machine.
    for (const char* proxy :
         {"http_proxy", "https_proxy", "ftp_proxy", "all_proxy", "no_proxy", "SOCKS_SERVER",
          "auto_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "NO_PROXY"}) {
        qunsetenv(proxy);
    }
    qunsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

TestEnvironment::~TestEnvironment()
{
    if (m_daemon) {
        m_daemon->kill();
        m_daemon->waitForFinished(5000);
    }
    s_instance = nullptr;
}

TestEnvironment* TestEnvironment::instance()
{
    return s_instance;
}

bool TestEnvironment::start()
{
    if (!m_root.isValid()) {
        qCritical("cannot create a temporary directory");
        return false;
    }
    return startBus({});
}

bool TestEnvironment::restartBus(const QStringList& serviceDirs)
{
    if (m_daemon) {
        m_daemon->kill();
        m_daemon->waitForFinished(5000);
    }
    return startBus(serviceDirs);
}

bool TestEnvironment::startBus(const QStringList& serviceDirs)
{
    QString services;
    for (const QString& dir : serviceDirs) {
        services += QStringLiteral("  <servicedir>%1</servicedir>\n").arg(dir);
    }
    const QString socketDir = m_root.path() + QStringLiteral("/bus");
    QDir().mkpath(socketDir);
    const QString configPath = m_root.path() + QStringLiteral("/bus.conf");
    QFile config(configPath);
    if (!config.open(QIODevice::WriteOnly) ||
        config.write(QString::fromLatin1(kBusConfig).arg(socketDir, services).toUtf8()) < 0) {
        qCritical("cannot write the bus configuration");
        return false;
    }
    config.close();

    m_daemon = std::make_unique<QProcess>();
    m_daemon->setChildProcessModifier(dieWithParent);
    // As root without CAP_SYS_RESOURCE it complains about the fd limit on every start.
    m_daemon->setStandardErrorFile(QProcess::nullDevice());
    m_daemon->start(QStringLiteral("dbus-daemon"),
                    {QStringLiteral("--config-file=") + configPath, QStringLiteral("--nofork"),
                     QStringLiteral("--print-address=1")});
    if (!m_daemon->waitForStarted(10000)) {
        qCritical("cannot start dbus-daemon: %s", qPrintable(m_daemon->errorString()));
        return false;
    }
    QByteArray line;
    while (!line.contains('\n')) {
        if (!m_daemon->waitForReadyRead(10000)) {
            qCritical("dbus-daemon printed no address");
            return false;
        }
        line += m_daemon->readAllStandardOutput();
    }
    m_busAddress = QString::fromUtf8(line.trimmed());
    qputenv("DBUS_SESSION_BUS_ADDRESS", m_busAddress.toUtf8());
    return true;
}

namespace testing {

QDBusMessage call(const QDBusConnection& connection, const QDBusMessage& message, int timeoutMs)
{
    QDBusPendingCall pending = connection.asyncCall(message, timeoutMs);
    if (!QTest::qWaitFor([&] { return pending.isFinished(); }, timeoutMs + 1000)) {
        return QDBusMessage::createError(QStringLiteral("test.Timeout"),
                                         QStringLiteral("no answer"));
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
    return QTest::qWaitFor([&] { return bus->isServiceRegistered(service).value() == owned; },
                           timeoutMs);
}

QByteArray duePage(int firstId, int count, const QString& imageBase)
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    QJsonArray datas;
    for (int id = firstId; id < firstId + count; ++id) {
        datas.append(QJsonObject{
            {QStringLiteral("id"), id},
            {QStringLiteral("title"), QStringLiteral("t%1").arg(id)},
            {QStringLiteral("startTime"), now - 60},
            {QStringLiteral("endTime"), now + 86400},
            {QStringLiteral("imgUrl"), imageBase + QStringLiteral("/img/%1.png").arg(id)}});
    }
    return QJsonDocument(QJsonObject{{QStringLiteral("status"), 200},
                                     {QStringLiteral("datas"), datas},
                                     {QStringLiteral("hasNextPage"), 0}})
        .toJson(QJsonDocument::Compact);
}

std::unique_ptr<QProcess> makeProcess(const QString& program, const QStringList& arguments)
{
    auto process = std::make_unique<QProcess>();
    process->setChildProcessModifier(dieWithParent);
    process->setProgram(program);
    process->setArguments(arguments);
    return process;
}

QueryRun runQuery(const QStringList& arguments, const QProcessEnvironment& environment)
{
    const std::unique_ptr<QProcess> process =
        makeProcess(QStringLiteral(QMN_QUERY_PATH), arguments);
    process->setProcessEnvironment(environment);
    process->start();
    QueryRun run;
    if (process->waitForStarted() &&
        QTest::qWaitFor([&] { return process->state() == QProcess::NotRunning; }, 30000) &&
        process->exitStatus() == QProcess::NormalExit) {
        run.exitCode = process->exitCode();
    }
    run.out = process->readAllStandardOutput();
    run.err = process->readAllStandardError();
    return run;
}

} // namespace testing
