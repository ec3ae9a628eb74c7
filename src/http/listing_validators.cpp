#include "http/listing_validators.h"

#include "common/server_backoff.h"
#include "common/settings_lock.h"

#include <QDateTime>
#include <QLocale>
#include <QNetworkRequest>
#include <QSettings>
#include <QTimeZone>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {
const QString kKey = u"listingValidators"_s;
// A fetch starts from the stamp of the last complete one; a failed fetch leaves it one or two
// behind the newest reply.
constexpr int kKept = 4;
} // namespace

ListingValidators::ListingValidators(const QString& settingsPath)
    : m_settingsPath(settingsPath)
{
}

qint64 ListingValidators::decimalStamp(const QByteArray& header)
{
    const bool digits =
        !header.isEmpty() &&
        std::all_of(header.cbegin(), header.cend(), [](char c) { return c >= '0' && c <= '9'; });
    bool ok = false;
    const qint64 stamp = digits ? header.toLongLong(&ok, 10) : 0;
    return ok ? stamp : 0;
}

QByteArray ListingValidators::httpDate(qint64 msecs)
{
    return QLocale::c()
        .toString(QDateTime::fromMSecsSinceEpoch(msecs, QTimeZone::utc()),
                  u"ddd, dd MMM yyyy hh:mm:ss 'GMT'"_s)
        .toLatin1();
}

qint64 ListingValidators::stampOf(const QByteArray& lastModified)
{
    const qint64 decimal = decimalStamp(lastModified);
    return decimal != 0 ? decimal
                        : std::max<qint64>(ServerBackoff::httpDateMs(lastModified).value_or(0), 0);
}

qint64 ListingValidators::remember(const QByteArray& lastModified, const QByteArray& etag)
{
    Entry entry;
    entry.stamp = stampOf(lastModified);
    entry.httpDate = entry.stamp != 0 && decimalStamp(lastModified) == 0;
    // An ETag is an opaque quoted string; one that could break a header line is not kept.
    if (etag.size() <= 256 && !etag.contains('\r') && !etag.contains('\n')) {
        entry.etag = etag.trimmed();
    }
    if (entry.stamp == 0) {
        return 0;
    }
    load();
    const qsizetype before = m_entries.size();
    m_entries.removeIf([&](const Entry& kept) { return kept.stamp == entry.stamp; });
    // The store's plain stamp needs nothing kept: it travels back as it came.
    if (entry.httpDate || !entry.etag.isEmpty()) {
        m_entries.prepend(entry);
        m_entries = m_entries.mid(0, kKept);
    }
    if (before != 0 || !m_entries.isEmpty()) {
        save();
    }
    return entry.stamp;
}

void ListingValidators::apply(qint64 ifModifiedSince, QNetworkRequest& request)
{
    const auto [since, etag] = conditionalHeaders(ifModifiedSince);
    if (!since.isEmpty()) {
        request.setRawHeader("If-Modified-Since", since);
    }
    if (!etag.isEmpty()) {
        request.setRawHeader("If-None-Match", etag);
    }
}

QPair<QByteArray, QByteArray> ListingValidators::conditionalHeaders(qint64 ifModifiedSince)
{
    if (ifModifiedSince < 1) {
        return {};
    }
    load();
    const auto kept = std::find_if(m_entries.cbegin(), m_entries.cend(), [&](const Entry& entry) {
        return entry.stamp == ifModifiedSince;
    });
    if (kept == m_entries.cend()) {
        return {QByteArray::number(ifModifiedSince), {}};
    }
    return {kept->httpDate ? httpDate(ifModifiedSince) : QByteArray::number(ifModifiedSince),
            kept->etag};
}

void ListingValidators::load()
{
    if (m_loaded) {
        return;
    }
    m_loaded = true;
    const QSettings settings(m_settingsPath, QSettings::IniFormat);
    // "<stamp> <date|number> [<etag>]", newest first.
    for (const QString& line : settings.value(kKey).toStringList()) {
        const QStringList parts = line.split(u' ', Qt::SkipEmptyParts);
        Entry entry;
        entry.stamp = parts.value(0).toLongLong();
        entry.httpDate = parts.value(1) == "date"_L1;
        entry.etag = line.section(u' ', 2).toLatin1();
        if (entry.stamp > 0 && m_entries.size() < kKept) {
            m_entries.append(entry);
        }
    }
}

void ListingValidators::save() const
{
    QStringList lines;
    for (const Entry& entry : m_entries) {
        lines << u"%1 %2 %3"_s.arg(entry.stamp)
                     .arg(entry.httpDate ? "date"_L1 : "number"_L1, QString::fromLatin1(entry.etag))
                     .trimmed();
    }
    QSettings settings(m_settingsPath, QSettings::IniFormat);
    if (lines.isEmpty()) {
        settings.remove(kKey);
    } else {
        settings.setValue(kKey, lines);
    }
    SettingsLock::sync(settings);
}
