#pragma once

#include "common/server_backoff.h"

#include <QObject>
#include <QString>

class QSettings;

// The persistent settings: the message server's base URL, the last-modified stamp of the last
// complete fetch, the switch that turns the service off and the one that keeps clicks from
// opening links, kept in
// <config home>/<organisation or "quorin">/quorin-msg-notification/quorin-msg-notification.conf.
class Config : public QObject
{
public:
    Config();

    QString server() const { return m_server; }
    qint64 lastModified() const { return m_lastModified; }
    // 0 changes the in-memory value only, so the next start reads the last non-zero stamp again.
    void setLastModified(qint64 value);

    // The notification service whose bubble ids are stored: "<bus id> <unique name>", empty for
    // none. Written when the first bubble of another service is recorded.
    QString notificationService() const { return m_notificationService; }
    void setNotificationService(const QString& identity);

    // When the message server may be asked again, the failures since its last success and
    // whether the wait is its own word: "serverNotBefore" (milliseconds since the epoch),
    // "serverFailures" and "serverAsked", kept beside the stamp so that a restart does not forget
    // them. Written only when they change.
    ServerBackoff serverBackoff() const { return m_serverBackoff; }
    void setServerBackoff(const ServerBackoff& backoff);
    static ServerBackoff serverBackoffSetting(const QSettings& settings);

    // The switch: "enabled" of the file, read again on each call so that a change made while
    // the service runs counts from its next cycle. Absent means on.
    bool enabled();
    // "openLinks": whether a click on a bubble opens its web link; "auto" (or absent) yes,
    // "never" no. Read again on each call, as the switch is.
    bool openLinks();

    // The keys as the service reads them, for tools that work on the file directly.
    static QString serverSetting(const QSettings& settings);
    static bool enabledSetting(const QSettings& settings);
    static void setEnabledSetting(QSettings& settings, bool enabled);
    static bool openLinksSetting(const QSettings& settings);

    static QString defaultServer();
    static QString configDirPath();
    static QString configFilePath();

private:
    QSettings* m_settings = nullptr;
    QString m_server;
    qint64 m_lastModified = 0;
    QString m_notificationService;
    ServerBackoff m_serverBackoff;
};
