#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <optional>

class QRandomGenerator;

// When the store's server may be asked again. Its own word first: a 429 or 503 with Retry-After
// sets the time. Otherwise failures back off exponentially with full jitter, the 24 h cap
// applied before the jitter, so that clients that failed together do not return together.
// Plain values and functions of the time and a random source, so that a simulation runs the
// same rules for a fleet.
struct ServerBackoff
{
    static constexpr qint64 kMaxDelayMs = 24LL * 3600 * 1000;
    static constexpr qint64 kBaseDelayMs = 30LL * 60 * 1000;

    // Milliseconds since the epoch before which nothing is sent; 0 for none.
    qint64 notBefore = 0;
    // Failures since the last success.
    int failures = 0;
    // The last wait came from the server's Retry-After, not from the failure count.
    bool serverAsked = false;

    // A Retry-After value as a wait from `nowMs`: whole seconds, or an HTTP date measured
    // against the reply's Date (the local clock when it has none). At most 24 h; empty when
    // absent or unreadable.
    static std::optional<qint64> retryAfterMs(const QByteArray& retryAfter, const QByteArray& date,
                                              qint64 nowMs);
    // An HTTP date ("Sun, 06 Nov 1994 08:49:37 GMT", or another RFC 2822 form) in milliseconds
    // since the epoch; empty when unreadable.
    static std::optional<qint64> httpDateMs(const QByteArray& text);
    // A uniform wait in [0, min(24 h, 30 min * 2^(failures - 1))].
    static qint64 jitteredDelayMs(int failures, QRandomGenerator& random);
    // An answer that counts as a failure of the server: none at all (0), 429 or a 5xx.
    static bool isFailure(int status) { return status == 0 || status == 429 || status >= 500; }

    // One answer of the server: its HTTP status (0 for none: the network failed while online)
    // and its Retry-After as retryAfterMs() read it (0 to 24 h). A success clears the wait and the
    // count; a 4xx other than 429 changes nothing.
    void record(int status, std::optional<qint64> retryAfter, qint64 nowMs,
                QRandomGenerator& random);
    // Whether a request may go out now. A wait found more than 24 h ahead (the clock was set
    // back) is cut to 24 h from now, so that it ends.
    bool allows(qint64 nowMs);

    bool operator==(const ServerBackoff& other) const = default;
};
