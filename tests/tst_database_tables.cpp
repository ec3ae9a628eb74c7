#include "database/database_adaptor.h"
#include "database/database_checkpoint.h"
#include "database/database_connection_config.h"
#include "database/msg_event_info_table.h"
#include "database/msg_notify_info_table.h"
#include "log_capture.h"
#include "test_environment.h"

#include <QSet>

#include <algorithm>
#include <csignal>
#include <random>

namespace {
MsgNotifyInfo message(int id, qint64 startTime = 1000, const QString& title = QStringLiteral("t"))
{
    MsgNotifyInfo info;
    info.id = id;
    info.name = QStringLiteral("name %1").arg(id);
    info.startTime = startTime;
    info.endTime = startTime + 3600;
    info.title = title;
    info.content = QStringLiteral("content %1").arg(id);
    info.imgUrl = QStringLiteral("https://img.test/%1.png").arg(id);
    info.linkInfo = QStringLiteral("link %1").arg(id);
    return info;
}

QSet<int> ids(const QList<MsgNotifyInfoRecord>& records)
{
    QSet<int> result;
    for (const MsgNotifyInfoRecord& record : records) {
        result.insert(record.id);
    }
    return result;
}

// Statements run, as the connection layer announces each one.
int statementCount(const LogCapture& log)
{
    return log.count(QStringLiteral("Connection existed: "));
}
} // namespace

class TestDatabaseTables : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void eventQueueKeepsStoredForm();
    void eventIdsAreNeverReused();
    void eventRetryCounting();
    void eventBodyThatIsNotJson();
    void messageStoreRule();
    void messageRetention_data();
    void messageRetention();
    void messageCleanUpOfUsedRows();
    void messageFilteredRead_data();
    void messageFilteredRead();
    void messageShowCount();
    void messageByReplaceId();
    void committedStatementSurvivesKill();
    void writeAheadLogIsReused();

private:
    MsgNotifyInfoTable m_messages;
    MsgEventInfoTable m_events;
};

void TestDatabaseTables::init()
{
    const QList<MsgNotifyInfoRecord> stored = m_messages.selectMsgNotifyInfoRecords(-1, -1);
    for (const MsgNotifyInfoRecord& record : stored) {
        m_messages.deleteMsgNotifyInfoRecordById(record.id);
    }
    const QList<int> queued = m_events.selectMsgEventInfoRecords().keys();
    for (int id : queued) {
        m_events.deleteMsgEventInfoRecordById(id);
    }
}

void TestDatabaseTables::eventQueueKeepsStoredForm()
{
    m_events.insertMsgEventInfoRecord(MsgEventInfo(7, 1000, 1));
    const std::optional<MsgEventInfoRecord> row = m_events.selectMsgEventInfoRecordById(1);
    QVERIFY(row);
    QCOMPARE(row->body, QStringLiteral(R"({"eventTime":1000,"eventType":1,"id":7})"));
    QCOMPARE(row->retry_times, 0);

    const QMap<int, MsgEventInfo> queue = m_events.selectMsgEventInfoRecords();
    QCOMPARE(queue.keys(), QList<int>{1});
    QCOMPARE(queue.value(1), MsgEventInfo(7, 1000, 1));
}

void TestDatabaseTables::eventIdsAreNeverReused()
{
    for (int i = 0; i < 3; ++i) {
        m_events.insertMsgEventInfoRecord(MsgEventInfo(i, 1000 + i, 2));
    }
    QList<int> rows = m_events.selectMsgEventInfoRecords().keys();
    QCOMPARE(rows.size(), 3);
    const int highest = rows.last();
    m_events.deleteMsgEventInfoRecordById(highest);
    m_events.insertMsgEventInfoRecord(MsgEventInfo(9, 2000, 3));
    rows = m_events.selectMsgEventInfoRecords().keys();
    QCOMPARE(rows.size(), 3);
    QVERIFY(!rows.contains(highest));
    QVERIFY(rows.last() > highest);
    // Ascending row id is the order of insertion.
    QCOMPARE(m_events.selectMsgEventInfoRecords().last(), MsgEventInfo(9, 2000, 3));
}

void TestDatabaseTables::eventRetryCounting()
{
    m_events.insertMsgEventInfoRecord(MsgEventInfo(5, 1000, 2));
    const int row = m_events.selectMsgEventInfoRecords().firstKey();
    m_events.updateMsgEventInfoRecordFieldRetryTimes(row);
    m_events.updateMsgEventInfoRecordFieldRetryTimes(row);
    QCOMPARE(m_events.selectMsgEventInfoRecordById(row)->retry_times, 2);
    QVERIFY(m_events.selectMsgEventInfoRecords().contains(row));

    LogCapture log;
    QTest::ignoreMessage(QtWarningMsg, "MsgEventInfo with id: 424242 not exists");
    m_events.updateMsgEventInfoRecordFieldRetryTimes(424242);
    QCOMPARE(statementCount(log), 1);
}

void TestDatabaseTables::eventBodyThatIsNotJson()
{
    // Written past the table's API, as a damaged or foreign row would be.
    QVERIFY(DatabaseAdaptor::update(
        QStringLiteral("INSERT INTO msg_event_info (body) VALUES ('abc')")));
    m_events.insertMsgEventInfoRecord(MsgEventInfo(3, 30, 3));

    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("^Parse MsgEventInfo error: .*abc")));
    const QMap<int, MsgEventInfo> queue = m_events.selectMsgEventInfoRecords();
    QCOMPARE(queue.size(), 2);
    QCOMPARE(queue.first(), MsgEventInfo());
    QCOMPARE(queue.last(), MsgEventInfo(3, 30, 3));
}

void TestDatabaseTables::messageStoreRule()
{
    m_messages.insertMsgNotifyInfoRecord(message(1, 1000, QStringLiteral("first")));
    std::optional<MsgNotifyInfoRecord> row = m_messages.selectMsgNotifyInfoRecordById(1);
    QVERIFY(row);
    QCOMPARE(row->title, QStringLiteral("first"));
    QCOMPARE(row->replace_id, 0u);
    QCOMPARE(row->image_downloaded, false);
    QCOMPARE(row->msg_read, false);
    QCOMPARE(row->notify_times, 0u);

    m_messages.updateMsgNotifyInfoRecordFieldReplaceId(1, 17);
    m_messages.updateMsgNotifyInfoRecordFieldNotifyTimes(1);
    m_messages.updateMsgNotifyInfoRecordFieldNotifyTimes(1);
    m_messages.updateMsgNotifyInfoRecordFieldImageDownloaded(1, true);
    m_messages.updateMsgNotifyInfoRecordFieldMsgRead(1, true);
    row = m_messages.selectMsgNotifyInfoRecordById(1);
    QCOMPARE(row->replace_id, 17u);
    QCOMPARE(row->notify_times, 2u);
    QVERIFY(row->image_downloaded);
    QVERIFY(row->msg_read);

    // Sent again by the server: a new message that replaces its old bubble.
    MsgNotifyInfos page;
    page.datas = {message(1, 2000, QStringLiteral("second"))};
    m_messages.insertMsgNotifyInfoRecords(page);
    row = m_messages.selectMsgNotifyInfoRecordById(1);
    QCOMPARE(row->title, QStringLiteral("second"));
    QCOMPARE(row->startTime, 2000);
    QCOMPARE(row->replace_id, 17u);
    QCOMPARE(row->notify_times, 0u);
    QCOMPARE(row->image_downloaded, false);
    QCOMPARE(row->msg_read, false);
    QCOMPARE(m_messages.selectMsgNotifyInfoRecords(-1, -1).size(), 1);
}

void TestDatabaseTables::messageRetention_data()
{
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("deleted");
    QTest::newRow("203 rows lose the 3 oldest") << 203 << 3;
    QTest::newRow("200 rows lose none") << 200 << 0;
    QTest::newRow("201 rows lose one") << 201 << 1;
}

void TestDatabaseTables::messageRetention()
{
    QFETCH(int, rows);
    QFETCH(int, deleted);

    // Ids and start times in unrelated orders, so the rule cannot hold by accident.
    QList<qint64> startTimes;
    for (int i = 0; i < rows; ++i) {
        startTimes.append(1'700'000'000LL + 7 * i);
    }
    std::shuffle(startTimes.begin(), startTimes.end(), std::mt19937(42));
    MsgNotifyInfos page;
    for (int i = 0; i < rows; ++i) {
        page.datas.append(message(i + 1, startTimes.at(i)));
    }
    m_messages.insertMsgNotifyInfoRecords(page);

    m_messages.deleteOldestMsgNotifyInfoRecords();
    const QList<MsgNotifyInfoRecord> kept = m_messages.selectMsgNotifyInfoRecords(-1, -1);
    QCOMPARE(kept.size(), rows - deleted);
    std::sort(startTimes.begin(), startTimes.end());
    const qint64 oldestKept = startTimes.at(deleted);
    for (const MsgNotifyInfoRecord& record : kept) {
        QVERIFY(record.startTime >= oldestKept);
    }
}

void TestDatabaseTables::messageCleanUpOfUsedRows()
{
    for (int id = 1; id <= 4; ++id) {
        m_messages.insertMsgNotifyInfoRecord(message(id));
    }
    for (int i = 0; i < 5; ++i) {
        m_messages.updateMsgNotifyInfoRecordFieldNotifyTimes(1);
    }
    for (int i = 0; i < 4; ++i) {
        m_messages.updateMsgNotifyInfoRecordFieldNotifyTimes(2);
    }
    m_messages.updateMsgNotifyInfoRecordFieldMsgRead(3, true);
    m_messages.updateMsgNotifyInfoRecordFieldMsgRead(4, false);

    m_messages.deleteUselessMsgNotifyInfoRecords();
    QCOMPARE(ids(m_messages.selectMsgNotifyInfoRecords(-1, -1)), QSet<int>({2, 4}));
}

void TestDatabaseTables::messageFilteredRead_data()
{
    QTest::addColumn<int>("imageDownloaded");
    QTest::addColumn<int>("msgRead");
    QTest::addColumn<QSet<int>>("expected");

    // Row ids: 1 (no image, unread), 2 (image, unread), 3 (no image, read), 4 (image, read).
    QTest::newRow("(-1,-1) everything") << -1 << -1 << QSet<int>{1, 2, 3, 4};
    QTest::newRow("(0,-1) image missing") << 0 << -1 << QSet<int>{1, 3};
    QTest::newRow("(-1,0) unread") << -1 << 0 << QSet<int>{1, 2};
    QTest::newRow("(1,0) image stored and unread") << 1 << 0 << QSet<int>{2};
    QTest::newRow("(1,1) image stored and read") << 1 << 1 << QSet<int>{4};
}

void TestDatabaseTables::messageFilteredRead()
{
    QFETCH(int, imageDownloaded);
    QFETCH(int, msgRead);

    for (int id = 1; id <= 4; ++id) {
        m_messages.insertMsgNotifyInfoRecord(message(id));
        m_messages.updateMsgNotifyInfoRecordFieldImageDownloaded(id, id % 2 == 0);
        m_messages.updateMsgNotifyInfoRecordFieldMsgRead(id, id > 2);
    }
    QTEST(ids(m_messages.selectMsgNotifyInfoRecords(imageDownloaded, msgRead)), "expected");
}

void TestDatabaseTables::messageShowCount()
{
    m_messages.insertMsgNotifyInfoRecord(message(8));
    for (int i = 0; i < 4; ++i) {
        m_messages.updateMsgNotifyInfoRecordFieldNotifyTimes(8);
    }
    QCOMPARE(m_messages.selectMsgNotifyInfoRecordById(8)->notify_times, 4u);
    m_messages.updateMsgNotifyInfoRecordFieldNotifyTimes(8);
    QCOMPARE(m_messages.selectMsgNotifyInfoRecordById(8)->notify_times, 5u);

    LogCapture log;
    QTest::ignoreMessage(QtWarningMsg, "MsgNotifyInfo with id: 77 not exists");
    m_messages.updateMsgNotifyInfoRecordFieldNotifyTimes(77);
    QCOMPARE(statementCount(log), 1);
}

void TestDatabaseTables::messageByReplaceId()
{
    m_messages.insertMsgNotifyInfoRecord(message(1));
    m_messages.insertMsgNotifyInfoRecord(message(2));
    m_messages.updateMsgNotifyInfoRecordFieldReplaceId(2, 4000000000u);
    QCOMPARE(m_messages.selectMsgNotifyInfoRecordByReplaceId(4000000000u)->id, 2);
    QCOMPARE(m_messages.selectMsgNotifyInfoRecordByReplaceId(0)->id, 1);
    QVERIFY(!m_messages.selectMsgNotifyInfoRecordByReplaceId(5));
    QVERIFY(!m_messages.selectMsgNotifyInfoRecordById(3));
}

void TestDatabaseTables::committedStatementSurvivesKill()
{
    // Another process appends an event, says so, and is killed without any chance to clean up.
    auto writer =
        testing::makeProcess(QStringLiteral(QMN_DB_WRITER_PATH), {QStringLiteral("31337")});
    writer->start();
    QVERIFY(writer->waitForStarted());
    QVERIFY(QTest::qWaitFor([&] { return writer->readAllStandardOutput().contains("committed"); }));
    ::kill(pid_t(writer->processId()), SIGKILL);
    QVERIFY(writer->waitForFinished());

    bool found = false;
    const QList<MsgEventInfo> queue = m_events.selectMsgEventInfoRecords().values();
    for (const MsgEventInfo& event : queue) {
        found = found || event == MsgEventInfo(31337, 1234, 3);
    }
    QVERIFY(found);
}

// Checkpoints run on a thread of their own, not inside commits: once the writes pause, all of
// the log is still copied into the database, and the next burst reuses the log from its start.
void TestDatabaseTables::writeAheadLogIsReused()
{
    const QString log = DatabaseConnectionConfig::databaseFilePath() + QStringLiteral("-wal");
    for (int i = 0; i < 1000; ++i) {
        m_events.insertMsgEventInfoRecord(MsgEventInfo(i, 1765000000, 1));
    }
    QTRY_VERIFY_WITH_TIMEOUT(DatabaseCheckpoint::caughtUp(), 20000);
    const qint64 sizeAfterBurst = QFileInfo(log).size();
    // Too few to start a checkpoint of their own: they land at the start of the log only if
    // the pause's checkpoint copied all of it; otherwise they are appended.
    for (int i = 0; i < 20; ++i) {
        m_events.insertMsgEventInfoRecord(MsgEventInfo(i, 1765000000, 1));
    }
    QCOMPARE(QFileInfo(log).size(), sizeAfterBurst);
}

QMN_TEST_MAIN(TestDatabaseTables)
#include "tst_database_tables.moc"
