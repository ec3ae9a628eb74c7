#include "notification/notification_interface.h"

NotificationInterface::NotificationInterface(QObject* parent)
    : QObject(parent)
{
    initConnections();
    initDBusConnections();
}

void NotificationInterface::setRunning(bool value)
{
    if (m_running == value) {
        return;
    }
    m_running = value;
    Q_EMIT runningChanged(value);
}

// The bodies below are still empty: the server client, the database, the image pool and the
// notification sender they drive do not exist yet. They deliberately do nothing (in particular
// they never touch `running`), so a QueryNotifications call is accepted but runs no cycle.

void NotificationInterface::initConnections()
{
}

void NotificationInterface::initDBusConnections()
{
}

uint NotificationInterface::Notify(const QString& summary, const QString& appBody,
                                   const QString& appIcon, uint replaceId,
                                   const QStringList& paramList)
{
    Q_UNUSED(summary)
    Q_UNUSED(appBody)
    Q_UNUSED(appIcon)
    Q_UNUSED(replaceId)
    Q_UNUSED(paramList)
    return 0;
}

void NotificationInterface::slotReportMsgEventInfos()
{
}

void NotificationInterface::slotGetMsgNotifyInfos()
{
}

void NotificationInterface::slotGetMsgNotifyInfosFinished(
    const std::optional<MsgNotifyInfos>& msgNotifyInfos)
{
    Q_UNUSED(msgNotifyInfos)
}

void NotificationInterface::slotReportMsgNotifyInfoFinished(bool ret)
{
    Q_UNUSED(ret)
}

void NotificationInterface::slotNotificationClosed(uint id, uint reason)
{
    Q_UNUSED(id)
    Q_UNUSED(reason)
}

void NotificationInterface::slotAsyncDownloadImage()
{
}

void NotificationInterface::slotImgDownloadFinished(const QString& url, bool ret)
{
    Q_UNUSED(url)
    Q_UNUSED(ret)
}

void NotificationInterface::slotSendMsgNotification()
{
}
