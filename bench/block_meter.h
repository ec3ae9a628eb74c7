#pragma once

#include <QElapsedTimer>
#include <QTimer>

// The longest time the calling thread was kept from its event loop: a timer ticks every
// millisecond and the longest gap between two ticks is kept.
class BlockMeter
{
public:
    BlockMeter()
    {
        m_ticker.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_ticker, &QTimer::timeout, [this] {
            m_longestNs = qMax(m_longestNs, m_sinceTick.nsecsElapsed());
            m_sinceTick.restart();
        });
    }

    void start()
    {
        m_sinceTick.start();
        m_ticker.start(1);
    }
    void stop() { m_ticker.stop(); }
    double longestMs() const { return m_longestNs / 1e6; }

private:
    QTimer m_ticker;
    QElapsedTimer m_sinceTick;
    qint64 m_longestNs = 0;
};
