#pragma once

#include "common/data.h"
#include "notification/sliced_step.h"

#include <QDBusPendingCall>
#include <QHash>
#include <QList>
#include <QMap>
#include <QMultiMap>
#include <QObject>
#include <QString>
#include <QStringList>

#include <optional>

class DesktopNotifications;
class QDBusPendingCallWatcher;
class QTimer;

// The engine: runs the fetch, image and display cycle and keeps the running state that the D-Bus
// service publishes. One per process, through Singleton<NotificationInterface>.
class NotificationInterface : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool running READ running NOTIFY runningChanged)

public:
    explicit NotificationInterface(QObject* parent = nullptr);

    bool running() const { return m_running; }
    void setRunning(bool value);

    // Queues an upload and a fetch cycle unless one is running or queued: `running` only turns
    // true when the fetch starts, and calls in between join the queued cycle.
    void queueCycle();
    // How long a cycle waits for its images before it shows its messages without them.
    void setImageDeadline(int ms) { m_imageDeadlineMs = ms; }

Q_SIGNALS:
    void runningChanged(bool running);

public Q_SLOTS:
    uint Notify(const QString& summary, const QString& appBody,
                const QString& appIcon = QStringLiteral("quorin-msg-notification"),
                uint replaceId = 0, const QStringList& paramList = {});
    void slotReportMsgEventInfos();
    void slotGetMsgNotifyInfos();

private Q_SLOTS:
    void slotGetMsgNotifyInfosFinished(const std::optional<MsgNotifyInfos>& msgNotifyInfos);
    void slotReportMsgNotifyInfoFinished(bool ret);
    void slotNotificationClosed(uint id, uint reason);
    void slotClicked(int messageId);
    void slotUnseen(uint id);
    void slotAsyncDownloadImage();
    void slotImgDownloadFinished(const QString& url, bool ret);
    void slotSendMsgNotification();

private:
    struct NotifyResult
    {
        uint id = 0;
        // No service answered at all (none on the bus, or no reply in time), as opposed to one
        // that refused this notification.
        bool unreachable = false;
    };

    void initConnections();
    void initDBusConnections();
    static NotifyResult notificationResult(QDBusPendingCall& call);
    // Nothing may go to the message server now; logs why `step` is skipped.
    bool serverHeld(const char* step) const;
    void saveServerBackoff();
    void storeFetchedPages();
    SlicedStep::Unit storeFetchedMessage();
    void endFetch();
    void pruneStore();
    void removeStaleImages();
    void readReportBatch();
    void applyReportVerdict();
    void requestImages();
    void imagesDone();
    void imagesDue();
    void releaseBubbleIds();
    void startDisplayWalk();
    // Marks the message read and records its closed event; a message no longer stored has only
    // its event recorded.
    void readMessage(int messageId);
    QDBusPendingCall showMsgNotifyInfoRecord(const MsgNotifyInfoRecord& row);
    void showNextDueRow();
    void displayAnswered(const MsgNotifyInfoRecord& row, QDBusPendingCallWatcher* call);
    void recordShown(const MsgNotifyInfoRecord& row, uint id);
    void endDisplayPass();
    void finishCycle();

    bool m_running = false;
    bool m_cycleQueued = false;
    // Events of the upload in progress, keyed by their msg_event_info row id; the rows the
    // verdict has not reached yet while it is being applied.
    QMap<int, MsgEventInfo> m_reportingMsgEventInfos;
    std::optional<bool> m_reportVerdict;
    bool m_readingReport = false;
    // Pages of the fetch under way that are not stored yet, in page order, and how many
    // messages of the first are.
    QList<std::optional<MsgNotifyInfos>> m_fetchedPages;
    qsizetype m_storedOfFirstPage = 0;
    // The stamp of the fetch's first page: the moment its listing began.
    std::optional<qint64> m_fetchStamp;
    // Cached images of messages no longer stored, still to be removed.
    QStringList m_staleImages;
    // Messages waiting for their image, keyed by image URL.
    QMultiMap<QString, MsgNotifyInfo> m_downloadingMsgNotifyInfos;
    // Rows whose image is still to be asked for.
    QList<MsgNotifyInfoRecord> m_imageRows;
    bool m_waitingForImages = false;
    QTimer* m_imageDeadline = nullptr;
    int m_imageDeadlineMs = 60000;
    // The display pass under way: the rows it has yet to visit, oldest first.
    QList<MsgNotifyInfoRecord> m_displayingMsgNotifyInfos;
    bool m_displaying = false;
    // The pass under way ends a cycle: running turns false when it is over.
    bool m_displayEndsCycle = false;
    // What a show of the pass under way changed, to be taken back when its bubble was never
    // seen; keyed by bubble id.
    struct Shown
    {
        int messageId = 0;
        uint notifyTimes = 0;
        uint replaceId = 0;
        int eventRow = -1;
    };
    QHash<uint, Shown> m_passShows;
    DesktopNotifications* m_desktop = nullptr;
};
