#pragma once

#include <QObject>

#include <atomic>

class QThread;

// Copies the write-ahead log back into the database file on a thread of its own. The copy ends
// with an fsync of both files, several milliseconds with a few megabytes of log; left to SQLite,
// it would run inside whichever commit crossed the log's limit, on the host's thread.
class DatabaseCheckpoint : public QObject
{
    Q_OBJECT

public:
    DatabaseCheckpoint();
    ~DatabaseCheckpoint() override;

    // Counts a committed statement; every few hundred, and when the writes pause, queues a
    // checkpoint.
    static void noteCommit();
    // Whether everything committed so far has been copied into the database file, so that the
    // next write starts the log over.
    static bool caughtUp();
    // Queues a checkpoint unless one is already waiting.
    void request();

private:
    // Checkpoints once no statement has been committed for a short while.
    void watchForPause(quint64 commits);
    void run();

    QThread* m_thread = nullptr;
    std::atomic<bool> m_queued{false};
};
