#pragma once

#include <QtGlobal>

class QNetworkReply;

// Waits in a local event loop for a reply, within a time limit, and stops a body that grows
// beyond a size limit before it is held in memory.
class ReplyWaiter
{
public:
    enum Outcome {
        Finished,  // finished without error; the body may be read
        Failed,    // finished with a network or HTTP error
        TimedOut,  // still running at the time limit (left to its manager)
        Oversized, // aborted: the body is larger than the size limit
    };

    static Outcome wait(QNetworkReply* reply, int timeoutMs, qint64 maxBytes);

    ReplyWaiter() = delete;
};
