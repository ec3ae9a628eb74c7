#include "http/reply_waiter.h"

#include <QEventLoop>
#include <QNetworkReply>
#include <QTimer>

ReplyWaiter::Outcome ReplyWaiter::wait(QNetworkReply* reply, int timeoutMs, qint64 maxBytes)
{
    bool oversized = false;
    auto guard = [&](qint64 received, qint64 total) {
        if (!oversized && (received > maxBytes || total > maxBytes)) {
            oversized = true;
            reply->abort();
        }
    };
    const QMetaObject::Connection headerGuard =
        QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [&] {
            guard(0, reply->header(QNetworkRequest::ContentLengthHeader).toLongLong());
        });
    const QMetaObject::Connection progressGuard =
        QObject::connect(reply, &QNetworkReply::downloadProgress, reply, guard);

    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(timeoutMs);
    if (!reply->isFinished()) {
        loop.exec();
    }
    // The guards capture this frame.
    QObject::disconnect(headerGuard);
    QObject::disconnect(progressGuard);

    if (oversized) {
        return Oversized;
    }
    if (!reply->isFinished()) {
        return TimedOut;
    }
    return reply->error() == QNetworkReply::NoError ? Finished : Failed;
}
