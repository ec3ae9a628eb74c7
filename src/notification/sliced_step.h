#pragma once

#include <QElapsedTimer>
#include <QMetaObject>
#include <QObject>

#include <functional>

// Runs a long step of the host's thread a few units a turn of its event loop: a turn spends about
// 2 ms on the step at most (or one unit, if a unit takes longer), then the rest waits behind
// whatever else is queued. The step's owner gives one unit of work, which says whether more
// follows, and what to do once it is done.
class SlicedStep
{
public:
    enum class Unit { More, Done };

    static constexpr qint64 kSliceNs = 2'000'000;

    // Nothing more runs once `owner` is gone.
    static void run(QObject* owner, std::function<Unit()> unit, std::function<void()> done)
    {
        QElapsedTimer clock;
        clock.start();
        // A unit that would not end within the turn's budget, judged by the longest one so far,
        // waits for the next turn; a turn always makes progress.
        qint64 longestNs = 0;
        for (qint64 endNs = 0; endNs + longestNs <= kSliceNs;) {
            const qint64 startNs = endNs;
            if (unit() == Unit::Done) {
                done();
                return;
            }
            endNs = clock.nsecsElapsed();
            longestNs = qMax(longestNs, endNs - startNs);
        }
        QMetaObject::invokeMethod(
            owner,
            [owner, unit = std::move(unit), done = std::move(done)]() mutable {
                run(owner, std::move(unit), std::move(done));
            },
            Qt::QueuedConnection);
    }
};
