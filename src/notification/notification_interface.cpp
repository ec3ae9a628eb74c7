#include "notification/notification_interface.h"

#include "common/config.h"
#include "common/singleton.h"
#include "database/msg_event_info_table.h"
#include "database/msg_notify_info_table.h"
#include "http/img_download_manager.h"
#include "http/msg_notify_service.h"
#include "http/server_gate.h"
#include "notification/desktop_notifications.h"
#include "notification/notification_settings.h"
#include "notification/sliced_step.h"
#include "plugin/log_categories.h"

#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDateTime>
#include <QTimer>

#include <utility>

using namespace Qt::StringLiterals;

namespace {

constexpr uint kMaxNotifyTimes = 5;
constexpr uint kClosedByCall = 3;
constexpr int kIdsPerStatement = 200;

// The row will not be shown (again) this cycle: read, shown five times or ended.
bool notDue(const MsgNotifyInfoRecord& row)
{
    return row.msg_read || row.notify_times >= kMaxNotifyTimes ||
           row.endedBy(QDateTime::currentSecsSinceEpoch());
}

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
    , m_imageDeadline(new QTimer(this))
    , m_desktop(new DesktopNotifications(this))
{
    m_imageDeadline->setSingleShot(true);
    connect(m_imageDeadline, &QTimer::timeout, this, &NotificationInterface::imagesDue);
    initConnections();
    initDBusConnections();
}

void NotificationInterface::queueCycle()
{
    if (m_running || m_cycleQueued) {
        return;
    }
    m_cycleQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            // However many of its requests fail, a cycle counts one failure against the server.
            Singleton<MsgNotifyService>::instance()->gate()->beginCycle();
            slotReportMsgEventInfos();
        },
        Qt::QueuedConnection);
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_cycleQueued = false;
            slotGetMsgNotifyInfos();
        },
        Qt::QueuedConnection);
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
    // The events stay as they are, with no failed attempt counted.
    connect(service, &MsgNotifyService::sigReportMsgNotifyInfoSkipped, this, [this] {
        m_reportingMsgEventInfos.clear();
        saveServerBackoff();
    });
    connect(Singleton<ImgDownloadManager>::instance(), &ImgDownloadManager::sigImgDownloaded, this,
            &NotificationInterface::slotImgDownloadFinished);
}

void NotificationInterface::initDBusConnections()
{
    connect(m_desktop, &DesktopNotifications::sigNotificationClosed, this,
            &NotificationInterface::slotNotificationClosed);
    connect(m_desktop, &DesktopNotifications::sigClicked, this,
            &NotificationInterface::slotClicked);
    connect(m_desktop, &DesktopNotifications::sigUnseen, this, &NotificationInterface::slotUnseen);
}

uint NotificationInterface::Notify(const QString& summary, const QString& appBody,
                                   const QString& appIcon, uint replaceId,
                                   const QStringList& paramList)
{
    QDBusPendingCall call =
        DesktopNotifications::send(summary, appBody, appIcon, replaceId, paramList, QString());
    return notificationResult(call).id;
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
    if (!m_reportingMsgEventInfos.isEmpty() || m_readingReport) {
        return;
    }
    m_readingReport = true;
    readReportBatch();
}

// The queue is read a few hundred rows a statement: a long one would hold the host's thread.
void NotificationInterface::readReportBatch()
{
    const auto readPart = [this] {
        const int after =
            m_reportingMsgEventInfos.isEmpty() ? 0 : m_reportingMsgEventInfos.lastKey();
        const QMap<int, MsgEventInfo> part =
            Singleton<MsgEventInfoTable>::instance()->selectMsgEventInfoRecords(after,
                                                                                kIdsPerStatement);
        m_reportingMsgEventInfos.insert(part);
        return part.size() < kIdsPerStatement ? SlicedStep::Unit::Done : SlicedStep::Unit::More;
    };
    SlicedStep::run(this, readPart, [this] {
        m_readingReport = false;
        const MsgEventInfos batch(m_reportingMsgEventInfos.values());
        if (!batch.isEmpty()) {
            Singleton<MsgNotifyService>::instance()->reportMsgNotifyInfo(batch);
        }
    });
}

void NotificationInterface::slotReportMsgNotifyInfoFinished(bool ret)
{
    saveServerBackoff();
    if (m_reportingMsgEventInfos.isEmpty() || m_reportVerdict) {
        return;
    }
    m_reportVerdict = ret;
    applyReportVerdict();
}

// A few hundred rows a statement: a large queue never holds the host's thread for long. The
// batch stays in flight until the last of its rows is done.
void NotificationInterface::applyReportVerdict()
{
    const auto applyToPart = [this] {
        QList<int> rows;
        while (!m_reportingMsgEventInfos.isEmpty() && rows.size() < kIdsPerStatement) {
            rows.append(m_reportingMsgEventInfos.firstKey());
            m_reportingMsgEventInfos.erase(m_reportingMsgEventInfos.begin());
        }
        MsgEventInfoTable* events = Singleton<MsgEventInfoTable>::instance();
        if (*m_reportVerdict) {
            events->deleteMsgEventInfoRecordsByIds(rows);
        } else {
            events->updateMsgEventInfoRecordsFieldRetryTimes(rows);
        }
        return m_reportingMsgEventInfos.isEmpty() ? SlicedStep::Unit::Done : SlicedStep::Unit::More;
    };
    SlicedStep::run(this, applyToPart, [this] { m_reportVerdict.reset(); });
}

bool NotificationInterface::serverHeld(const char* step) const
{
    const ServerGate* gate = Singleton<MsgNotifyService>::instance()->gate();
    if (!gate->closed()) {
        return false;
    }
    qCDebug(logMain) << step << "skipped:" << gate->reason();
    return true;
}

void NotificationInterface::saveServerBackoff()
{
    Singleton<Config>::instance()->setServerBackoff(
        Singleton<MsgNotifyService>::instance()->gate()->backoff());
}

void NotificationInterface::slotGetMsgNotifyInfos()
{
    setRunning(true);
    m_fetchStamp.reset();
    const qint64 ifModifiedSince = Singleton<Config>::instance()->lastModified();
    Singleton<MsgNotifyService>::instance()->getMsgNotifyInfos(ifModifiedSince);
}

void NotificationInterface::slotGetMsgNotifyInfosFinished(
    const std::optional<MsgNotifyInfos>& msgNotifyInfos)
{
    // A message published while the later pages were read may sort into a page already read:
    // only the first page's stamp, taken as the listing began, is older than all of it.
    if (msgNotifyInfos && !m_fetchStamp) {
        m_fetchStamp = msgNotifyInfos->lastModified;
    }
    if (!msgNotifyInfos || !msgNotifyInfos->hasNextPage) {
        saveServerBackoff();
    }
    m_fetchedPages.append(msgNotifyInfos);
    if (m_fetchedPages.size() == 1) {
        storeFetchedPages();
    }
}

// Stores the fetched pages one message at a time, each with its received event, as the pages
// come. The last page stays until the end of the fetch.
void NotificationInterface::storeFetchedPages()
{
    SlicedStep::run(
        this, [this] { return storeFetchedMessage(); },
        [this] {
            // The end of the fetch writes the configuration file: a turn of its own.
            if (!m_fetchedPages.isEmpty()) {
                QMetaObject::invokeMethod(this, &NotificationInterface::endFetch,
                                          Qt::QueuedConnection);
            }
        });
}

SlicedStep::Unit NotificationInterface::storeFetchedMessage()
{
    const std::optional<MsgNotifyInfos>& page = m_fetchedPages.first();
    if (page && m_storedOfFirstPage < page->datas.size()) {
        const MsgNotifyInfo& info = page->datas.at(m_storedOfFirstPage++);
        Singleton<MsgNotifyInfoTable>::instance()->insertMsgNotifyInfoRecord(info);
        Singleton<MsgEventInfoTable>::instance()->insertMsgEventInfoRecord(
            MsgEventInfo(info.id, page->lastModified, EventKind::Received));
        return SlicedStep::Unit::More;
    }
    if (!page || !page->hasNextPage) {
        return SlicedStep::Unit::Done;
    }
    m_fetchedPages.removeFirst();
    m_storedOfFirstPage = 0;
    Singleton<MsgEventInfoTable>::instance()->deleteOverflowingMsgEventInfoRecords();
    return m_fetchedPages.isEmpty() ? SlicedStep::Unit::Done : SlicedStep::Unit::More;
}

// The stamp is saved only once every page is on disk.
void NotificationInterface::endFetch()
{
    const bool complete = m_fetchedPages.constFirst().has_value();
    m_fetchedPages.clear();
    m_storedOfFirstPage = 0;
    Singleton<MsgEventInfoTable>::instance()->deleteOverflowingMsgEventInfoRecords();
    if (complete) {
        Singleton<Config>::instance()->setLastModified(m_fetchStamp.value_or(0));
    }
    QMetaObject::invokeMethod(this, &NotificationInterface::pruneStore, Qt::QueuedConnection);
}

void NotificationInterface::pruneStore()
{
    MsgNotifyInfoTable* messages = Singleton<MsgNotifyInfoTable>::instance();
    messages->deleteUselessMsgNotifyInfoRecords();
    messages->deleteOldestMsgNotifyInfoRecords();
    // No download of this process runs between two cycles: the images of pruned messages can
    // go now. A store that cannot be read says nothing about which images are still wanted.
    if (const std::optional<QStringList> urls = messages->selectMsgNotifyInfoImgUrls()) {
        m_staleImages = Singleton<ImgDownloadManager>::instance()->imagesExcept(*urls);
    }
    // After a listing of the folder: the removals start in a turn of their own.
    QMetaObject::invokeMethod(this, &NotificationInterface::removeStaleImages,
                              Qt::QueuedConnection);
}

// A file at a time: two hundred unlinks take tens of milliseconds.
void NotificationInterface::removeStaleImages()
{
    const auto removeOne = [this] {
        if (!m_staleImages.isEmpty()) {
            ImgDownloadManager::removeImage(m_staleImages.takeLast());
        }
        return m_staleImages.isEmpty() ? SlicedStep::Unit::Done : SlicedStep::Unit::More;
    };
    SlicedStep::run(this, removeOne, [this] {
        QMetaObject::invokeMethod(this, &NotificationInterface::slotAsyncDownloadImage,
                                  Qt::QueuedConnection);
    });
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
    m_desktop->whenReady([this] { startDisplayWalk(); });
}

// Stored bubble ids count only while the service that gave them is the one on the bus.
void NotificationInterface::startDisplayWalk()
{
    const QString identity = m_desktop->identity();
    if (identity.isEmpty() || identity != Singleton<Config>::instance()->notificationService()) {
        releaseBubbleIds();
    }
    // Rows come in ascending id, the oldest first, and go out in that order: the newest is the
    // last bubble, on top of a stack and kept by a service that keeps only the last few. Such a
    // service gets only as many as it keeps; the others stay due.
    m_displayingMsgNotifyInfos.removeIf(notDue);
    // Turned off in the desktop's settings: nothing goes out and the messages stay due, for
    // when it is turned on again.
    if (!m_displayingMsgNotifyInfos.isEmpty() && !NotificationSettings::shownByDesktop()) {
        qCDebug(logMain) << "off in the desktop's notification settings:"
                         << m_displayingMsgNotifyInfos.size() << "messages wait";
        m_displayingMsgNotifyInfos.clear();
    }
    if (const std::optional<int> kept = m_desktop->bubblesKept()) {
        const qsizetype over = m_displayingMsgNotifyInfos.size() - *kept;
        if (over > 0) {
            m_displayingMsgNotifyInfos.remove(0, over);
        }
    }
    m_desktop->beginPass();
    showNextDueRow();
}

// The stored ids name bubbles of a notification service that is gone: another program's bubble
// may carry the same number now.
void NotificationInterface::releaseBubbleIds()
{
    Singleton<MsgNotifyInfoTable>::instance()->resetMsgNotifyInfoRecordsFieldReplaceId();
    for (MsgNotifyInfoRecord& row : m_displayingMsgNotifyInfos) {
        row.replace_id = 0;
    }
}

// Sends the next due row and returns to the event loop; its answer, once its rows are
// committed, sends the one after. The host's thread never waits for the notification service,
// and a bubble on screen always has its rows on disk before the next one is sent.
void NotificationInterface::showNextDueRow()
{
    while (!m_displayingMsgNotifyInfos.isEmpty()) {
        const MsgNotifyInfoRecord row = m_displayingMsgNotifyInfos.takeFirst();
        if (notDue(row)) {
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
    m_desktop->answered(result.id, row);
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
    m_desktop->endPass();
    m_passShows.clear();
    m_displaying = false;
    Singleton<MsgEventInfoTable>::instance()->deleteOverflowingMsgEventInfoRecords();
    if (std::exchange(m_displayEndsCycle, false)) {
        setRunning(false);
    }
}

QDBusPendingCall NotificationInterface::showMsgNotifyInfoRecord(const MsgNotifyInfoRecord& row)
{
    const QString icon = row.image_downloaded
                             ? Singleton<ImgDownloadManager>::instance()->localImagePath(row.imgUrl)
                             : QString();
    return m_desktop->show(row, icon);
}

void NotificationInterface::recordShown(const MsgNotifyInfoRecord& row, uint id)
{
    MsgNotifyInfoTable* messages = Singleton<MsgNotifyInfoTable>::instance();
    Config* config = Singleton<Config>::instance();
    // The first bubble of another service (one the call started, or one that took over during
    // the pass): the ids stored so far are not its numbers.
    const QString identity = m_desktop->identity();
    if (identity != config->notificationService()) {
        releaseBubbleIds();
        config->setNotificationService(identity);
    }
    if (id != row.replace_id) {
        messages->updateMsgNotifyInfoRecordFieldReplaceId(row.id, id);
        // The id is this row's now, for the rest of the pass too: an older row that held it
        // must not be sent to replace the bubble just shown.
        for (MsgNotifyInfoRecord& pending : m_displayingMsgNotifyInfos) {
            if (pending.replace_id == id) {
                pending.replace_id = 0;
            }
        }
    }
    messages->updateMsgNotifyInfoRecordFieldNotifyTimes(row.id);
    const int eventRow = Singleton<MsgEventInfoTable>::instance()->insertMsgEventInfoRecord(
        MsgEventInfo(row.id, QDateTime::currentSecsSinceEpoch(), EventKind::Shown));
    m_passShows.insert(id, {row.id, row.notify_times, row.replace_id, eventRow});
}

// The service dropped the bubble as the pass went on: as if it had not been sent, the message
// stays due with its count and no shown event.
void NotificationInterface::slotUnseen(uint id)
{
    if (!m_passShows.contains(id)) {
        return;
    }
    const Shown shown = m_passShows.take(id);
    MsgNotifyInfoTable* messages = Singleton<MsgNotifyInfoTable>::instance();
    messages->updateMsgNotifyInfoRecordFieldNotifyTimes(shown.messageId, shown.notifyTimes);
    messages->updateMsgNotifyInfoRecordFieldReplaceId(shown.messageId, shown.replaceId);
    Singleton<MsgEventInfoTable>::instance()->deleteMsgEventInfoRecordById(shown.eventRow);
}

void NotificationInterface::slotNotificationClosed(uint id, uint reason)
{
    if (reason != kClosedByCall || id == 0) {
        return;
    }
    const std::optional<MsgNotifyInfoRecord> row =
        Singleton<MsgNotifyInfoTable>::instance()->selectMsgNotifyInfoRecordByReplaceId(id);
    if (row && !row->msg_read) {
        readMessage(row->id);
    }
}

void NotificationInterface::slotClicked(int messageId)
{
    const std::optional<MsgNotifyInfoRecord> row =
        Singleton<MsgNotifyInfoTable>::instance()->selectMsgNotifyInfoRecordById(messageId);
    if (!row || !row->msg_read) {
        readMessage(messageId);
    }
}

void NotificationInterface::readMessage(int messageId)
{
    Singleton<MsgNotifyInfoTable>::instance()->updateMsgNotifyInfoRecordFieldMsgRead(messageId,
                                                                                     true);
    MsgEventInfoTable* events = Singleton<MsgEventInfoTable>::instance();
    events->insertMsgEventInfoRecord(
        MsgEventInfo(messageId, QDateTime::currentSecsSinceEpoch(), EventKind::Closed));
    events->deleteOverflowingMsgEventInfoRecords();
    // A read message is never shown again, not even later in the pass under way.
    m_displayingMsgNotifyInfos.removeIf(
        [messageId](const MsgNotifyInfoRecord& pending) { return pending.id == messageId; });
}

void NotificationInterface::slotAsyncDownloadImage()
{
    // Images wait for a link that is up and not paid by the byte; the bubbles go out without
    // them meanwhile.
    const ServerGate* gate = Singleton<MsgNotifyService>::instance()->gate();
    if (serverHeld("Images") || gate->metered()) {
        if (gate->metered()) {
            qCDebug(logMain) << "Images skipped: the connection is metered";
        }
        QMetaObject::invokeMethod(this, &NotificationInterface::finishCycle, Qt::QueuedConnection);
        return;
    }
    m_downloadingMsgNotifyInfos.clear();
    m_imageRows = Singleton<MsgNotifyInfoTable>::instance()->selectMsgNotifyInfoRecords(0, 0);
    m_waitingForImages = true;
    m_imageDeadline->start(m_imageDeadlineMs);
    // After a read of every row: the requests start in a turn of their own.
    QMetaObject::invokeMethod(this, &NotificationInterface::requestImages, Qt::QueuedConnection);
}

// Asks for the images a row at a time; results may come back between turns, and the deadline
// may end the step.
void NotificationInterface::requestImages()
{
    const auto requestOne = [this] {
        if (!m_waitingForImages || m_imageRows.isEmpty()) {
            return SlicedStep::Unit::Done;
        }
        ImgDownloadManager* images = Singleton<ImgDownloadManager>::instance();
        const MsgNotifyInfoRecord row = m_imageRows.takeFirst();
        // Only what this cycle shows: a message that will not be shown, or has no image to
        // fetch, does not hold the pass back.
        if (!notDue(row) && !images->localImagePath(row.imgUrl).isEmpty()) {
            // One download per URL: its verdict holds for every row that shares the image.
            if (!m_downloadingMsgNotifyInfos.contains(row.imgUrl)) {
                images->downloadImage(row.imgUrl);
            }
            m_downloadingMsgNotifyInfos.insert(row.imgUrl, row);
        }
        return m_imageRows.isEmpty() ? SlicedStep::Unit::Done : SlicedStep::Unit::More;
    };
    SlicedStep::run(this, requestOne, [this] {
        if (m_waitingForImages && m_downloadingMsgNotifyInfos.isEmpty()) {
            imagesDone();
        }
    });
}

void NotificationInterface::slotImgDownloadFinished(const QString& url, bool ret)
{
    // A result after the deadline (or of an earlier cycle) ends nothing: the file, if it came,
    // is found in the cache next time.
    const QList<MsgNotifyInfo> waiting = m_downloadingMsgNotifyInfos.values(url);
    if (!m_waitingForImages || waiting.isEmpty()) {
        return;
    }
    for (const MsgNotifyInfo& row : waiting) {
        if (ret) {
            Singleton<MsgNotifyInfoTable>::instance()
                ->updateMsgNotifyInfoRecordFieldImageDownloaded(row.id, true);
        }
    }
    m_downloadingMsgNotifyInfos.remove(url);
    if (m_downloadingMsgNotifyInfos.isEmpty() && m_imageRows.isEmpty()) {
        imagesDone();
    }
}

void NotificationInterface::imagesDone()
{
    m_imageDeadline->stop();
    m_waitingForImages = false;
    // The pass reads every unread row: not in the turn that handled the last image.
    QMetaObject::invokeMethod(this, &NotificationInterface::finishCycle, Qt::QueuedConnection);
}

// The image step took too long: the messages go out now, those still waiting without their
// image, which is asked for again next cycle.
void NotificationInterface::imagesDue()
{
    if (!m_waitingForImages) {
        return;
    }
    qCWarning(logMain).noquote() << u"Images not there after %1 ms: %2 shown without one"_s
                                        .arg(m_imageDeadlineMs)
                                        .arg(m_downloadingMsgNotifyInfos.size());
    m_waitingForImages = false;
    m_downloadingMsgNotifyInfos.clear();
    m_imageRows.clear();
    Singleton<ImgDownloadManager>::instance()->cancelQueued();
    finishCycle();
}

// The display pass always comes first: running turns false once its last bubble is answered.
void NotificationInterface::finishCycle()
{
    m_displayEndsCycle = true;
    slotSendMsgNotification();
}
