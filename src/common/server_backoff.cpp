#include "common/server_backoff.h"

#include <QDateTime>
#include <QList>
#include <QRandomGenerator>
#include <QTimeZone>

#include <algorithm>

// The date form of RFC 9110 by hand: Qt 6.4's RFC 2822 parser does not read it for its zone name.
std::optional<qint64> ServerBackoff::httpDateMs(const QByteArray& text)
{
    static const QList<QByteArray> months{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const QList<QByteArray> parts = text.simplified().split(' ');
    if (parts.size() == 6 && parts.at(5) == "GMT") {
        const QDate day(parts.at(3).toInt(), int(months.indexOf(parts.at(2))) + 1,
                        parts.at(1).toInt());
        const QTime time = QTime::fromString(QString::fromLatin1(parts.at(4)), u"HH:mm:ss");
        const QDateTime moment(day, time, QTimeZone::utc());
        return moment.isValid() ? std::optional<qint64>(moment.toMSecsSinceEpoch()) : std::nullopt;
    }
    const QDateTime other =
        QDateTime::fromString(QString::fromLatin1(text.trimmed()), Qt::RFC2822Date);
    return other.isValid() ? std::optional<qint64>(other.toMSecsSinceEpoch()) : std::nullopt;
}

std::optional<qint64> ServerBackoff::retryAfterMs(const QByteArray& retryAfter,
                                                  const QByteArray& date, qint64 nowMs)
{
    const QByteArray value = retryAfter.trimmed();
    if (value.isEmpty()) {
        return std::nullopt;
    }
    qint64 waitMs = 0;
    if (std::all_of(value.cbegin(), value.cend(), [](char c) { return c >= '0' && c <= '9'; })) {
        // Too many digits for a number is a very long wait, not none.
        bool ok = false;
        const qint64 seconds = value.size() > 12 ? kMaxDelayMs : value.toLongLong(&ok);
        waitMs = value.size() > 12 || !ok ? kMaxDelayMs : seconds * 1000;
    } else {
        const std::optional<qint64> until = httpDateMs(value);
        if (!until) {
            return std::nullopt;
        }
        // Measured on the server's clock: the local one may be off by hours.
        const qint64 serverNow = httpDateMs(date).value_or(nowMs);
        waitMs = *until - serverNow;
    }
    return std::clamp<qint64>(waitMs, 0, kMaxDelayMs);
}

qint64 ServerBackoff::jitteredDelayMs(int failures, QRandomGenerator& random)
{
    // 30 min doubles to 24 h within seven failures; beyond that the cap holds.
    const int doublings = std::clamp(failures - 1, 0, 20);
    const qint64 cap = std::min(kMaxDelayMs, kBaseDelayMs << doublings);
    return qint64(random.bounded(double(cap) + 1));
}

void ServerBackoff::record(int status, std::optional<qint64> retryAfter, qint64 nowMs,
                           QRandomGenerator& random)
{
    if (status >= 200 && status < 400) {
        *this = ServerBackoff();
        return;
    }
    if ((status == 429 || status == 503) && retryAfter) {
        notBefore = nowMs + *retryAfter;
        serverAsked = true;
        return;
    }
    if (isFailure(status)) {
        failures = std::min(failures + 1, 1000);
        notBefore = nowMs + jitteredDelayMs(failures, random);
        serverAsked = false;
    }
}

bool ServerBackoff::allows(qint64 nowMs)
{
    notBefore = std::min(notBefore, nowMs + kMaxDelayMs);
    return nowMs >= notBefore;
}
