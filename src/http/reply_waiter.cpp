#include "http/reply_waiter.h"

#include <QEventLoop>
#include <QNetworkReply>
#include <QTimer>

ReplyWaiter::Outcome ReplyWaiter::wait(QNetworkReply* reply, int timeoutMs, qint64 maxBytes)
{
    // Qt's network thread stops reading once its buffer is this full, so a fast server cannot
    // run ahead of the size check below.
    reply->setReadBufferSize(maxBytes + 4 * 1024 * 1024);
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
    // Progress reports are throttled and may stop once the buffer is full; readyRead is not.
    const QMetaObject::Connection progressGuard = QObject::connect(
        reply, &QNetworkReply::readyRead, reply, [&] { guard(reply->bytesAvailable(), -1); });

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
