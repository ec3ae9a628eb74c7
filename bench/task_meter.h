#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QList>
#include <QThread>

#include <limits>

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

    // The longest task that started within [fromNs, toNs].
    Task longestTask(qint64 fromNs = 0, qint64 toNs = std::numeric_limits<qint64>::max()) const
    {
        Task longest;
        for (const Task& task : m_tasks) {
            if (task.startNs >= fromNs && task.startNs <= toNs && task.ms() > longest.ms()) {
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
