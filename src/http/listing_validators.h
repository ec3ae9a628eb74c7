#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

class QNetworkRequest;

// What the server said of a listing, so that the next fetch is a conditional request that a
// standard web server or cache answers with its own 304 too: the Last-Modified in the form it
// came in (the store's decimal stamp, or an HTTP date kept as milliseconds) and the ETag. Kept
// per stamp in the configuration file, for the few latest stamps, since the engine decides
// which stamp the next fetch starts from. Used on the network worker's thread only.
class ListingValidators
{
public:
    explicit ListingValidators(const QString& settingsPath);

    // The stamp of a reply: the decimal Last-Modified as it stands, else an HTTP date in
    // milliseconds, else 0.
    static qint64 stampOf(const QByteArray& lastModified);
    // The same for the first page of a listing, with how to send it back and the ETag
    // remembered.
    qint64 remember(const QByteArray& lastModified, const QByteArray& etag);
    // The conditional headers of a fetch of what changed since the stamp (none below 1): an
    // unknown stamp travels as decimal digits, as the store's server expects.
    void apply(qint64 ifModifiedSince, QNetworkRequest& request);
    // What apply() sends for the stamp: If-Modified-Since and If-None-Match (empty for none).
    QPair<QByteArray, QByteArray> conditionalHeaders(qint64 ifModifiedSince);

    // A stamp in milliseconds as an HTTP date ("Mon, 07 Dec 2026 17:40:05 GMT").
    static QByteArray httpDate(qint64 msecs);
    // The stamp is a plain run of decimal digits; anything else (a sign, blanks, an HTTP date, a
    // number too large) gives 0.
    static qint64 decimalStamp(const QByteArray& header);

private:
    struct Entry
    {
        qint64 stamp = 0;
        bool httpDate = false;
        QByteArray etag;
    };

    void load();
    void save() const;

    QString m_settingsPath;
    bool m_loaded = false;
    QList<Entry> m_entries; // newest first
};
