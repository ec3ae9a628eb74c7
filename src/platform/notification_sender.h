#pragma once

#include <QDBusPendingCall>
#include <QString>
#include <QStringList>
#include <QVariantMap>

// Builds and sends one org.freedesktop.Notifications.Notify call on the session bus. A value
// type: every setter returns a new sender with one more value.
class NotificationSender
{
public:
    explicit NotificationSender(const QString& summary);

    NotificationSender appName(const QString& appName) const;
    NotificationSender replaceId(uint replaceId) const;
    NotificationSender appIcon(const QString& appIcon) const;
    NotificationSender appBody(const QString& appBody) const;
    NotificationSender actions(const QStringList& actions) const;
    NotificationSender hints(const QVariantMap& hints) const;
    NotificationSender timeOut(int timeOut) const;

    // The pending Notify call; its reply carries the notification id. A service that does not
    // answer within the bus's usual call time-out (25 s) yields an error reply.
    QDBusPendingCall call() const;

private:
    QString m_appName;
    uint m_replaceId = 0;
    QString m_appIcon;
    QString m_summary;
    QString m_appBody;
    QStringList m_actions;
    QVariantMap m_hints;
    int m_timeOut = -1;
};
