#pragma once

#include "common/server_backoff.h"

#include <QByteArray>
#include <QMutex>

#include <functional>

// The message server's backoff and the state of the network, shared by the engine's thread,
// which asks before a cycle, and the network worker, which asks before each request and records
// each answer.
class ServerGate
{
public:
    enum class Network { Unknown, Online, Offline };

    explicit ServerGate(const ServerBackoff& initial = {});

    ServerBackoff backoff() const;
    // Nothing may be sent to the server now: it asked to wait, it failed recently, or the
    // network is down.
    bool closed() const;
    // Why closed() holds, for a log line; empty when it does not.
    const char* reason() const;

    // One answer: the HTTP status (0 when none came) with its Retry-After and Date. A failure
    // without an answer counts only while the network is not known to be down, and only the
    // first failure of a cycle counts: a cycle whose upload and fetch both fail is one failure.
    void record(int status, const QByteArray& retryAfter, const QByteArray& date);
    // A new cycle: its first failure will count.
    void beginCycle();

    // The wall clock, in milliseconds since the epoch, that waits are measured on; empty for the
    // system's. A test moves it on instead of sleeping through a wait.
    void setClock(std::function<qint64()> nowMs);

    void setNetwork(Network network);
    void setMetered(bool metered);
    Network network() const;
    bool metered() const;

private:
    qint64 nowMs() const;

    mutable QMutex m_mutex;
    std::function<qint64()> m_clock;
    // Asking may cut a wait that a clock set back left too far ahead.
    mutable ServerBackoff m_backoff;
    Network m_network = Network::Unknown;
    bool m_failureCounted = false;
    bool m_metered = false;
};
