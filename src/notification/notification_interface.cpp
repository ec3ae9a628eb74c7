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
#include <QDBusPendingCallWatcher>
#include <QDateTime>

#include <utility>

using namespace Qt::StringLiterals;

namespace {

constexpr uint kMaxNotifyTimes = 5;
constexpr int kEventReceived = 1;
constexpr int kEventShown = 2;
constexpr int kEventClosed = 3;
constexpr uint kClosedByCall = 3;

// Errors that say no notification service took the call, so the next one would fail as well.
bool isUnreachable(const QDBusMessage& reply)
{
    // The bus tried to start a service for the name and could not.
    if (reply.errorName().startsWith("org.freedesktop.DBus.Error.Spawn."_L1)) {
        return true;
    }
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
    // No download runs between two cycles: the images of pruned messages can go now. A store
    // that cannot be read says nothing about which images are still wanted.
    if (const std::optional<QStringList> urls = messages->selectMsgNotifyInfoImgUrls()) {
        Singleton<ImgDownloadManager>::instance()->removeImagesExcept(*urls);
    }
    QMetaObject::invokeMethod(this, &NotificationInterface::slotAsyncDownloadImage,
                              Qt::QueuedConnection);
}

void NotificationInterface::slotSendMsgNotification()
{
    // The pass under way already shows every due message once.
    if (m_displaying) {
        return;
    }
    m_displayingMsgNotifyInfos =
        Singleton<MsgNotifyInfoTable>::instance()->selectMsgNotifyInfoRecords(-1, 0);
    m_displaying = true;
    showNextDueRow();
}

// Sends the next due row and returns to the event loop; its answer, once its rows are
// committed, sends the one after. The host's thread never waits for the notification service,
// and a bubble on screen always has its rows on disk before the next one is sent.
void NotificationInterface::showNextDueRow()
{
    while (!m_displayingMsgNotifyInfos.isEmpty()) {
        const MsgNotifyInfoRecord row = m_displayingMsgNotifyInfos.takeLast();
        if (row.notify_times >= kMaxNotifyTimes ||
            QDateTime::currentSecsSinceEpoch() > row.endTime) {
            continue;
        }
        auto* watcher = new QDBusPendingCallWatcher(showMsgNotifyInfoRecord(row), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this,
                [this, row](QDBusPendingCallWatcher* call) { displayAnswered(row, call); });
        return;
    }
    endDisplayPass();
}

void NotificationInterface::displayAnswered(const MsgNotifyInfoRecord& row,
                                            QDBusPendingCallWatcher* call)
{
    call->deleteLater();
    const NotifyResult result = notificationResult(*call);
    if (result.unreachable) {
        // The rows after this one would wait for the same silence.
        m_displayingMsgNotifyInfos.clear();
    } else if (result.id != 0) {
        // Notification ids are never 0: nothing was shown, nothing is recorded.
        recordShown(row, result.id);
    }
    showNextDueRow();
}

void NotificationInterface::endDisplayPass()
{
    m_displaying = false;
    if (std::exchange(m_displayEndsCycle, false)) {
        setRunning(false);
    }
}

QDBusPendingCall
NotificationInterface::showMsgNotifyInfoRecord(const MsgNotifyInfoRecord& row) const
{
    const QString icon = row.image_downloaded
                             ? Singleton<ImgDownloadManager>::instance()->localImagePath(row.imgUrl)
                             : QString();
    return startNotification(row.title, row.content, icon, row.replace_id, row.actionCommand());
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
    // A second signal for the same bubble is no second reading.
    if (!row || row->msg_read) {
        return;
    }
    Singleton<MsgNotifyInfoTable>::instance()->updateMsgNotifyInfoRecordFieldMsgRead(row->id, true);
    Singleton<MsgEventInfoTable>::instance()->insertMsgEventInfoRecord(
        MsgEventInfo(row->id, QDateTime::currentSecsSinceEpoch(), kEventClosed));
    // A read message is never shown again, not even later in the pass under way.
    m_displayingMsgNotifyInfos.removeIf(
        [&row](const MsgNotifyInfoRecord& pending) { return pending.id == row->id; });
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
        // One download per URL: its verdict holds for every row that shares the image.
        if (!m_downloadingMsgNotifyInfos.contains(row.imgUrl)) {
            images->downloadImage(row.imgUrl);
        }
        m_downloadingMsgNotifyInfos.insert(row.imgUrl, row);
    }
}

void NotificationInterface::slotImgDownloadFinished(const QString& url, bool ret)
{
    const QList<MsgNotifyInfo> waiting = m_downloadingMsgNotifyInfos.values(url);
    if (waiting.isEmpty()) {
        if (m_downloadingMsgNotifyInfos.isEmpty()) {
            finishCycle();
        }
        return;
    }
    for (const MsgNotifyInfo& row : waiting) {
        if (ret) {
            Singleton<MsgNotifyInfoTable>::instance()
                ->updateMsgNotifyInfoRecordFieldImageDownloaded(row.id, true);
        }
    }
    m_downloadingMsgNotifyInfos.remove(url);
    if (m_downloadingMsgNotifyInfos.isEmpty()) {
        finishCycle();
    }
}

// The display pass always comes first: running turns false once its last bubble is answered.
void NotificationInterface::finishCycle()
{
    m_displayEndsCycle = true;
    slotSendMsgNotification();
}
