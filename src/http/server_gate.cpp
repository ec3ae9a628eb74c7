#include "http/server_gate.h"

#include <QDateTime>
#include <QRandomGenerator>

ServerGate::ServerGate(const ServerBackoff& initial)
    : m_backoff(initial)
{
}

ServerBackoff ServerGate::backoff() const
{
    QMutexLocker locker(&m_mutex);
    return m_backoff;
}

bool ServerGate::closed() const
{
    return reason()[0] != '\0';
}

const char* ServerGate::reason() const
{
    QMutexLocker locker(&m_mutex);
    if (m_network == Network::Offline) {
        return "the network is down";
    }
    if (!m_backoff.allows(nowMs())) {
        return m_backoff.serverAsked ? "the server asked to wait" : "backing off after failures";
    }
    return "";
}

void ServerGate::record(int status, const QByteArray& retryAfter, const QByteArray& date)
{
    QMutexLocker locker(&m_mutex);
    const qint64 now = nowMs();
    if (status == 0 && m_network == Network::Offline) {
        return;
    }
    const std::optional<qint64> wait = ServerBackoff::retryAfterMs(retryAfter, date, now);
    // The server's own word about when to come back always holds.
    const bool serverAsks = (status == 429 || status == 503) && wait;
    if (m_failureCounted && !serverAsks && ServerBackoff::isFailure(status)) {
        return;
    }
    const int failures = m_backoff.failures;
    m_backoff.record(status, wait, now, *QRandomGenerator::global());
    m_failureCounted = m_failureCounted || m_backoff.failures > failures;
}

void ServerGate::setClock(std::function<qint64()> nowMs)
{
    QMutexLocker locker(&m_mutex);
    m_clock = std::move(nowMs);
}

qint64 ServerGate::nowMs() const
{
    return m_clock ? m_clock() : QDateTime::currentMSecsSinceEpoch();
}

void ServerGate::beginCycle()
{
    QMutexLocker locker(&m_mutex);
    m_failureCounted = false;
}

void ServerGate::setNetwork(Network network)
{
    QMutexLocker locker(&m_mutex);
    m_network = network;
}

void ServerGate::setMetered(bool metered)
{
    QMutexLocker locker(&m_mutex);
    m_metered = metered;
}

ServerGate::Network ServerGate::network() const
{
    QMutexLocker locker(&m_mutex);
    return m_network;
}

bool ServerGate::metered() const
{
    QMutexLocker locker(&m_mutex);
    return m_metered;
}
