#include "http/img_download.h"

#include "http/reply_waiter.h"
#include "plugin/log_categories.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QSaveFile>
#include <QThread>
#include <QUrl>

using namespace Qt::StringLiterals;

namespace {
// One manager per pool thread for every image that thread fetches, so that a server or CDN sees
// a connection per thread rather than a handshake per image. It goes when its thread ends (an
// idle pool thread expires), on that thread.
QNetworkAccessManager* threadManager()
{
    static thread_local QNetworkAccessManager* manager = nullptr;
    if (!manager) {
        manager = new QNetworkAccessManager();
        QObject::connect(QThread::currentThread(), &QThread::finished, [] {
            delete manager;
            manager = nullptr;
        });
    }
    return manager;
}
} // namespace

ImgDownload::ImgDownload(const QString& url, const QString& imgDir, const ImgDownloadLimits& limits)
    : m_url(url)
    , m_path(localImagePath(imgDir, url))
    , m_limits(limits)
{
    setAutoDelete(true);
}

QString ImgDownload::imageFileName(const QString& url)
{
    // A URL without a single named segment names no image.
    if (url.split(u'/', Qt::SkipEmptyParts, Qt::CaseSensitive).isEmpty()) {
        return QString();
    }
    // Named after the whole URL, so that two images that end in the same segment are two files,
    // and nothing of the server's text reaches the file system but a plain suffix, which some
    // image loaders go by.
    const QString digest = QString::fromLatin1(
        QCryptographicHash::hash(url.toUtf8(), QCryptographicHash::Sha256).toHex());
    static const QRegularExpression plainSuffix(u"^[a-z0-9]{1,5}$"_s);
    const QString suffix = QFileInfo(QUrl(url, QUrl::TolerantMode).path()).suffix().toLower();
    return plainSuffix.match(suffix).hasMatch() ? digest + u'.' + suffix : digest;
}

QString ImgDownload::localImagePath(const QString& imgDir, const QString& url)
{
    const QString name = imageFileName(url);
    return name.isEmpty() ? QString() : u"%1/%2"_s.arg(imgDir, name);
}

bool ImgDownload::exists() const
{
    // A link is never taken for a cached image, whatever it points to.
    const QFileInfo file(m_path);
    return !m_path.isEmpty() && file.isFile() && !file.isSymLink();
}

void ImgDownload::run()
{
    if (m_path.isEmpty()) {
        // Nothing to fetch and nowhere to put it.
        Q_EMIT sigImgDownloaded(m_url, false);
        return;
    }
    if (exists()) {
        qCDebug(logMain).noquote() << "Local image exists:" << m_url << m_path;
        Q_EMIT sigImgDownloaded(m_url, true);
        return;
    }

    QNetworkReply* reply = threadManager()->get(QNetworkRequest(QUrl(m_url, QUrl::TolerantMode)));
    bool ok = false;
    const bool finished =
        ReplyWaiter::wait(reply, m_limits.timeoutMs, m_limits.maxBytes) == ReplyWaiter::Finished;
    // A 304 or 204 to a plain GET carries no image: an empty file would pass for a cached one.
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray body = finished ? reply->readAll() : QByteArray();
    if (finished && status >= 200 && status < 300 && !body.isEmpty()) {
        ok = saveToFile(body);
        qCDebug(logMain).noquote() << "Image downloaded:" << m_url;
    } else {
        qCWarning(logMain).noquote() << "Image download failed:" << m_url;
    }
    // One still in flight (time-out, too large) must not hold the thread's connection.
    if (!reply->isFinished()) {
        reply->abort();
    }
    reply->deleteLater();
    Q_EMIT sigImgDownloaded(m_url, ok);
}

bool ImgDownload::saveToFile(const QByteArray& data)
{
    const QFileInfo target(m_path);
    // QSaveFile would write through a link; the link itself is replaced instead.
    if (target.isSymLink()) {
        QFile::remove(m_path);
    }
    // The cache folder may have been unwritable, or gone, when the manager started.
    QDir().mkpath(target.path());
    // Written under a temporary name and renamed, so that two tasks for one file name never mix
    // their bytes and a crash leaves no partial image behind.
    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit()) {
        qCWarning(logMain).noquote() << "Failed to save image to file:" << m_path;
        return false;
    }
    return true;
}
