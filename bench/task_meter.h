#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QList>
#include <QThread>

// The application object, timing every event it delivers on its own thread at the outermost
// level: each queued slot call, bus call or timer is one task of that thread. Its clock may be
// read from any thread.
class TaskMeter : public QCoreApplication
{
public:
    struct Task
    {
        qint64 startNs = 0;
        qint64 endNs = 0;
        const char* receiver = "";
        double ms() const { return (endNs - startNs) / 1e6; }
        bool contains(qint64 ns) const { return startNs <= ns && ns <= endNs; }
    };

    TaskMeter(int& argc, char** argv)
        : QCoreApplication(argc, argv)
    {
        m_clock.start();
    }

    void start()
    {
        m_tasks.clear();
        m_recording = true;
    }
    void stop() { m_recording = false; }
    qint64 nowNs() const { return m_clock.nsecsElapsed(); }

    // The task running at that moment, or an empty one.
    Task taskAt(qint64 ns) const
    {
        for (const Task& task : m_tasks) {
            if (task.contains(ns)) {
                return task;
            }
        }
        return {};
    }
    // The longest task, leaving out the one running at `exceptAtNs`.
    Task longestTask(qint64 exceptAtNs) const
    {
        Task longest;
        for (const Task& task : m_tasks) {
            if (!task.contains(exceptAtNs) && task.ms() > longest.ms()) {
                longest = task;
            }
        }
        return longest;
    }

    bool notify(QObject* receiver, QEvent* event) override
    {
        if (QThread::currentThread() != thread()) {
            return QCoreApplication::notify(receiver, event);
        }
        if (m_depth > 0 || !m_recording) {
            ++m_depth;
            const bool result = QCoreApplication::notify(receiver, event);
            --m_depth;
            return result;
        }
        // Read before delivery, which may delete the receiver.
        const char* receiverClass = receiver->metaObject()->className();
        const qint64 start = nowNs();
        ++m_depth;
        const bool result = QCoreApplication::notify(receiver, event);
        --m_depth;
        const qint64 end = nowNs();
        if (end - start > kKeptNs) {
            m_tasks.append({start, end, receiverClass});
        }
        return result;
    }

private:
    static constexpr qint64 kKeptNs = 100'000;
    QElapsedTimer m_clock;
    QList<Task> m_tasks;
    int m_depth = 0;
    bool m_recording = false;
};
