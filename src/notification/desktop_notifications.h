#pragma once

#include "common/click_effect.h"
#include "common/data.h"

#include <QDBusPendingCall>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class QDBusPendingCallWatcher;
class UriLauncher;

// The desktop's side of the bubbles: which notification service owns the name and what it can
// do, which of our bubbles are on screen, and what a click or an expiry on one of them means. The
// engine asks it to show a row and records what it reports.
class DesktopNotifications : public QObject
{
    Q_OBJECT

public:
    explicit DesktopNotifications(QObject* parent = nullptr);

    // One Notify call; `actionLabel` is the default action's label (a button on some services).
    static QDBusPendingCall send(const QString& summary, const QString& appBody,
                                 const QString& appIcon, uint replaceId,
                                 const QStringList& paramList, const QString& actionLabel);
    // Shows a stored row as the service on the bus wants it: a body it will not read as markup,
    // and a labelled action only where a click opens the message's link.
    QDBusPendingCall show(const MsgNotifyInfoRecord& row, const QString& icon);
    // The answer to show(): the bubble's id, 0 when nothing was shown.
    void answered(uint id, const MsgNotifyInfoRecord& row);

    // Runs `next` once the bus's id, the service's owner and its capabilities are known.
    void whenReady(const std::function<void()>& next);
    // "<bus id> <unique name>" of the notification service on the bus; empty when there is none.
    QString identity() const;
    // How many bubbles of one program the service keeps, as seen from an expiry; none when not
    // seen.
    std::optional<int> bubblesKept() const { return m_bubblesKept; }

    // A pass is under way: an expiry of a bubble it showed means the bubble was never seen. The
    // services that keep few bubbles expire the oldest before they answer the newest, so the
    // last answer ends the pass.
    void beginPass();
    void endPass();

Q_SIGNALS:
    // The service that gave the stored ids closed bubble `id`.
    void sigNotificationClosed(uint id, uint reason);
    // The service expired a bubble of the pass under way before the pass ended.
    void sigUnseen(uint id);
    // The user clicked a live bubble showing message `messageId` (its link opens, once); the row
    // may be gone by now.
    void sigClicked(int messageId);

private Q_SLOTS:
    void slotNotificationClosed(uint id, uint reason);
    void slotActionInvoked(uint id, const QString& actionKey);
    void slotActivationToken(uint id, const QString& token);

private:
    // What a click on a bubble needs, kept while it lives: the row may be pruned meanwhile.
    struct LiveBubble
    {
        int messageId = 0;
        int linkType = 0;
        QString linkInfo;
        QString token;
    };

    void ownerChanged(const QString& owner);
    void askCapabilities();
    // What a click on a bubble does under the current owner and switch.
    ClickRule clickRule() const;
    void openLink(int messageId, const MsgNotifyInfo& row, const QString& token);

    QString m_busId;
    QString m_owner;
    int m_identityQueries = 0;
    // The owner whose capabilities are known; empty while none is.
    QString m_capabilitiesOwner;
    bool m_askingCapabilities = false;
    bool m_runsHint = false;
    bool m_bodyMarkup = false;
    QList<std::function<void()>> m_waiting;
    // Our bubbles on screen under the current owner, neither closed nor clicked yet.
    QHash<uint, LiveBubble> m_live;
    // Bubbles of the pass under way.
    QSet<uint> m_passBubbles;
    bool m_inPass = false;
    // Notify calls sent and not answered yet.
    int m_showing = 0;
    std::optional<int> m_bubblesKept;
    UriLauncher* m_launcher = nullptr;
};
