#pragma once

#include "http/img_download.h"

#include <QObject>
#include <QString>

class QThreadPool;

// Downloads message images into the per-user cache directory on a bounded thread pool and
// reports each result on its own thread.
class ImgDownloadManager : public QObject
{
    Q_OBJECT

public:
    explicit ImgDownloadManager(QObject* parent = nullptr, const ImgDownloadLimits& limits = {});

    QString imgDir() const { return m_imgDir; }
    int maxThreadCount() const;
    // One task per call, never blocking; exactly one sigImgDownloaded per call.
    void downloadImage(const QString& url);
    // Drops the downloads that have not started; those under way still report.
    void cancelQueued();
    // Drops the queued downloads and waits for those under way, each bounded by its timeout:
    // before the process exits, so that none runs while the exit handlers tear down Qt.
    void stop();
    // Where the image of the URL is cached; empty when the URL names no file.
    QString localImagePath(const QString& url) const;
    // The cached files of every other URL: regular files directly in the cache folder only,
    // never a link or what it points to. For removeImage, while no download runs.
    QStringList imagesExcept(const QStringList& urls) const;
    static void removeImage(const QString& path);

    // <data home>/<organisation or "quorin">/quorin-msg-notification/images
    static QString imgDirPath();
    // Half the ideal thread count, between 1 and 10.
    static int poolSize(int idealThreadCount);

Q_SIGNALS:
    void sigImgDownloaded(const QString& url, bool ret);

private:
    void initImgDir();
    void initThreadPool();

    QThreadPool* m_threadPool = nullptr;
    QString m_imgDir;
    ImgDownloadLimits m_limits;
};
