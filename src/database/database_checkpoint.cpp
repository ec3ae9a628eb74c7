#include "database/database_checkpoint.h"

#include "common/singleton.h"
#include "database/database_connection_config.h"
#include "plugin/log_categories.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace {
// About a thousand log pages at a few pages per statement: SQLite's own default size.
constexpr int kCommitsPerCheckpoint = 256;
// How long the writes must pause before the last checkpoint of a burst.
constexpr int kPauseMs = 200;
std::atomic<int> s_uncounted{0};
std::atomic<quint64> s_commits{0};
std::atomic<quint64> s_copiedUpTo{0};
// A burst of writes is being watched for its end.
std::atomic<bool> s_pauseWatched{false};
QThread* s_thread = nullptr;

// Runs as the application object goes, before the process's statics: a checkpoint under way
// finishes rather than meet a database layer that is being torn down.
void stopThread()
{
    if (s_thread) {
        s_thread->quit();
        s_thread->wait();
    }
}
} // namespace

DatabaseCheckpoint::DatabaseCheckpoint()
    : m_thread(new QThread)
{
    m_thread->setObjectName(u"database-checkpoint"_s);
    moveToThread(m_thread);
    m_thread->start(QThread::LowPriority);
    s_thread = m_thread;
    qAddPostRoutine(stopThread);
}

DatabaseCheckpoint::~DatabaseCheckpoint()
{
    s_thread = nullptr;
    m_thread->quit();
    m_thread->wait();
    delete m_thread;
}

void DatabaseCheckpoint::noteCommit()
{
    s_commits.fetch_add(1, std::memory_order_relaxed);
    if (s_uncounted.fetch_add(1, std::memory_order_relaxed) + 1 >= kCommitsPerCheckpoint) {
        s_uncounted.store(0, std::memory_order_relaxed);
        Singleton<DatabaseCheckpoint>::instance()->request();
    }
    // The log is copied back once the writes pause, so that a quiet service leaves its data in
    // the database file rather than in the log.
    if (!s_pauseWatched.exchange(true)) {
        DatabaseCheckpoint* checkpoint = Singleton<DatabaseCheckpoint>::instance();
        QMetaObject::invokeMethod(
            checkpoint, [checkpoint] { checkpoint->watchForPause(s_commits.load()); },
            Qt::QueuedConnection);
    }
}

void DatabaseCheckpoint::watchForPause(quint64 commits)
{
    QTimer::singleShot(kPauseMs, this, [this, commits] {
        const quint64 now = s_commits.load();
        if (now != commits) {
            watchForPause(now);
            return;
        }
        // A commit from here on watches again; one before the checkpoint below is in it.
        s_pauseWatched = false;
        if (!caughtUp()) {
            run();
        }
    });
}

bool DatabaseCheckpoint::caughtUp()
{
    return s_copiedUpTo.load() == s_commits.load();
}

void DatabaseCheckpoint::request()
{
    if (m_queued.exchange(true)) {
        return;
    }
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_queued = false;
            run();
        },
        Qt::QueuedConnection);
}

void DatabaseCheckpoint::run()
{
    const quint64 commits = s_commits.load();
    const QString path = DatabaseConnectionConfig::databaseFilePath();
    // Without a log there is nothing to copy, and opening would create an empty database.
    if (!QFileInfo::exists(path + u"-wal"_s)) {
        s_copiedUpTo.store(commits);
        return;
    }
    // A connection of its own for each checkpoint, so that it never holds on to a file that was
    // set aside as damaged in the meantime, nor keeps a reader that stops the log starting over.
    const QString name = u"quorin-msg-notification-checkpoint"_s;
    bool ran = false;
    bool complete = false;
    {
        QSqlDatabase database = QSqlDatabase::addDatabase(u"QSQLITE"_s, name);
        database.setDatabaseName(path);
        QSqlQuery query(database);
        if (database.open() && query.exec(u"PRAGMA wal_checkpoint(PASSIVE)"_s) && query.next()) {
            ran = true;
            // Columns: busy, pages in the log, pages copied.
            complete = query.value(0).toInt() == 0 && query.value(1) == query.value(2);
        } else {
            qCDebug(logDB).noquote()
                << "Checkpoint failed:"
                << (database.isOpen() ? query.lastError().text() : database.lastError().text());
        }
    }
    QSqlDatabase::removeDatabase(name);
    if (!ran) {
        return; // the next few hundred statements try again
    }
    if (complete && s_commits.load() == commits) {
        s_copiedUpTo.store(commits);
        return;
    }
    // Statements committed meanwhile are not copied yet, and the log only starts over once all
    // of it has been: go again when the writes pause.
    QTimer::singleShot(kPauseMs, this, &DatabaseCheckpoint::request);
}
