#include "notification/notification_interface.h"

#include "common/config.h"
#include "common/singleton.h"
#include "database/msg_event_info_table.h"
#include "database/msg_notify_info_table.h"
#include "http/img_download_manager.h"
#include "http/msg_notify_service.h"
#include "platform/notification_sender.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDateTime>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

constexpr uint kMaxNotifyTimes = 5;
constexpr int kEventReceived = 1;
constexpr int kEventShown = 2;
constexpr int kEventClosed = 3;
constexpr uint kClosedByCall = 3;

// The command the notification's default action runs.
QStringList actionCommand(int linkType, const QString& linkInfo)
{
    switch (linkType) {
    case 1:
        return {u"/bin/bash"_s, u"-c"_s, linkInfo};
    case 2:
        return {u"/usr/bin/xdg-open"_s, linkInfo};
    default:
        return {};
    }
}

// Errors that say no notification service took the call, so the next one would fail as well.
bool isUnreachable(const QDBusMessage& reply)
{
    switch (QDBusError(reply).type()) {
    case QDBusError::ServiceUnknown:
    case QDBusError::NoReply:
    case QDBusError::Timeout:
    case QDBusError::TimedOut:
    case QDBusError::Disconnected:
    case QDBusError::NoServer:
        return true;
    default:
        return reply.errorName() == "org.freedesktop.DBus.Error.NameHasNoOwner"_L1;
    }
}

} // namespace

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

void NotificationInterface::initConnections()
{
    MsgNotifyService* service = Singleton<MsgNotifyService>::instance();
    connect(service, &MsgNotifyService::sigGetMsgNotifyInfosFinished, this,
            &NotificationInterface::slotGetMsgNotifyInfosFinished);
    connect(service, &MsgNotifyService::sigReportMsgNotifyInfoFinished, this,
            &NotificationInterface::slotReportMsgNotifyInfoFinished);
    connect(Singleton<ImgDownloadManager>::instance(), &ImgDownloadManager::sigImgDownloaded, this,
            &NotificationInterface::slotImgDownloadFinished);
}

void NotificationInterface::initDBusConnections()
{
    QDBusConnection::sessionBus().connect(
        u"org.freedesktop.Notifications"_s, u"/org/freedesktop/Notifications"_s,
        u"org.freedesktop.Notifications"_s, u"NotificationClosed"_s, this,
        SLOT(slotNotificationClosed(quint32, quint32)));
}

uint NotificationInterface::Notify(const QString& summary, const QString& appBody,
                                   const QString& appIcon, uint replaceId,
                                   const QStringList& paramList)
{
    QDBusPendingCall call = startNotification(summary, appBody, appIcon, replaceId, paramList);
    return notificationResult(call).id;
}

QDBusPendingCall NotificationInterface::startNotification(const QString& summary,
                                                          const QString& appBody,
                                                          const QString& appIcon, uint replaceId,
                                                          const QStringList& paramList)
{
    const QStringList actions{u"default"_s, QString()};
    const QVariantMap hints{{u"x-quorin-action-default"_s, paramList.join(u',')}};
    return NotificationSender(summary)
        .appName(u"quorin-msg-notification"_s)
        .replaceId(replaceId)
        .appIcon(appIcon)
        .appBody(appBody)
        .actions(actions)
        .hints(hints)
        .timeOut(-1)
        .call();
}

NotificationInterface::NotifyResult
NotificationInterface::notificationResult(QDBusPendingCall& call)
{
    call.waitForFinished();
    const QDBusMessage reply = call.reply();
    NotifyResult result;
    if (reply.type() != QDBusMessage::ReplyMessage) {
        result.unreachable = isUnreachable(reply);
        return result;
    }
    const QVariantList arguments = reply.arguments();
    result.id = arguments.isEmpty() ? 0 : arguments.first().toUInt();
    return result;
}

void NotificationInterface::slotReportMsgEventInfos()
{
    // One batch at a time, so that a verdict only ever applies to the events it carried; the
    // queue waits for the next report.
    if (!m_reportingMsgEventInfos.isEmpty()) {
        return;
    }
    m_reportingMsgEventInfos =
        Singleton<MsgEventInfoTable>::instance()->selectMsgEventInfoRecords();
    const MsgEventInfos batch(m_reportingMsgEventInfos.values());
    if (batch.isEmpty()) {
        return;
    }
    Singleton<MsgNotifyService>::instance()->reportMsgNotifyInfo(batch);
}

void NotificationInterface::slotReportMsgNotifyInfoFinished(bool ret)
{
    MsgEventInfoTable* events = Singleton<MsgEventInfoTable>::instance();
    const QList<int> rows = m_reportingMsgEventInfos.keys();
    for (int row : rows) {
        if (ret) {
            events->deleteMsgEventInfoRecordById(row);
        } else {
            events->updateMsgEventInfoRecordFieldRetryTimes(row);
        }
    }
    m_reportingMsgEventInfos.clear();
}

void NotificationInterface::slotGetMsgNotifyInfos()
{
    setRunning(true);
    const qint64 ifModifiedSince = Singleton<Config>::instance()->lastModified();
    Singleton<MsgNotifyService>::instance()->getMsgNotifyInfos(ifModifiedSince);
}

void NotificationInterface::slotGetMsgNotifyInfosFinished(
    const std::optional<MsgNotifyInfos>& msgNotifyInfos)
{
    MsgNotifyInfoTable* messages = Singleton<MsgNotifyInfoTable>::instance();
    if (msgNotifyInfos) {
        messages->insertMsgNotifyInfoRecords(*msgNotifyInfos);
        MsgEventInfoTable* events = Singleton<MsgEventInfoTable>::instance();
        for (const MsgNotifyInfo& info : msgNotifyInfos->datas) {
            events->insertMsgEventInfoRecord(
                MsgEventInfo(info.id, msgNotifyInfos->lastModified, kEventReceived));
        }
        if (msgNotifyInfos->hasNextPage) {
            return;
        }
        Singleton<Config>::instance()->setLastModified(msgNotifyInfos->lastModified);
    }
    messages->deleteUselessMsgNotifyInfoRecords();
    messages->deleteOldestMsgNotifyInfoRecords();
    QMetaObject::invokeMethod(this, &NotificationInterface::slotAsyncDownloadImage,
                              Qt::QueuedConnection);
}

void NotificationInterface::slotSendMsgNotification()
{
    const QList<MsgNotifyInfoRecord> rows =
        Singleton<MsgNotifyInfoTable>::instance()->selectMsgNotifyInfoRecords(-1, 0);
    auto isDue = [](const MsgNotifyInfoRecord& row) {
        return row.notify_times < kMaxNotifyTimes &&
               QDateTime::currentSecsSinceEpoch() <= row.endTime;
    };
    const auto end = rows.crend();
    auto shown = std::find_if(rows.crbegin(), end, isDue);
    if (shown == end) {
        return;
    }
    // One call at a time, each sent once the one before it has been answered; the rows of a
    // message are written while the next message travels to the notification service.
    QDBusPendingCall call = showMsgNotifyInfoRecord(*shown);
    while (shown != end) {
        const NotifyResult result = notificationResult(call);
        // The rows after this one would wait for the same silence.
        if (result.id == 0 && result.unreachable) {
            break;
        }
        const auto current = shown;
        shown = std::find_if(std::next(current), end, isDue);
        if (shown != end) {
            call = showMsgNotifyInfoRecord(*shown);
        }
        // Notification ids are never 0: nothing was shown, so nothing is counted or recorded.
        if (result.id != 0) {
            recordShown(*current, result.id);
        }
    }
}

QDBusPendingCall
NotificationInterface::showMsgNotifyInfoRecord(const MsgNotifyInfoRecord& row) const
{
    const QString icon = row.image_downloaded
                             ? Singleton<ImgDownloadManager>::instance()->localImagePath(row.imgUrl)
                             : QString();
    return startNotification(row.title, row.content, icon, row.replace_id,
                             actionCommand(row.linkType, row.linkInfo));
}

void NotificationInterface::recordShown(const MsgNotifyInfoRecord& row, uint id)
{
    MsgNotifyInfoTable* messages = Singleton<MsgNotifyInfoTable>::instance();
    if (id != row.replace_id) {
        messages->updateMsgNotifyInfoRecordFieldReplaceId(row.id, id);
    }
    messages->updateMsgNotifyInfoRecordFieldNotifyTimes(row.id);
    Singleton<MsgEventInfoTable>::instance()->insertMsgEventInfoRecord(
        MsgEventInfo(row.id, QDateTime::currentSecsSinceEpoch(), kEventShown));
}

void NotificationInterface::slotNotificationClosed(uint id, uint reason)
{
    if (reason != kClosedByCall) {
        return;
    }
    const std::optional<MsgNotifyInfoRecord> row =
        Singleton<MsgNotifyInfoTable>::instance()->selectMsgNotifyInfoRecordByReplaceId(id);
    if (!row) {
        return;
    }
    Singleton<MsgNotifyInfoTable>::instance()->updateMsgNotifyInfoRecordFieldMsgRead(row->id, true);
    Singleton<MsgEventInfoTable>::instance()->insertMsgEventInfoRecord(
        MsgEventInfo(row->id, QDateTime::currentSecsSinceEpoch(), kEventClosed));
}

void NotificationInterface::slotAsyncDownloadImage()
{
    m_downloadingMsgNotifyInfos.clear();
    const QList<MsgNotifyInfoRecord> rows =
        Singleton<MsgNotifyInfoTable>::instance()->selectMsgNotifyInfoRecords(0, -1);
    if (rows.isEmpty()) {
        finishCycle();
        return;
    }
    ImgDownloadManager* images = Singleton<ImgDownloadManager>::instance();
    for (const MsgNotifyInfoRecord& row : rows) {
        m_downloadingMsgNotifyInfos.insert(row.imgUrl, row);
        images->downloadImage(row.imgUrl);
    }
}

void NotificationInterface::slotImgDownloadFinished(const QString& url, bool ret)
{
    const auto entry = m_downloadingMsgNotifyInfos.find(url);
    if (entry == m_downloadingMsgNotifyInfos.end()) {
        if (m_downloadingMsgNotifyInfos.isEmpty()) {
            finishCycle();
        }
        return;
    }
    if (ret) {
        Singleton<MsgNotifyInfoTable>::instance()->updateMsgNotifyInfoRecordFieldImageDownloaded(
            entry->id, true);
    }
    m_downloadingMsgNotifyInfos.erase(entry);
    if (m_downloadingMsgNotifyInfos.isEmpty()) {
        finishCycle();
    }
}

// The display pass always comes first, so that running turns false after the last bubble.
void NotificationInterface::finishCycle()
{
    slotSendMsgNotification();
    setRunning(false);
}
