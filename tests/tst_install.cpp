#include "loopback_http_server.h"
#include "properties_changed_spy.h"
#include "recording_notification_server.h"
#include "test_environment.h"

#include <QDBusConnectionInterface>
#include <QSettings>
#include <QStandardPaths>

#include <csignal>

namespace {
const QString kService = QStringLiteral("com.quorin.MsgNotification");
const QString kPath = QStringLiteral("/com/quorin/MsgNotification");

// The lines of an INI-style unit or service file, as "Section/Key=Value".
QStringList entries(const QString& path)
{
    QFile file(path);
    QStringList result;
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return result;
    }
    QString section;
    for (const QByteArray& raw : file.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            section = line.mid(1, line.size() - 2);
        } else if (line.contains(QLatin1Char('='))) {
            result << section + QLatin1Char('/') + line;
        }
    }
    return result;
}

int runCmake(const QStringList& arguments)
{
    QProcess cmake;
    cmake.setProcessChannelMode(QProcess::ForwardedChannels);
    cmake.start(QStringLiteral(QMN_CMAKE_COMMAND), arguments);
    if (!cmake.waitForFinished(120000)) {
        return -1;
    }
    return cmake.exitCode();
}
} // namespace

class TestInstall : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void installedTree();
    void sessionFilesNameTheInstalledPrograms();
    void proxySchemasOnRequest();
    void unitFilesVerify();
    void callActivatesTheService();

private:
    QString m_stage;
    uint m_activatedPid = 0;
};

void TestInstall::initTestCase()
{
    m_stage = TestEnvironment::instance()->root() + QStringLiteral("/stage");
    QCOMPARE(runCmake({QStringLiteral("--install"), QStringLiteral(QMN_BUILD_DIR),
                       QStringLiteral("--prefix"), m_stage}),
             0);
    // Nothing has used the session bus yet: replace it by one that activates from the stage.
    QVERIFY(TestEnvironment::instance()->restartBus(
        {m_stage + QStringLiteral("/share/dbus-1/services")}));
}

void TestInstall::cleanupTestCase()
{
    if (m_activatedPid) {
        ::kill(pid_t(m_activatedPid), SIGTERM);
    }
}

void TestInstall::installedTree()
{
    const QStringList files = {
        QStringLiteral(QMN_INSTALL_LIBDIR "/libquorin-msg-notification.so"),
        QStringLiteral(QMN_INSTALL_BINDIR "/quorin-msg-notification"),
        QStringLiteral(QMN_INSTALL_BINDIR "/quorin-msg-notification-query"),
        QStringLiteral(QMN_INSTALL_BINDIR "/quorin-msg-notification-host"),
        QStringLiteral(QMN_INSTALL_DATADIR "/dbus-1/services/com.quorin.MsgNotification.service"),
        QStringLiteral("lib/systemd/user/quorin-msg-notification.service"),
        QStringLiteral("lib/systemd/user/quorin-msg-notification-query.service"),
        QStringLiteral("lib/systemd/user/quorin-msg-notification-query.timer"),
    };
    for (const QString& file : files) {
        QVERIFY2(QFileInfo(m_stage + QLatin1Char('/') + file).isFile(), qPrintable(file));
    }
    QVERIFY(QFileInfo(m_stage + QStringLiteral("/" QMN_INSTALL_DATADIR
                                               "/quorin-msg-notification/translations"))
                .isDir());
    // Demo peers and the platform's schemas are not part of a default install.
    QVERIFY(!QFileInfo::exists(m_stage + QStringLiteral("/" QMN_INSTALL_BINDIR
                                                        "/quorin-msg-notification-demo-server")));
    QVERIFY(!QFileInfo::exists(m_stage + QStringLiteral("/" QMN_INSTALL_DATADIR "/glib-2.0")));
}

void TestInstall::sessionFilesNameTheInstalledPrograms()
{
    const QString service = m_stage + QStringLiteral("/" QMN_INSTALL_BINDIR "/quorin-msg-notification");
    const QString query = service + QStringLiteral("-query");
    QCOMPARE(entries(m_stage + QStringLiteral("/" QMN_INSTALL_DATADIR
                                              "/dbus-1/services/com.quorin.MsgNotification.service")),
             QStringList({QStringLiteral("D-BUS Service/Name=com.quorin.MsgNotification"),
                          QStringLiteral("D-BUS Service/Exec=") + service,
                          QStringLiteral("D-BUS Service/SystemdService=quorin-msg-notification.service")}));
    const QStringList unit =
        entries(m_stage + QStringLiteral("/lib/systemd/user/quorin-msg-notification.service"));
    QVERIFY(unit.contains(QStringLiteral("Service/Type=dbus")));
    QVERIFY(unit.contains(QStringLiteral("Service/BusName=com.quorin.MsgNotification")));
    QVERIFY(unit.contains(QStringLiteral("Service/ExecStart=") + service));
    const QStringList timer =
        entries(m_stage + QStringLiteral("/lib/systemd/user/quorin-msg-notification-query.timer"));
    QVERIFY(timer.contains(QStringLiteral("Timer/OnUnitActiveSec=2h")));
    QVERIFY(timer.contains(QStringLiteral("Timer/RandomizedDelaySec=15min")));
    QVERIFY(timer.contains(QStringLiteral("Install/WantedBy=timers.target")));
    QVERIFY(entries(m_stage + QStringLiteral("/lib/systemd/user/quorin-msg-notification-query.service"))
                .contains(QStringLiteral("Service/ExecStart=") + query));
}

void TestInstall::proxySchemasOnRequest()
{
    QCOMPARE(runCmake({QStringLiteral("--install"), QStringLiteral(QMN_BUILD_DIR),
                       QStringLiteral("--prefix"), m_stage, QStringLiteral("--component"),
                       QStringLiteral("proxy-schemas")}),
             0);
    QVERIFY(QFileInfo(m_stage + QStringLiteral("/" QMN_INSTALL_DATADIR
                                               "/glib-2.0/schemas/"
                                               "com.quorin.wrap.gnome.system.proxy.gschema.xml"))
                .isFile());
}

void TestInstall::unitFilesVerify()
{
    const QString analyze = QStandardPaths::findExecutable(QStringLiteral("systemd-analyze"));
    if (analyze.isEmpty()) {
        QSKIP("systemd-analyze is not installed");
    }
    const QString units = m_stage + QStringLiteral("/lib/systemd/user/");
    QProcess verify;
    verify.setProcessChannelMode(QProcess::ForwardedChannels);
    verify.start(analyze, {QStringLiteral("verify"), QStringLiteral("--user"),
                           units + QStringLiteral("quorin-msg-notification.service"),
                           units + QStringLiteral("quorin-msg-notification-query.service"),
                           units + QStringLiteral("quorin-msg-notification-query.timer")});
    QVERIFY(verify.waitForFinished(60000));
    QCOMPARE(verify.exitCode(), 0);
}

void TestInstall::callActivatesTheService()
{
    // A message server with one due message, and a notification service to show it.
    LoopbackHttpServer server;
    server.setHandler([](const HttpRequest& request) {
        if (request.method == "POST") {
            return HttpResponse::json(R"({"status":200})");
        }
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        return HttpResponse::json(QStringLiteral(R"({"status":200,"datas":[{"id":1,"title":"activated",)"
                                                 R"("content":"c","startTime":%1,"endTime":%2}],)"
                                                 R"("hasNextPage":0})")
                                      .arg(now - 60)
                                      .arg(now + 3600)
                                      .toUtf8());
    });
    QSettings(QStringLiteral("%1/quorin/quorin-msg-notification/quorin-msg-notification.conf")
                  .arg(qEnvironmentVariable("XDG_CONFIG_HOME")),
              QSettings::IniFormat)
        .setValue(QStringLiteral("server"), server.baseUrl());
    RecordingNotificationServer notifications;
    QVERIFY(notifications.start());

    QDBusConnection bus = QDBusConnection::sessionBus();
    QVERIFY(!bus.interface()->isServiceRegistered(kService).value());
    PropertiesChangedSpy spy(bus, kService, kPath);
    QVERIFY(spy.isValid());
    const QDBusMessage reply = testing::call(
        bus, QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("QueryNotifications")),
        30000);
    QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
    m_activatedPid = bus.interface()->servicePid(kService).value();
    QVERIFY(m_activatedPid != 0);

    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 2, 30000);
    QCOMPARE(spy.signalList().last().changed.value(QStringLiteral("running")).toBool(), false);
    QCOMPARE(notifications.callCount(), 1);
    QCOMPARE(notifications.calls().first().summary, QStringLiteral("activated"));
}

QMN_TEST_MAIN(TestInstall)
#include "tst_install.moc"
