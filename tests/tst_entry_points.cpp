#include "test_environment.h"

#include <QDBusConnectionInterface>

namespace {
const QString kService = QStringLiteral("com.quorin.MsgNotification");
const QString kPath = QStringLiteral("/com/quorin/MsgNotification");

QDBusMessage getVersion(const QDBusConnection& connection)
{
    return testing::call(connection,
                         QDBusMessage::createMethodCall(
                             kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                             QStringLiteral("Get"))
                             << kService << QStringLiteral("version"));
}

bool waitForLine(QProcess& process, const QByteArray& line, int timeoutMs = 10000)
{
    return QTest::qWaitFor(
        [&] {
            while (process.canReadLine()) {
                if (process.readLine().trimmed() == line) {
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
}
} // namespace

class TestEntryPoints : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void onlyEntryPointsAreExported();
    void hostDrivesThePlugin();
};

void TestEntryPoints::onlyEntryPointsAreExported()
{
    QProcess nm;
    nm.start(QStringLiteral("nm"), {QStringLiteral("-D"), QStringLiteral("--defined-only"),
                                    QStringLiteral(QMN_LIBRARY_PATH)});
    QVERIFY(nm.waitForFinished());
    QCOMPARE(nm.exitCode(), 0);

    QStringList symbols;
    const QList<QByteArray> lines = nm.readAllStandardOutput().split('\n');
    for (const QByteArray& line : lines) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() == 3) {
            symbols << QString::fromLatin1(fields.at(2));
        }
    }
    symbols.sort();
    QCOMPARE(symbols, QStringList({QStringLiteral("VXMRegister"), QStringLiteral("VXMUnRegister"),
                                   QStringLiteral("main")}));
}

void TestEntryPoints::hostDrivesThePlugin()
{
    auto host = testing::makeProcess(QStringLiteral(QMN_HOST_PATH),
                                     {QStringLiteral("--library"), QStringLiteral(QMN_LIBRARY_PATH),
                                      QStringLiteral("--connection"), QStringLiteral("host-bus"),
                                      QStringLiteral("--service"), kService});
    host->start();
    QVERIFY(host->waitForStarted());
    QVERIFY(waitForLine(*host, "registered 0"));
    QVERIFY(testing::waitForNameOwner(kService));
    QCOMPARE(getVersion(QDBusConnection::sessionBus()).type(), QDBusMessage::ReplyMessage);

    host->write("unregister\n");
    QVERIFY(waitForLine(*host, "unregistered 0"));
    // The host keeps the name; the object is gone.
    QVERIFY(QTest::qWaitFor([] {
        return getVersion(QDBusConnection::sessionBus()).type() == QDBusMessage::ErrorMessage;
    }));

    host->write("register\n");
    QVERIFY(waitForLine(*host, "registered 0"));
    QCOMPARE(getVersion(QDBusConnection::sessionBus()).type(), QDBusMessage::ReplyMessage);

    host->write("quit\n");
    QVERIFY(waitForLine(*host, "bye"));
    QTRY_COMPARE(host->state(), QProcess::NotRunning);
    QCOMPARE(host->exitStatus(), QProcess::NormalExit);
    QCOMPARE(host->exitCode(), 0);
}

QMN_TEST_MAIN(TestEntryPoints)
#include "tst_entry_points.moc"
