#include "database/database_adaptor.h"
#include "database/msg_event_info_table.h"
#include "database/msg_notify_info_table.h"
#include "log_capture.h"
#include "test_environment.h"

#include <QThread>

namespace {
const char kDbCategory[] = "com.quorin.MsgNotification.database";

// Connections are per thread and take the data home when they are made, so each case gets a
// thread of its own.
void runOnNewThread(const std::function<void()>& work)
{
    std::unique_ptr<QThread> thread(QThread::create(work));
    thread->start();
    thread->wait();
}

QString makeDataHome(const QString& kind)
{
    const QString base = TestEnvironment::instance()->root() + QStringLiteral("/faults-") + kind;
    QDir().mkpath(base);
    const QString dbDir = base + QStringLiteral("/quorin/quorin-msg-notification");
    if (kind == QLatin1String("file-parent")) {
        // The data home itself is a regular file: nothing can be created below it.
        QFile file(base + QStringLiteral("/home"));
        file.open(QIODevice::WriteOnly);
        return file.fileName();
    }
    // The database file is a directory.
    QDir().mkpath(dbDir + QStringLiteral("/msg_notify.db"));
    return base;
}
} // namespace

class TestDatabaseFaults : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void tableCreationFailureIsLogged();
    void everyStatementFailsNeutrally_data();
    void everyStatementFailsNeutrally();
};

void TestDatabaseFaults::tableCreationFailureIsLogged()
{
    qputenv("XDG_DATA_HOME", makeDataHome(QStringLiteral("file-parent")).toUtf8());
    LogCapture log;
    runOnNewThread([] {
        MsgNotifyInfoTable messages;
        MsgEventInfoTable events;
        // Created once per process: a second object does not try again.
        MsgNotifyInfoTable again;
    });
    QCOMPARE(log.count(QStringLiteral("Fail to create table: msg_notify_info")), 1);
    QCOMPARE(log.count(QStringLiteral("Fail to create table: msg_event_info")), 1);
}

void TestDatabaseFaults::everyStatementFailsNeutrally_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("data home is a regular file") << QStringLiteral("file-parent");
    QTest::newRow("database file is a directory") << QStringLiteral("directory");
}

void TestDatabaseFaults::everyStatementFailsNeutrally()
{
    QFETCH(QString, kind);
    qputenv("XDG_DATA_HOME", makeDataHome(kind).toUtf8());

    LogCapture log;
    int statements = 0;
    runOnNewThread([&] {
        MsgNotifyInfoTable messages;
        MsgEventInfoTable events;
        MsgNotifyInfo info;
        info.id = 1;

        messages.insertMsgNotifyInfoRecord(info); // a read, then the write
        QVERIFY(!messages.selectMsgNotifyInfoRecordById(1));
        QVERIFY(messages.selectMsgNotifyInfoRecords(-1, 0).isEmpty());
        messages.updateMsgNotifyInfoRecordFieldReplaceId(1, 5);
        messages.deleteUselessMsgNotifyInfoRecords();
        messages.deleteOldestMsgNotifyInfoRecords(); // the count fails and reads as 0
        events.insertMsgEventInfoRecord(MsgEventInfo(1, 2, 3));
        QVERIFY(events.selectMsgEventInfoRecords().isEmpty());
        QCOMPARE(DatabaseAdaptor::insert(QStringLiteral("INSERT INTO msg_event_info (body) VALUES ('x')")),
                 -1);
        QCOMPARE(DatabaseAdaptor::update(QStringLiteral("DELETE FROM msg_event_info")), false);
        QVERIFY(!DatabaseAdaptor::selectVariant(QStringLiteral("SELECT 1")).isValid());
        statements = 12;
    });
    QCOMPARE(statements, 12);

    // One warning per statement, and every statement tried to open the file again.
    QCOMPARE(log.messages(kDbCategory, QtWarningMsg).size(), statements);
    QCOMPARE(log.count(QStringLiteral("Create connection error:")) +
                 log.count(QStringLiteral("Connection existed: ")),
             statements);
    QCOMPARE(log.count(QStringLiteral("Create connection error:")), 1);
}

QMN_TEST_MAIN(TestDatabaseFaults)
#include "tst_database_faults.moc"
