#include "common/config.h"

#include "common/settings_lock.h"
#include "plugin/log_categories.h"

#include <QCoreApplication>
#include <QDir>
#include <QSettings>
#include <QStandardPaths>

using namespace Qt::StringLiterals;

namespace {
const QString kServerKey = u"server"_s;
const QString kLastModifiedKey = u"lastModified"_s;
const QString kEnabledKey = u"enabled"_s;
const QString kOpenLinksKey = u"openLinks"_s;
const QString kNotificationServiceKey = u"notificationService"_s;
const QString kServerNotBeforeKey = u"serverNotBefore"_s;
const QString kServerFailuresKey = u"serverFailures"_s;
const QString kServerAskedKey = u"serverAsked"_s;
} // namespace

Config::Config()
    : QObject(nullptr)
    , m_server(defaultServer())
{
    const QString dirPath = configDirPath();
    if (!QDir(dirPath).exists() && !QDir().mkpath(dirPath)) {
        qCWarning(logMain) << "Config dir created failed";
    }

    m_settings = new QSettings(configFilePath(), QSettings::IniFormat, this);

    m_server = serverSetting(*m_settings);
    m_lastModified = m_settings->value(kLastModifiedKey, m_lastModified).toLongLong();
    m_notificationService = m_settings->value(kNotificationServiceKey).toString();
    m_serverBackoff = serverBackoffSetting(*m_settings);
}

void Config::setLastModified(qint64 value)
{
    m_lastModified = value;
    if (value != 0) {
        m_settings->setValue(kLastModifiedKey, value);
        SettingsLock::sync(*m_settings);
    }
}

void Config::setNotificationService(const QString& identity)
{
    m_notificationService = identity;
    m_settings->setValue(kNotificationServiceKey, identity);
    SettingsLock::sync(*m_settings);
}

void Config::setServerBackoff(const ServerBackoff& backoff)
{
    if (backoff == m_serverBackoff) {
        return;
    }
    m_serverBackoff = backoff;
    m_settings->setValue(kServerNotBeforeKey, backoff.notBefore);
    m_settings->setValue(kServerFailuresKey, backoff.failures);
    m_settings->setValue(kServerAskedKey, backoff.serverAsked);
    SettingsLock::sync(*m_settings);
}

ServerBackoff Config::serverBackoffSetting(const QSettings& settings)
{
    ServerBackoff backoff;
    backoff.notBefore = qMax(0LL, settings.value(kServerNotBeforeKey).toLongLong());
    backoff.failures = qBound(0, settings.value(kServerFailuresKey).toInt(), 1000);
    backoff.serverAsked = settings.value(kServerAskedKey).toBool();
    return backoff;
}

bool Config::enabled()
{
    // Picks up what another process wrote since the last read.
    m_settings->sync();
    return enabledSetting(*m_settings);
}

bool Config::openLinks()
{
    m_settings->sync();
    return openLinksSetting(*m_settings);
}

QString Config::serverSetting(const QSettings& settings)
{
    QString server = settings.value(kServerKey).toString().trimmed();
    // The request paths begin with a slash: "https://host/" would reach the server as
    // "//store-dist-message/..." on some Qt versions and not on others.
    while (server.endsWith(u'/')) {
        server.chop(1);
    }
    return server.isEmpty() ? defaultServer() : server;
}

bool Config::enabledSetting(const QSettings& settings)
{
    // Hand-edited files say "no" or "off" as often as "false".
    static const QStringList off{u"false"_s, u"0"_s, u"no"_s, u"off"_s};
    return !off.contains(settings.value(kEnabledKey).toString().trimmed().toLower());
}

void Config::setEnabledSetting(QSettings& settings, bool enabled)
{
    settings.setValue(kEnabledKey, enabled);
}

bool Config::openLinksSetting(const QSettings& settings)
{
    // A value other than the two is a mistyped "never" more likely than a mistyped "auto".
    const QString value = settings.value(kOpenLinksKey).toString().trimmed().toLower();
    return value.isEmpty() || value == "auto"_L1;
}

QString Config::defaultServer()
{
    return u"https://msg.store.quorin.com"_s;
}

QString Config::configDirPath()
{
    QString organization = QCoreApplication::organizationName();
    if (organization.isEmpty()) {
        organization = u"quorin"_s;
    }
    return u"%1/%2/%3"_s.arg(QStandardPaths::writableLocation(QStandardPaths::ConfigLocation),
                             organization, u"quorin-msg-notification"_s);
}

QString Config::configFilePath()
{
    return u"%1/%2"_s.arg(configDirPath(), u"%1.conf"_s.arg(u"quorin-msg-notification"_s));
}
