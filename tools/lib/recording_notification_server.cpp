#include "recording_notification_server.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QThread>
#include <QTimer>

namespace {
const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
} // namespace

RecordingNotificationServer::RecordingNotificationServer()
    : m_thread(new QThread)
    , m_connectionName(QStringLiteral("fake-notifications-%1").arg(quintptr(this), 0, 16))
{
    m_thread->start();
    moveToThread(m_thread);
}

RecordingNotificationServer::~RecordingNotificationServer()
{
    stop();
    // Hand the object back to this thread before its thread goes.
    runOnOwnThread([this] { moveToThread(QCoreApplication::instance()->thread()); });
    m_thread->quit();
    m_thread->wait();
    delete m_thread;
}

void RecordingNotificationServer::runOnOwnThread(const std::function<void()>& work)
{
    if (QThread::currentThread() == m_thread) {
        work();
        return;
    }
    QMetaObject::invokeMethod(this, work, Qt::BlockingQueuedConnection);
}

bool RecordingNotificationServer::start()
{
    // Registered from its own thread: QtDBus gives the object a helper child for its signals.
    bool started = false;
    runOnOwnThread([this, &started] {
        QDBusConnection connection =
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, m_connectionName);
        started =
            connection.isConnected() &&
            connection.registerObject(
                kPath, this, QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals) &&
            connection.registerService(kService);
    });
    return started;
}

void RecordingNotificationServer::stop()
{
    runOnOwnThread([this] {
        QDBusConnection connection(m_connectionName);
        if (connection.isConnected()) {
            connection.unregisterService(kService);
            connection.unregisterObject(kPath);
        }
        QDBusConnection::disconnectFromBus(m_connectionName);
        QMutexLocker locker(&m_mutex);
        m_unanswered.clear();
        m_stacks.clear();
    });
}

void RecordingNotificationServer::setAnswers(const QList<Mode>& next, Mode then)
{
    QMutexLocker locker(&m_mutex);
    m_next = next;
    m_then = then;
}

void RecordingNotificationServer::setNextId(uint id)
{
    QMutexLocker locker(&m_mutex);
    m_nextId = id;
}

void RecordingNotificationServer::setAnswerDelay(int ms)
{
    QMutexLocker locker(&m_mutex);
    m_answerDelayMs = ms;
}

void RecordingNotificationServer::setObserver(std::function<void(uint, const Call&)> observer)
{
    QMutexLocker locker(&m_mutex);
    m_observer = std::move(observer);
}

QList<RecordingNotificationServer::Call> RecordingNotificationServer::calls() const
{
    QMutexLocker locker(&m_mutex);
    return m_calls;
}

qsizetype RecordingNotificationServer::callCount() const
{
    QMutexLocker locker(&m_mutex);
    return m_calls.size();
}

void RecordingNotificationServer::clearCalls()
{
    QMutexLocker locker(&m_mutex);
    m_calls.clear();
}

void RecordingNotificationServer::close(uint id, uint reason)
{
    runOnOwnThread([this, id, reason] {
        {
            QMutexLocker locker(&m_mutex);
            for (QList<uint>& stack : m_stacks) {
                stack.removeOne(id);
            }
        }
        Q_EMIT NotificationClosed(id, reason);
    });
}

void RecordingNotificationServer::click(uint id, const QString& token, const QString& action)
{
    runOnOwnThread([this, id, token, action] {
        QMutexLocker locker(&m_mutex);
        const QString sender = m_senders.value(id);
        QDBusConnection connection(m_connectionName);
        if (!token.isEmpty()) {
            connection.send(QDBusMessage::createTargetedSignal(sender, kPath, kService,
                                                               QStringLiteral("ActivationToken"))
                            << id << token);
        }
        connection.send(QDBusMessage::createTargetedSignal(sender, kPath, kService,
                                                           QStringLiteral("ActionInvoked"))
                        << id << action);
    });
}

void RecordingNotificationServer::setExtraCapabilities(const QStringList& capabilities)
{
    QMutexLocker locker(&m_mutex);
    m_extraCapabilities = capabilities;
}

void RecordingNotificationServer::setBubblesKept(int count)
{
    QMutexLocker locker(&m_mutex);
    m_bubblesKept = count;
}

uint RecordingNotificationServer::Notify(const QString& app_name, uint replaces_id,
                                         const QString& app_icon, const QString& summary,
                                         const QString& body, const QStringList& actions,
                                         const QVariantMap& hints, int expire_timeout)
{
    QMutexLocker locker(&m_mutex);
    m_calls.append(
        {app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout});
    switch (m_next.isEmpty() ? m_then : m_next.takeFirst()) {
    case Mode::Error:
        sendErrorReply(QStringLiteral("org.freedesktop.Notifications.Error.Refused"),
                       QStringLiteral("not today"));
        return 0;
    case Mode::NeverAnswer:
        setDelayedReply(true);
        m_unanswered.append(message());
        return 0;
    case Mode::Zero:
        return 0;
    case Mode::Normal:
        break;
    }
    const uint id = replaces_id != 0 ? replaces_id : m_nextId++;
    m_senders.insert(id, message().service());
    QList<uint>& stack = m_stacks[app_name];
    if (!stack.contains(id)) {
        stack.append(id);
    }
    while (m_bubblesKept > 0 && stack.size() > m_bubblesKept) {
        // Before the answer, as GNOME Shell sends it.
        Q_EMIT NotificationClosed(stack.takeFirst(), 1);
    }
    if (m_observer) {
        m_observer(id, m_calls.last());
    }
    if (m_answerDelayMs > 0) {
        setDelayedReply(true);
        QTimer::singleShot(m_answerDelayMs, this,
                           [connection = connection(), reply = message().createReply(id)] {
                               connection.send(reply);
                           });
    }
    return id;
}

void RecordingNotificationServer::CloseNotification(uint id)
{
    close(id, 3);
}

QStringList RecordingNotificationServer::GetCapabilities()
{
    QMutexLocker locker(&m_mutex);
    return QStringList{QStringLiteral("body"), QStringLiteral("actions")} + m_extraCapabilities;
}

QString RecordingNotificationServer::GetServerInformation(QString& vendor, QString& version,
                                                          QString& spec_version)
{
    vendor = QStringLiteral("quorin tests");
    version = QStringLiteral("1");
    spec_version = QStringLiteral("1.2");
    return QStringLiteral("fake-notifications");
}
