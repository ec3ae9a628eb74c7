#include "notification/desktop_notifications.h"

#include "common/config.h"
#include "common/singleton.h"
#include "notification/notification_settings.h"
#include "platform/notification_sender.h"
#include "platform/uri_launcher.h"
#include "plugin/log_categories.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDateTime>

#include <utility>

using namespace Qt::StringLiterals;

namespace {

constexpr uint kExpired = 1;
constexpr uint kClosedByCall = 3;

const QString kBusService = u"org.freedesktop.DBus"_s;
const QString kBusPath = u"/org/freedesktop/DBus"_s;
const QString kNotifications = u"org.freedesktop.Notifications"_s;
const QString kNotificationsPath = u"/org/freedesktop/Notifications"_s;
const QString kActionHint = u"x-quorin-action-default"_s;

QDBusPendingCall callBus(const QString& method, const QVariantList& arguments = {})
{
    QDBusMessage message =
        QDBusMessage::createMethodCall(kBusService, kBusPath, kBusService, method);
    message.setArguments(arguments);
    return QDBusConnection::sessionBus().asyncCall(message);
}

// The store's text, shown as it is by a service that reads the body as markup: no tag of the
// server's reaches it.
QString plainBody(const QString& text)
{
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar c : text) {
        switch (c.unicode()) {
        case u'&':
            escaped += "&amp;"_L1;
            break;
        case u'<':
            escaped += "&lt;"_L1;
            break;
        case u'>':
            escaped += "&gt;"_L1;
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

} // namespace

DesktopNotifications::DesktopNotifications(QObject* parent)
    : QObject(parent)
    , m_launcher(new UriLauncher(this))
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    // Some services send these to the connection that showed the bubble only, others to all;
    // QtDBus lets through only those of the name's current owner.
    bus.connect(kNotifications, kNotificationsPath, kNotifications, u"NotificationClosed"_s, this,
                SLOT(slotNotificationClosed(quint32, quint32)));
    bus.connect(kNotifications, kNotificationsPath, kNotifications, u"ActionInvoked"_s, this,
                SLOT(slotActionInvoked(quint32, QString)));
    bus.connect(kNotifications, kNotificationsPath, kNotifications, u"ActivationToken"_s, this,
                SLOT(slotActivationToken(quint32, QString)));
    // Bubble ids are numbers of one notification service: follow who owns the name. The bus
    // announces a new owner before that owner's first answer or signal reaches us.
    auto* owners = new QDBusServiceWatcher(kNotifications, bus,
                                           QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(owners, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& owner) { ownerChanged(owner); });
    const auto answered = [this](QDBusPendingCallWatcher* call, QString* value) {
        call->deleteLater();
        const QDBusMessage reply = call->reply();
        if (reply.type() == QDBusMessage::ReplyMessage) {
            *value = reply.arguments().value(0).toString();
        }
        if (--m_identityQueries == 0) {
            if (m_busId.isEmpty()) {
                // Matches no stored identity, so that no stored id is trusted.
                m_busId = u"unknown-%1"_s.arg(QDateTime::currentMSecsSinceEpoch());
            }
            whenReady({});
        }
    };
    m_identityQueries = 2;
    connect(new QDBusPendingCallWatcher(callBus(u"GetId"_s), this),
            &QDBusPendingCallWatcher::finished, this,
            [this, answered](QDBusPendingCallWatcher* call) { answered(call, &m_busId); });
    connect(new QDBusPendingCallWatcher(callBus(u"GetNameOwner"_s, {kNotifications}), this),
            &QDBusPendingCallWatcher::finished, this,
            [this, answered](QDBusPendingCallWatcher* call) { answered(call, &m_owner); });
}

QDBusPendingCall DesktopNotifications::send(const QString& summary, const QString& appBody,
                                            const QString& appIcon, uint replaceId,
                                            const QStringList& paramList,
                                            const QString& actionLabel)
{
    const QStringList actions{u"default"_s, actionLabel};
    // The desktop entry gives the bubbles a name, an icon and the desktop's settings for them.
    const QVariantMap hints{{kActionHint, paramList.join(u',')},
                            {u"desktop-entry"_s, NotificationSettings::desktopEntry()}};
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

QDBusPendingCall DesktopNotifications::show(const MsgNotifyInfoRecord& row, const QString& icon)
{
    ++m_showing;
    // Services draw a labelled default action as a button, and some take a click on the bubble
    // for a dismissal: the button is there only where a click does what it says.
    //: The button of a notification whose click opens the message's web link
    const bool opens = ClickEffect::of(row, clickRule()).kind() == ClickEffect::Kind::Opens;
    const QString label = opens ? tr("Open") : QString();
    return send(row.title, m_bodyMarkup ? plainBody(row.content) : row.content, icon,
                row.replace_id, row.actionCommand(), label);
}

void DesktopNotifications::ownerChanged(const QString& owner)
{
    m_owner = owner;
    m_live.clear();
    m_passBubbles.clear();
    m_bubblesKept.reset();
    m_capabilitiesOwner.clear();
    if (!m_waiting.isEmpty()) {
        whenReady({});
    }
}

QString DesktopNotifications::identity() const
{
    return m_owner.isEmpty() ? QString() : m_busId + u' ' + m_owner;
}

// Without a service on the bus there is nothing to ask; `next` runs at once.
void DesktopNotifications::whenReady(const std::function<void()>& next)
{
    if (next) {
        m_waiting.append(next);
    }
    if (m_identityQueries > 0 || m_askingCapabilities) {
        return;
    }
    if (m_capabilitiesOwner != m_owner && !m_owner.isEmpty()) {
        askCapabilities();
        return;
    }
    for (const auto& waiting : std::exchange(m_waiting, {})) {
        waiting();
    }
}

void DesktopNotifications::askCapabilities()
{
    m_askingCapabilities = true;
    const QString owner = m_owner;
    auto* watcher = new QDBusPendingCallWatcher(
        QDBusConnection::sessionBus().asyncCall(QDBusMessage::createMethodCall(
            owner, kNotificationsPath, kNotifications, u"GetCapabilities"_s)),
        this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, owner](QDBusPendingCallWatcher* call) {
                call->deleteLater();
                m_askingCapabilities = false;
                const QDBusMessage reply = call->reply();
                const QStringList capabilities = reply.type() == QDBusMessage::ReplyMessage
                                                     ? reply.arguments().value(0).toStringList()
                                                     : QStringList();
                // A service that cannot say leaves the click to us and reads no markup.
                if (owner == m_owner) {
                    m_runsHint = capabilities.contains(kActionHint);
                    m_bodyMarkup = capabilities.contains("body-markup"_L1);
                    m_capabilitiesOwner = owner;
                }
                whenReady({});
            });
}

void DesktopNotifications::beginPass()
{
    m_inPass = true;
    m_passBubbles.clear();
}

void DesktopNotifications::answered(uint id, const MsgNotifyInfoRecord& row)
{
    m_showing = qMax(0, m_showing - 1);
    if (id == 0) {
        return;
    }
    m_live.insert(id, {row.id, row.linkType, row.linkInfo, {}});
    if (m_inPass) {
        m_passBubbles.insert(id);
    }
}

void DesktopNotifications::endPass()
{
    m_inPass = false;
    m_passBubbles.clear();
}

void DesktopNotifications::slotNotificationClosed(uint id, uint reason)
{
    // Whatever the reason, a click on this bubble can no longer come.
    m_live.remove(id);
    // A service that keeps only its last few bubbles of a program expires the oldest as a new
    // one comes, before it answers the new one: what stays, with the one on its way, is what it
    // keeps.
    if (m_passBubbles.remove(id) && reason == kExpired) {
        m_bubblesKept = qMax(1, int(m_live.size()) + m_showing);
        qCDebug(logMain) << "Bubble" << id << "expired before it was seen; the service keeps"
                         << *m_bubblesKept;
        Q_EMIT sigUnseen(id);
    }
    if (reason != kClosedByCall) {
        return;
    }
    whenReady([this, id, reason] {
        // An id counts only from the service that gave it; another one's bubble may carry the
        // same number.
        if (identity() == Singleton<Config>::instance()->notificationService()) {
            Q_EMIT sigNotificationClosed(id, reason);
        }
    });
}

void DesktopNotifications::slotActivationToken(uint id, const QString& token)
{
    const auto bubble = m_live.find(id);
    if (bubble != m_live.end()) {
        bubble->token = token;
    }
}

// The user clicked the bubble: the message has done its work, and its link opens once.
void DesktopNotifications::slotActionInvoked(uint id, const QString& actionKey)
{
    const auto found = m_live.find(id);
    if (found == m_live.end()) {
        return;
    }
    const QString token = std::exchange(found->token, {});
    if (actionKey != "default"_L1) {
        return;
    }
    const LiveBubble bubble = *found;
    m_live.erase(found);
    m_passBubbles.remove(id);
    Q_EMIT sigClicked(bubble.messageId);
    MsgNotifyInfo row;
    row.linkType = bubble.linkType;
    row.linkInfo = bubble.linkInfo;
    whenReady([this, id = bubble.messageId, row, token] { openLink(id, row, token); });
}

ClickRule DesktopNotifications::clickRule() const
{
    ClickRule rule;
    rule.serviceRunsHint = m_runsHint;
    rule.openLinks = Singleton<Config>::instance()->openLinks();
    return rule;
}

// Only a web link is opened, and only in the default browser, whatever the message says.
void DesktopNotifications::openLink(int messageId, const MsgNotifyInfo& row, const QString& token)
{
    const ClickEffect effect = ClickEffect::of(row, clickRule());
    qCDebug(logMain).noquote() << u"Click on message %1: %2"_s.arg(messageId).arg(effect.text());
    if (effect.kind() == ClickEffect::Kind::Opens) {
        m_launcher->launch(effect.link(), token);
    }
}
