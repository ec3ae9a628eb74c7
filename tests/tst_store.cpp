#include "database/database_adaptor.h"
#include "database/msg_event_info_table.h"
#include "database/msg_notify_info_table.h"
#include "test_environment.h"

#include <QSqlDatabase>
#include <QThread>

#include <algorithm>
#include <random>
#include <sys/mount.h>

// The message store and the event queue: their rules, and what they do on a damaged, full,
// read-only or missing disk.
namespace {
const QString kRelative = "/quorin/quorin-msg-notification";

MsgNotifyInfo message(int id, qint64 startTime = 1000, const QString& title = "t")
{
    MsgNotifyInfo info;
    info.id = id;
    info.startTime = startTime;
    info.title = title;
    info.imgUrl = QStringLiteral("https://img.test/%1.png").arg(id);
    return info;
}

QString freshHome(const QString& name)
{
    const QString home = TestEnvironment::instance()->root() + "/" + name;
    QDir(home).removeRecursively();
    QDir().mkpath(home + kRelative);
    return home;
}

// A data home that cannot hold the database: a regular file, or one whose database is a folder.
QString brokenHome(const QString& kind)
{
    const QString home = freshHome(kind);
    if (kind == QLatin1String("directory")) {
        QDir().mkpath(home + kRelative + "/msg_notify.db");
        return home;
    }
    QFile file(home + "/file");
    file.open(QIODevice::WriteOnly);
    return file.fileName();
}

// The test's environment for a child in another data home. The test's own stays: its
// database threads may still be at work there.
QProcessEnvironment withDataHome(const QString& dataHome)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_DATA_HOME", dataHome);
    return environment;
}

// The writer helper in a data home of its own: its first open is the first of its process.
std::unique_ptr<QProcess> startWriter(const QString& dataHome, const QStringList& arguments)
{
    auto process = testing::makeProcess(QMN_DB_WRITER_PATH, arguments);
    process->setProcessEnvironment(withDataHome(dataHome));
    process->start();
    return process;
}

// What it printed, then "exit N".
QString writer(const QString& dataHome, const QStringList& arguments)
{
    auto process = startWriter(dataHome, arguments);
    const bool exited = process->waitForFinished(testing::kCycleMs);
    return QString::fromUtf8(process->readAllStandardOutput() + process->readAllStandardError()) +
           QStringLiteral("exit %1").arg(exited ? process->exitCode() : -1);
}

int s_warnings = 0;
QtMessageHandler s_handler = nullptr;
void countWarnings(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    s_warnings += type == QtWarningMsg ? 1 : 0;
    s_handler(type, context, text);
}
} // namespace

class TestStore : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void messageStoreRule();
    void messageRetention();
    void pausedWritesReachTheFile();
    void unusableDataHome_data();
    void unusableDataHome();
    void threadAtAFinishedThreadsAddress();
    void damagedFileIsMovedAside_data();
    void damagedFileIsMovedAside();
    void fullOrReadOnlyDisk();

private:
    MsgNotifyInfoTable m_messages;
    MsgEventInfoTable m_events;
};

void TestStore::init()
{
    QVERIFY(DatabaseAdaptor::update("DELETE FROM msg_notify_info"));
    QVERIFY(DatabaseAdaptor::update("DELETE FROM msg_event_info"));
}

// A message sent again is new: shown, read and downloaded start over, but it replaces its old
// bubble. It is due up to and including the second its end time names.
void TestStore::messageStoreRule()
{
    m_messages.insertMsgNotifyInfoRecord(message(1, 1000, "first"));
    m_messages.insertMsgNotifyInfoRecord(message(2));
    m_messages.updateMsgNotifyInfoRecordFieldReplaceId(1, 4000000000u);
    m_messages.updateMsgNotifyInfoRecordFieldNotifyTimes(1);
    m_messages.updateMsgNotifyInfoRecordFieldImageDownloaded(1, true);
    m_messages.updateMsgNotifyInfoRecordFieldMsgRead(1, true);

    MsgNotifyInfos page;
    MsgNotifyInfo again;
    again.fromJsonObject({{"id", 1},
                          {"name", "n"},
                          {"startTime", 2000},
                          {"endTime", 3000},
                          {"title", "second"},
                          {"content", "c"},
                          {"type", 4},
                          {"imgUrl", "u"},
                          {"linkType", int(LinkKind::WebLink)},
                          {"linkInfo", "l"}});
    page.datas = {again};
    m_messages.insertMsgNotifyInfoRecords(page);
    const std::optional<MsgNotifyInfoRecord> row =
        m_messages.selectMsgNotifyInfoRecordByReplaceId(4000000000u);
    QCOMPARE(row->toVariantMap(), again.toVariantMap());
    QVERIFY(row->notify_times == 0 && !row->image_downloaded && !row->msg_read);
    QVERIFY(!row->endedBy(3000) && row->endedBy(3001));
    QCOMPARE(m_messages.selectMsgNotifyInfoRecords(-1, -1).size(), 2);
}

// The 3 oldest of 203 go. Ids and start times in unrelated orders, so that the rule cannot
// hold by accident.
void TestStore::messageRetention()
{
    QList<qint64> startTimes;
    for (int i = 0; i < 203; ++i) {
        startTimes.append(1'700'000'000LL + 7 * i);
    }
    std::shuffle(startTimes.begin(), startTimes.end(), std::mt19937(42));
    MsgNotifyInfos page;
    for (int i = 0; i < startTimes.size(); ++i) {
        page.datas.append(message(i + 1, startTimes.at(i)));
    }
    m_messages.insertMsgNotifyInfoRecords(page);
    m_messages.deleteOldestMsgNotifyInfoRecords();
    const QList<MsgNotifyInfoRecord> kept = m_messages.selectMsgNotifyInfoRecords(-1, -1);
    QCOMPARE(kept.size(), 200);
    std::sort(startTimes.begin(), startTimes.end());
    for (const MsgNotifyInfoRecord& record : kept) {
        QVERIFY(record.startTime >= startTimes.at(3));
    }
}

// Once the writes pause, the log is copied into the database file. The query program reads it
// without changing a byte, though it is the last to close it.
void TestStore::pausedWritesReachTheFile()
{
    const QString home = freshHome("pause");
    const QString db = home + kRelative + "/msg_notify.db";
    auto writing = startWriter(home, {"5"});
    QMN_TRY_VERIFY(writing->readAllStandardOutput().contains("committed"), testing::kAtOnceMs);
    QMN_TRY_VERIFY(QFileInfo(db).size() > 4096, testing::kAtOnceMs);
    writing->kill();
    QVERIFY(writing->waitForFinished());

    const auto bytes = [&db] {
        QByteArray all;
        for (const QString& path : {db, db + "-wal"}) {
            QFile file(path);
            all += file.open(QIODevice::ReadOnly) ? file.readAll() : "missing";
        }
        return all;
    };
    const QByteArray before = bytes();
    const testing::QueryRun run = testing::runQuery({"--events", "--status"}, withDataHome(home));
    QVERIFY2(run.exitCode == 0 && run.out.contains("5"), run.out.constData());
    QVERIFY(bytes() == before);
}

void TestStore::unusableDataHome_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("data home is a regular file") << "file-parent";
    QTest::newRow("database file is a directory") << "directory";
}

// Every statement fails with its neutral answer and one warning, and never runs on a host's own
// default connection; once the cause is gone, the next statement opens the file.
void TestStore::unusableDataHome()
{
    QFETCH(QString, kind);
    const QString home = brokenHome(kind);
    qputenv("XDG_DATA_HOME", home.toUtf8());
    const QString hostFile = TestEnvironment::instance()->root() + "/host.db";
    s_warnings = 0;
    s_handler = qInstallMessageHandler(countWarnings);
    // Connections are per thread and take the data home when they are made: a new thread.
    std::unique_ptr<QThread> thread(QThread::create([&] {
        QSqlDatabase host = QSqlDatabase::addDatabase("QSQLITE");
        host.setDatabaseName(hostFile);
        QVERIFY(host.open());
        MsgNotifyInfoTable messages;
        MsgEventInfoTable events;
        messages.insertMsgNotifyInfoRecord(message(1));
        QVERIFY(!messages.selectMsgNotifyInfoRecordById(1));
        // Unknown, not empty: the image cache must not be emptied on a failure.
        QVERIFY(!messages.selectMsgNotifyInfoImgUrls());
        messages.updateMsgNotifyInfoRecordFieldReplaceId(1, 5);
        messages.deleteOldestMsgNotifyInfoRecords(); // the count fails and reads as 0
        events.insertMsgEventInfoRecord(MsgEventInfo(1, 2, EventKind::Closed));
        QVERIFY(events.selectMsgEventInfoRecords().isEmpty());
        QCOMPARE(host.tables(), QStringList());
        host.close();
        host = QSqlDatabase();
        QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
        qInstallMessageHandler(s_handler);
        QVERIFY(QFile::remove(home) || QDir(home).removeRecursively());
        QCOMPARE(DatabaseAdaptor::selectString("PRAGMA journal_mode"), "wal");
    }));
    thread->start();
    thread->wait();
    // One warning for each of the 8 statements above, the release of the bubble id being one.
    QCOMPARE(s_warnings, 8);
}

// A thread made where a finished one was, before that one's connection has been removed, shares
// its connection name: it gets a connection of its own all the same.
void TestStore::threadAtAFinishedThreadsAddress()
{
    qputenv("XDG_DATA_HOME", freshHome("same-address").toUtf8());
    struct Worker : QThread
    {
        std::function<void()> work;
        void run() override { work(); }
    };
    alignas(Worker) unsigned char place[sizeof(Worker)];
    QList<int> answers;
    QTest::ignoreMessage(QtDebugMsg,
                         QRegularExpression("^Connection of a finished thread removed: "));
    for (int i = 0; i < 2; ++i) {
        auto* thread = new (place) Worker;
        thread->work = [&answers] {
            answers << DatabaseAdaptor::selectVariant("SELECT 1").toInt();
        };
        thread->start();
        thread->wait();
        thread->~Worker();
    }
    QCOMPARE(answers, (QList<int>{1, 1}));
}

void TestStore::damagedFileIsMovedAside_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<bool>("movedAside");
    QTest::newRow("garbage") << "random" << true;
    QTest::newRow("header overwritten, committed pages in its log") << "header-with-log" << true;
    QTest::newRow("healthy") << "none" << false;
    QTest::newRow("empty file is a new database") << "empty" << false;
}

void TestStore::damagedFileIsMovedAside()
{
    QFETCH(QString, damage);
    QFETCH(bool, movedAside);
    const QString home = freshHome("damage-" + damage);
    const QString db = home + kRelative + "/msg_notify.db";
    if (damage == QLatin1String("random") || damage == QLatin1String("empty")) {
        QFile file(db);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(damage == QLatin1String("empty") ? 0 : 8192, 'x'));
    } else {
        // A real database with a few thousand rows.
        for (int i = 0; i < 3; ++i) {
            QVERIFY(writer(home, {"--check", QString::number(i)}).endsWith("exit 0"));
        }
        if (damage == QLatin1String("header-with-log")) {
            // Killed after a commit: the page is in the log only.
            auto killed = startWriter(home, {"5"});
            QMN_TRY_VERIFY(killed->readAllStandardOutput().contains("committed"),
                           testing::kAtOnceMs);
            killed->kill();
            QVERIFY(killed->waitForFinished());
            QVERIFY(QFileInfo(db + "-wal").size() > 0);
            QFile file(db);
            QVERIFY(file.open(QIODevice::ReadWrite));
            file.write(QByteArray(100, 'x'));
        }
    }
    const qint64 oldSize = QFileInfo(db).size();
    const qint64 oldLogSize = QFileInfo(db + "-wal").size();

    const QString run = writer(home, {"--check", "77"});
    QVERIFY2(run.contains("has 77 1") && run.endsWith("exit 0"), qPrintable(run));
    QCOMPARE(run.contains("Damaged database"), movedAside);
    // The copies, without the log files that went with them.
    const auto copies = [&] {
        return QDir(home + kRelative)
            .entryList({"msg_notify.db.corrupt-*"}, QDir::Files, QDir::Name)
            .filter(QRegularExpression("\\d$"));
    };
    const QStringList aside = copies();
    QCOMPARE(aside.size(), movedAside ? 1 : 0);
    QVERIFY(run.contains(damage == QLatin1String("none") ? "queued 4" : "queued 1"));
    if (!movedAside) {
        return;
    }
    const QString copy = home + kRelative + QLatin1Char('/') + aside.first();
    QCOMPARE(QFileInfo(copy).size(), oldSize);
    // The log goes with the copy, never into the new database.
    QCOMPARE(QFileInfo(copy + "-wal").size(), oldLogSize);
    // Damaged three times more: the three newest copies stay.
    for (int i = 0; i < 3; ++i) {
        QFile again(db);
        QVERIFY(again.open(QIODevice::WriteOnly | QIODevice::Truncate));
        again.write(QByteArray(4096, 'x'));
        again.close();
        QVERIFY(writer(home, {"--check", QString::number(78 + i)}).endsWith("exit 0"));
    }
    const QStringList kept = copies();
    QCOMPARE(kept.size(), 3);
    QVERIFY(!kept.contains(aside.first()));
}

// Writes fail on a full disk and on a read-only mount, without taking the file for damaged, and
// work again once there is room.
void TestStore::fullOrReadOnlyDisk()
{
    const QString full = writer(freshHome("full"), {"--full-disk"});
    QVERIFY2(full.contains("recovered 1") && !full.contains("failed 0"), qPrintable(full));

    const QString home = freshHome("mounted");
    const QByteArray dir = (home + kRelative).toLocal8Bit();
    if (::mount("tmpfs", dir.constData(), "tmpfs", 0, "size=4m") != 0) {
        QSKIP("cannot mount a tmpfs here");
    }
    const auto unmount = qScopeGuard([&] { ::umount2(dir.constData(), MNT_DETACH); });
    QVERIFY(writer(home, {"--check", "1"}).endsWith("exit 0"));
    QCOMPARE(::mount("tmpfs", dir.constData(), "tmpfs", MS_REMOUNT | MS_RDONLY, "size=4m"), 0);
    QString run = writer(home, {"--check", "2"});
    QVERIFY2(run.contains("has 2 0") && !run.contains("Damaged database"), qPrintable(run));
    QCOMPARE(::mount("tmpfs", dir.constData(), "tmpfs", MS_REMOUNT, "size=4m"), 0);
    run = writer(home, {"--check", "3"});
    QVERIFY2(run.contains("has 3 1"), qPrintable(run));
}

QMN_TEST_MAIN(TestStore)
#include "tst_store.moc"
