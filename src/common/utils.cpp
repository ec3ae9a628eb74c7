#include "common/utils.h"

#include "platform/keyfile_entry.h"
#include "platform/system_info.h"
#include "plugin/log_categories.h"

#include <QLocale>
#include <QNetworkRequest>
#include <QSysInfo>
#include <QTimeZone>

#include <atomic>

using namespace Qt::StringLiterals;

namespace {

const QByteArray kToken = QByteArrayLiteral("3b9f1e07d2c84a6d95e0f4a718c26b5d");

QLocale englishLocale()
{
    return QLocale(QLocale::English, QLocale::AnyScript, QLocale::AnyTerritory);
}

QString architecture()
{
    const QString name = QSysInfo::currentCpuArchitecture();
    if (name == "x86_64"_L1) {
        return u"amd64"_s;
    }
    if (name == "aarch64"_L1) {
        return u"arm64"_s;
    }
    return name;
}

// Follows the configured time zone, not the locale.
QString region()
{
    switch (QTimeZone::systemTimeZone().territory()) {
    case QLocale::China:
    case QLocale::HongKong:
    case QLocale::Macao:
    case QLocale::Taiwan:
        return u"CN"_s;
    default:
        return u"OTHER"_s;
    }
}

// A null value would remove the header; an empty one is still sent.
QByteArray headerValue(const QString& text)
{
    QByteArray value = text.toUtf8();
    return value.isNull() ? QByteArray("") : value;
}

} // namespace

void Utils::initRequestHeadersWithSystemInfo(QNetworkRequest& request, const QString& osVersionPath,
                                             const QString& osReleasePath)
{
    const SystemInfo systemInfo(osVersionPath, osReleasePath);
    request.setRawHeader("Authorization", kToken);
    request.setRawHeader("arch", headerValue(architecture()));
    request.setRawHeader("platform", headerValue(systemInfo.editionName(englishLocale())));
    request.setRawHeader("region", headerValue(region()));
    request.setRawHeader("language", headerValue(QLocale::system().name()));
    request.setRawHeader("baseVersion", headerValue(u"%1|%2"_s.arg(systemInfo.majorVersion(),
                                                                   systemInfo.minorVersion())));
    request.setRawHeader("os_build", headerValue(systemOsBuild(osVersionPath)));
    request.setHeader(QNetworkRequest::ContentTypeHeader, u"application/json"_s);
}

QString Utils::systemOsBuild(const QString& osVersionPath)
{
    const KeyfileEntry file(osVersionPath);
    if (file.status() != KeyfileEntry::Success) {
        // Debian and others have no such file: say so once, not on every request.
        static std::atomic_bool warned = false;
        if (!warned.exchange(true)) {
            qCWarning(logMain) << "KeyfileEntry /etc/os-version Status Error:" << file.status();
        }
        return QString();
    }
    const QString localisedKey = u"%1[%2]"_s.arg(u"OsBuild"_s, englishLocale().name());
    const QString plain = file.value(u"OsBuild"_s, u"Version"_s, QString());
    return file.value(localisedKey, u"Version"_s, plain);
}
