#pragma once

#include <QObject>
#include <QRunnable>
#include <QString>

// Limits of one image download; tests shorten them.
struct ImgDownloadLimits
{
    int timeoutMs = 30000;
    // A larger image is not kept.
    qint64 maxBytes = 10 * 1024 * 1024;
};

// One image download on a pool thread: answered from the cache when the file is there,
// otherwise fetched and stored. Exactly one sigImgDownloaded per task.
class ImgDownload : public QObject, public QRunnable
{
    Q_OBJECT

public:
    ImgDownload(const QString& url, const QString& imgDir, const ImgDownloadLimits& limits = {});

    void run() override;
    // A regular file is at the local image path.
    bool exists() const;
    // Replaces the file at the local image path as a whole, never partly.
    bool saveToFile(const QByteArray& data);

    // The cache file of the URL: its SHA-256 in hex, with the suffix of its path when that is a
    // short plain one; empty when the URL has no non-empty "/"-separated segment.
    static QString imageFileName(const QString& url);
    // "<imgDir>/<file name>", or empty when the URL names no file.
    static QString localImagePath(const QString& imgDir, const QString& url);

Q_SIGNALS:
    void sigImgDownloaded(const QString& url, bool ret);

private:
    const QString m_url;
    const QString m_path;
    const ImgDownloadLimits m_limits;
};
