#pragma once

#include "common/data.h"

#include <QDBusPendingCall>
#include <QList>
#include <QMap>
#include <QMultiMap>
#include <QObject>
#include <QString>
#include <QStringList>

#include <optional>

class QDBusPendingCallWatcher;

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
    static QDBusPendingCall startNotification(const QString& summary, const QString& appBody,
                                              const QString& appIcon, uint replaceId,
                                              const QStringList& paramList);
    static NotifyResult notificationResult(QDBusPendingCall& call);
    QDBusPendingCall showMsgNotifyInfoRecord(const MsgNotifyInfoRecord& row) const;
    void showNextDueRow();
    void displayAnswered(const MsgNotifyInfoRecord& row, QDBusPendingCallWatcher* call);
    void recordShown(const MsgNotifyInfoRecord& row, uint id);
    void endDisplayPass();
    void finishCycle();

    bool m_running = false;
    // Events of the upload in progress, keyed by their msg_event_info row id.
    QMap<int, MsgEventInfo> m_reportingMsgEventInfos;
    // Messages waiting for their image, keyed by image URL.
    QMultiMap<QString, MsgNotifyInfo> m_downloadingMsgNotifyInfos;
    // The display pass under way: the rows it has yet to visit, walked from the back.
    QList<MsgNotifyInfoRecord> m_displayingMsgNotifyInfos;
    bool m_displaying = false;
    // The pass under way ends a cycle: running turns false when it is over.
    bool m_displayEndsCycle = false;
};
