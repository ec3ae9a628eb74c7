#include "platform/notification_sender.h"

#include <QDBusConnection>
#include <QDBusMessage>

using namespace Qt::StringLiterals;

NotificationSender::NotificationSender(const QString& summary)
    : m_summary(summary)
{
}

NotificationSender NotificationSender::appName(const QString& appName) const
{
    NotificationSender next = *this;
    next.m_appName = appName;
    return next;
}

NotificationSender NotificationSender::replaceId(uint replaceId) const
{
    NotificationSender next = *this;
    next.m_replaceId = replaceId;
    return next;
}

NotificationSender NotificationSender::appIcon(const QString& appIcon) const
{
    NotificationSender next = *this;
    next.m_appIcon = appIcon;
    return next;
}

NotificationSender NotificationSender::appBody(const QString& appBody) const
{
    NotificationSender next = *this;
    next.m_appBody = appBody;
    return next;
}

NotificationSender NotificationSender::actions(const QStringList& actions) const
{
    NotificationSender next = *this;
    next.m_actions = actions;
    return next;
}

NotificationSender NotificationSender::hints(const QVariantMap& hints) const
{
    NotificationSender next = *this;
    next.m_hints = hints;
    return next;
}

NotificationSender NotificationSender::timeOut(int timeOut) const
{
    NotificationSender next = *this;
    next.m_timeOut = timeOut;
    return next;
}

QDBusPendingCall NotificationSender::call() const
{
    QDBusMessage message = QDBusMessage::createMethodCall(
        u"org.freedesktop.Notifications"_s, u"/org/freedesktop/Notifications"_s,
        u"org.freedesktop.Notifications"_s, u"Notify"_s);
    message.setArguments(
        {m_appName, m_replaceId, m_appIcon, m_summary, m_appBody, m_actions, m_hints, m_timeOut});
    return QDBusConnection::sessionBus().asyncCall(message);
}
