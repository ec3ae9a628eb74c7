#include "database/database_adaptor.h"
#include "database/msg_event_info_table.h"
#include "database/msg_notify_info_table.h"
#include "log_capture.h"
#include "test_environment.h"

#include <QSqlDatabase>
#include <QSqlQuery>
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
    if (kind != QLatin1String("directory")) {
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
    void hostDefaultConnectionIsNeverUsed();
    void recoversWhenTheCauseIsGone();
    void threadAtAFinishedThreadsAddress();
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
    const QString dataHome = makeDataHome(kind);
    qputenv("XDG_DATA_HOME", dataHome.toUtf8());

    LogCapture log;
    runOnNewThread([&] {
        MsgNotifyInfoTable messages;
        MsgEventInfoTable events;
        MsgNotifyInfo info;
        info.id = 1;

        messages.insertMsgNotifyInfoRecord(info);
        QVERIFY(!messages.selectMsgNotifyInfoRecordById(1));
        QVERIFY(messages.selectMsgNotifyInfoRecords(-1, 0).isEmpty());
        // Unknown, not empty: the image cache must not be emptied on a failure.
        QVERIFY(!messages.selectMsgNotifyInfoImgUrls());
        messages.updateMsgNotifyInfoRecordFieldReplaceId(1, 5);
        messages.deleteUselessMsgNotifyInfoRecords();
        messages.deleteOldestMsgNotifyInfoRecords(); // the count fails and reads as 0
        events.insertMsgEventInfoRecord(MsgEventInfo(1, 2, 3));
        QVERIFY(events.selectMsgEventInfoRecords().isEmpty());
        QCOMPARE(DatabaseAdaptor::insert(
                     QStringLiteral("INSERT INTO msg_event_info (body) VALUES ('x')")),
                 -1);
        QCOMPARE(DatabaseAdaptor::update(QStringLiteral("DELETE FROM msg_event_info")), false);
        QVERIFY(!DatabaseAdaptor::selectVariant(QStringLiteral("SELECT 1")).isValid());
    });

    // One warning for each of the 13 statements asked for above, none for the table creation
    // retried before each; every statement tried to open the file again.
    QCOMPARE(log.messages(kDbCategory, QtWarningMsg).size(), 13);
    QVERIFY(log.count(QStringLiteral("Connection existed: ")) > 13);
    QCOMPARE(log.count(QStringLiteral("Create connection error:")), 1);
}

// A host with a default SQLite connection of its own: our statements fail on ours, never land in
// the host's database.
void TestDatabaseFaults::hostDefaultConnectionIsNeverUsed()
{
    qputenv("XDG_DATA_HOME", makeDataHome(QStringLiteral("host")).toUtf8());
    const QString hostFile = TestEnvironment::instance()->root() + QStringLiteral("/host.db");
    int hostTables = -1;
    runOnNewThread([&] {
        {
            QSqlDatabase host = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
            host.setDatabaseName(hostFile);
            QVERIFY(host.open());
            MsgEventInfoTable events;
            events.insertMsgEventInfoRecord(MsgEventInfo(1, 2, 3));
            QSqlQuery tables(host);
            QVERIFY(tables.exec(QStringLiteral("SELECT COUNT(*) FROM sqlite_master")));
            QVERIFY(tables.next());
            hostTables = tables.value(0).toInt();
        }
        QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
    });
    QCOMPARE(hostTables, 0);
}

void TestDatabaseFaults::recoversWhenTheCauseIsGone()
{
    // The data home is a regular file until the thread removes it.
    const QFile blocker(makeDataHome(QStringLiteral("recovery")));
    QVERIFY(QFileInfo(blocker.fileName()).isFile());
    qputenv("XDG_DATA_HOME", blocker.fileName().toUtf8());

    bool failedFirst = false;
    bool recovered = false;
    runOnNewThread([&] {
        MsgNotifyInfoTable messages;
        MsgEventInfoTable events;
        events.insertMsgEventInfoRecord(MsgEventInfo(7, 8, 2));
        failedFirst = events.selectMsgEventInfoRecords().isEmpty();
        // The same thread's next statements work, the tables created on the way.
        QFile::remove(blocker.fileName());
        events.insertMsgEventInfoRecord(MsgEventInfo(7, 8, 2));
        MsgNotifyInfo info;
        info.id = 3;
        messages.insertMsgNotifyInfoRecord(info);
        recovered = events.selectMsgEventInfoRecords().value(1) == MsgEventInfo(7, 8, 2) &&
                    messages.selectMsgNotifyInfoRecordById(3).has_value() &&
                    // The reopened connection runs as a new one would.
                    DatabaseAdaptor::selectString(QStringLiteral("PRAGMA journal_mode")) ==
                        QLatin1String("wal");
    });
    QVERIFY(failedFirst);
    QVERIFY(recovered);
}

// A thread made where a finished one was, before that one's connection has been removed, shares
// its connection name: it gets a connection of its own all the same.
void TestDatabaseFaults::threadAtAFinishedThreadsAddress()
{
    qputenv("XDG_DATA_HOME",
            (TestEnvironment::instance()->root() + QStringLiteral("/same-address")).toUtf8());
    struct Worker : QThread
    {
        std::function<void()> work;
        void run() override { work(); }
    };
    alignas(Worker) unsigned char place[sizeof(Worker)];
    QList<int> answers;
    LogCapture log;
    for (int i = 0; i < 2; ++i) {
        auto* thread = new (place) Worker;
        thread->work = [&answers] {
            answers << DatabaseAdaptor::selectVariant(QStringLiteral("SELECT 1")).toInt();
        };
        thread->start();
        thread->wait();
        thread->~Worker();
    }
    QCOMPARE(answers, (QList<int>{1, 1}));
    QCOMPARE(log.count(QStringLiteral("Connection of a finished thread removed: ")), 1);
}

QMN_TEST_MAIN(TestDatabaseFaults)
#include "tst_database_faults.moc"
