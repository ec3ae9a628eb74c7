#include "http/img_download_manager.h"

#include "plugin/log_categories.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QStandardPaths>
#include <QThread>
#include <QThreadPool>

#include <algorithm>

using namespace Qt::StringLiterals;

ImgDownloadManager::ImgDownloadManager(QObject* parent, const ImgDownloadLimits& limits)
    : QObject(parent)
    , m_threadPool(new QThreadPool(this))
    , m_limits(limits)
{
    initImgDir();
    initThreadPool();
}

QString ImgDownloadManager::imgDirPath()
{
    QString organization = QCoreApplication::organizationName();
    if (organization.isEmpty()) {
        organization = u"quorin"_s;
    }
    return u"%1/%2/%3/%4"_s.arg(
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation), organization,
        u"quorin-msg-notification"_s, u"images"_s);
}

void ImgDownloadManager::initImgDir()
{
    m_imgDir = imgDirPath();
    if (!QDir(m_imgDir).exists() && !QDir().mkpath(m_imgDir)) {
        qCWarning(logMain).noquote() << "Image dir created failed:" << m_imgDir;
    }
}

void ImgDownloadManager::initThreadPool()
{
    m_threadPool->setMaxThreadCount(poolSize(QThread::idealThreadCount()));
}

int ImgDownloadManager::poolSize(int idealThreadCount)
{
    return std::clamp(idealThreadCount / 2, 1, 10);
}

int ImgDownloadManager::maxThreadCount() const
{
    return m_threadPool->maxThreadCount();
}

void ImgDownloadManager::downloadImage(const QString& url)
{
    auto* task = new ImgDownload(url, m_imgDir, m_limits);
    connect(task, &ImgDownload::sigImgDownloaded, this, &ImgDownloadManager::sigImgDownloaded,
            Qt::QueuedConnection);
    m_threadPool->start(task, 0);
}

void ImgDownloadManager::cancelQueued()
{
    m_threadPool->clear();
}

void ImgDownloadManager::stop()
{
    m_threadPool->clear();
    m_threadPool->waitForDone();
}

QString ImgDownloadManager::localImagePath(const QString& url) const
{
    return ImgDownload::localImagePath(m_imgDir, url);
}

QStringList ImgDownloadManager::imagesExcept(const QStringList& urls) const
{
    QSet<QString> kept;
    for (const QString& url : urls) {
        kept.insert(QFileInfo(localImagePath(url)).fileName());
    }
    QStringList others;
    const QFileInfoList files =
        QDir(m_imgDir).entryInfoList(QDir::Files | QDir::Hidden | QDir::NoSymLinks);
    for (const QFileInfo& file : files) {
        if (!kept.contains(file.fileName())) {
            others.append(file.filePath());
        }
    }
    return others;
}

void ImgDownloadManager::removeImage(const QString& path)
{
    // Only a regular file, never a link that took its place meanwhile.
    const QFileInfo file(path);
    if (file.isFile() && !file.isSymLink() && QFile::remove(path)) {
        qCDebug(logMain).noquote() << "Image removed:" << path;
    }
}
