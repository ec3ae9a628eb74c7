#include "loopback_http_server.h"
#include "notification/desktop_notifications.h"
#include "notification/notification_settings.h"
#include "properties_changed_spy.h"
#include "recording_notification_server.h"
#include "test_environment.h"

#include <QDBusConnectionInterface>
#include <QSettings>
#include <QStandardPaths>
#include <QTranslator>

#include <csignal>

// What an integrator gets: the installed tree, its session files, the library's entry points,
// and a service that the bus starts on the first call.
namespace {
const QString kService = "com.quorin.MsgNotification";
const QString kPath = "/com/quorin/MsgNotification";

int run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(program, arguments);
    return process.waitForFinished(120000) ? process.exitCode() : -1;
}

bool versionAnswers()
{
    QDBusMessage get =
        QDBusMessage::createMethodCall(kService, kPath, "org.freedesktop.DBus.Properties", "Get")
        << kService << "version";
    // Asking must not start the installed service.
    get.setAutoStartService(false);
    return testing::call(QDBusConnection::sessionBus(), get).type() == QDBusMessage::ReplyMessage;
}
} // namespace

class TestInstall : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void installedTree();
    void hostDrivesThePlugin_data();
    void hostDrivesThePlugin();
    void callActivatesTheService();

private:
    QString installed(const QString& path) const { return m_stage + QLatin1Char('/') + path; }

    QString m_stage;
    uint m_activatedPid = 0;
};

void TestInstall::initTestCase()
{
    m_stage = TestEnvironment::instance()->root() + "/stage";
    QCOMPARE(
        run(QStringLiteral(QMN_CMAKE_COMMAND), {"--install", QMN_BUILD_DIR, "--prefix", m_stage}),
        0);
    // The bus activates as a dbus-run-session bus would on a machine whose user systemd runs
    // (it answers with a bus of its own): the service starts there, not in that manager.
    qputenv("PATH", QMN_TEST_DATA_DIR "/bin:" + qgetenv("PATH"));
    qputenv("QMN_SYSTEMCTL_LOG",
            QFile::encodeName(TestEnvironment::instance()->root()) + "/systemctl.log");
    // Nothing has used the session bus yet: replace it by one that activates from the stage.
    QVERIFY(TestEnvironment::instance()->restartBus({installed("share/dbus-1/services")}));
}

void TestInstall::cleanupTestCase()
{
    if (m_activatedPid) {
        ::kill(pid_t(m_activatedPid), SIGTERM);
    }
}

void TestInstall::installedTree()
{
    const QString service = installed(QMN_INSTALL_PROGRAM_DIR "/quorin-msg-notification");
    const QString query = installed(QMN_INSTALL_BINDIR "/quorin-msg-notification-query");
    const QString units = installed("lib/systemd/user/quorin-msg-notification");
    for (const QString& file :
         {installed(QMN_INSTALL_PLUGIN), service, query, service + "-host", units + ".service",
          units + "-query.service", units + "-query.timer",
          installed(QMN_INSTALL_MANDIR "/man1/quorin-msg-notification-query.1")}) {
        QVERIFY2(QFileInfo(file).isFile(), qPrintable(file));
    }
    // Demo peers and the platform's schemas are not part of a default install.
    QVERIFY(!QFileInfo::exists(service + "-demo-server"));
    QVERIFY(!QFileInfo::exists(installed(QMN_INSTALL_DATADIR "/glib-2.0")));
    // The catalogue speaks for the class that asks it.
    QTranslator german;
    QVERIFY(german.load(installed(QMN_INSTALL_DATADIR "/quorin-msg-notification/translations/"
                                                      "quorin-msg-notification_de.qm")));
    QCOMPARE(german.translate(DesktopNotifications::staticMetaObject.className(), "Open"),
             "Öffnen");

    // The session files name the installed programs (the activation test runs the service's).
    const QStringList activation = testing::readLines(
        installed(QMN_INSTALL_DATADIR "/dbus-1/services/com.quorin.MsgNotification.service"));
    QVERIFY(activation.contains("SystemdService=quorin-msg-notification.service"));
    QVERIFY(testing::readLines(units + ".service").contains("ExecStart=" + service));
    QVERIFY(testing::readLines(units + "-query.service").contains("ExecStart=" + query));
    // The entry the bubbles name, with its icon, for the desktop's settings.
    const QString entry = installed(QMN_INSTALL_DATADIR "/applications/" +
                                    NotificationSettings::desktopEntry() + ".desktop");
    const QStringList entryLines = testing::readLines(entry);
    QVERIFY(entryLines.contains("Name=Store messages"));
    QVERIFY(entryLines.contains("NoDisplay=true"));
    QVERIFY(entryLines.contains("X-GNOME-UsesNotifications=true"));
    QVERIFY(QFileInfo::exists(
        installed(QMN_INSTALL_DATADIR "/icons/hicolor/scalable/apps/" +
                  entryLines.filter(QRegularExpression("^Icon=")).value(0).mid(5) + ".svg")));
    const QString validate = QStandardPaths::findExecutable("desktop-file-validate");
    if (!validate.isEmpty()) {
        QCOMPARE(run(validate, {entry}), 0);
    }
    const QString analyze = QStandardPaths::findExecutable("systemd-analyze");
    if (!analyze.isEmpty()) {
        QCOMPARE(run(analyze, {"verify", "--user", "--man=no", units + ".service",
                               units + "-query.service", units + "-query.timer"}),
                 0);
    }
}

void TestInstall::hostDrivesThePlugin_data()
{
    QTest::addColumn<QStringList>("connection");
    QTest::newRow("on the host's connection, which owns the name")
        << QStringList{"--connection", "host-bus", "--service", kService};
    QTest::newRow("the plug-in owns the name") << QStringList();
}

// Unregistering frees the bus at once, so that registering again in the same turn works; a
// second registration replaces the first.
void TestInstall::hostDrivesThePlugin()
{
    QFETCH(QStringList, connection);
    auto host =
        testing::makeProcess(installed(QMN_INSTALL_PROGRAM_DIR "/quorin-msg-notification-host"),
                             QStringList{"--library", installed(QMN_INSTALL_PLUGIN)} + connection);
    host->start();
    const auto says = [&host](const QByteArray& line) {
        return testing::waitFor(
            [&] {
                while (host->canReadLine()) {
                    if (host->readLine().trimmed() == line) {
                        return true;
                    }
                }
                return false;
            },
            testing::kAtOnceMs);
    };
    QVERIFY(says("registered 0"));
    QVERIFY(testing::waitForNameOwner(kService));
    QVERIFY(versionAnswers());
    host->write("unregister\nregister\n");
    QVERIFY(says("unregistered 0") && says("registered 0"));
    QVERIFY(versionAnswers());
    host->write("register\nunregister\n");
    QVERIFY(says("registered 0") && says("unregistered 0"));
    // Nothing of the first registration is left behind; the host keeps a name it owns.
    QMN_TRY_VERIFY(!versionAnswers(), testing::kAtOnceMs);
    QCOMPARE(testing::waitForNameOwner(kService, true, 0), !connection.isEmpty());
    host->write("register\nquit\n");
    QVERIFY(says("registered 0") && says("bye"));
    QMN_TRY_VERIFY(host->state() == QProcess::NotRunning, testing::kAtOnceMs);
    QVERIFY(host->exitStatus() == QProcess::NormalExit && host->exitCode() == 0);
    QVERIFY(testing::waitForNameOwner(kService, false));
}

void TestInstall::callActivatesTheService()
{
    // A message server with one due message, and a notification service to show it.
    LoopbackHttpServer server;
    server.setHandler([](const HttpRequest& request) {
        return HttpResponse::json(request.method == "POST"
                                      ? QByteArray(R"({"status":200})")
                                      : R"({"status":200,"hasNextPage":0,"datas":[{"id":1,)"
                                        R"("title":"activated","endTime":4102444800}]})");
    });
    QSettings(QStringLiteral("%1/quorin/quorin-msg-notification/quorin-msg-notification.conf")
                  .arg(qEnvironmentVariable("XDG_CONFIG_HOME")),
              QSettings::IniFormat)
        .setValue("server", server.baseUrl());
    RecordingNotificationServer notifications;
    QVERIFY(notifications.start());

    QDBusConnection bus = QDBusConnection::sessionBus();
    QVERIFY(!bus.interface()->isServiceRegistered(kService).value());
    PropertiesChangedSpy spy(bus, kService, kPath);
    QVERIFY(spy.isValid());
    const QDBusMessage reply = testing::call(
        bus, QDBusMessage::createMethodCall(kService, kPath, kService, "QueryNotifications"),
        testing::kCycleMs);
    QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
    m_activatedPid = bus.interface()->servicePid(kService).value();
    QVERIFY(m_activatedPid != 0);
    QMN_TRY_VERIFY(spy.changes().size() == 2, testing::kCycleMs);
    QCOMPARE(spy.changes().last().value("running").toBool(), false);
    QCOMPARE(notifications.callCount(), 1);
    QCOMPARE(notifications.calls().first().summary, "activated");
    QVERIFY(!QFile::exists(qEnvironmentVariable("QMN_SYSTEMCTL_LOG")));
}

QMN_TEST_MAIN(TestInstall)
#include "tst_install.moc"
