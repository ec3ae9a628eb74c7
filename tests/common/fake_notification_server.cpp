#include "fake_notification_server.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QThread>

namespace {
const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
} // namespace

FakeNotificationServer::FakeNotificationServer()
    : m_thread(new QThread)
    , m_connectionName(QStringLiteral("fake-notifications-%1").arg(quintptr(this), 0, 16))
{
    m_thread->start();
    moveToThread(m_thread);
}

FakeNotificationServer::~FakeNotificationServer()
{
    stop();
    QDBusConnection::disconnectFromBus(m_connectionName);
    // Hand the object back to this thread before its thread goes.
    runOnOwnThread([this] { moveToThread(QCoreApplication::instance()->thread()); });
    m_thread->quit();
    m_thread->wait();
    delete m_thread;
}

void FakeNotificationServer::runOnOwnThread(const std::function<void()>& work)
{
    if (QThread::currentThread() == m_thread) {
        work();
        return;
    }
    QMetaObject::invokeMethod(this, work, Qt::BlockingQueuedConnection);
}

bool FakeNotificationServer::start()
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

void FakeNotificationServer::stop()
{
    runOnOwnThread([this] {
        QDBusConnection connection(m_connectionName);
        if (connection.isConnected()) {
            connection.unregisterService(kService);
            connection.unregisterObject(kPath);
        }
    });
}

void FakeNotificationServer::setMode(Mode mode)
{
    QMutexLocker locker(&m_mutex);
    m_mode = mode;
}

QList<FakeNotificationServer::Call> FakeNotificationServer::calls() const
{
    QMutexLocker locker(&m_mutex);
    return m_calls;
}

qsizetype FakeNotificationServer::callCount() const
{
    QMutexLocker locker(&m_mutex);
    return m_calls.size();
}

void FakeNotificationServer::clearCalls()
{
    QMutexLocker locker(&m_mutex);
    m_calls.clear();
}

void FakeNotificationServer::close(uint id, uint reason)
{
    runOnOwnThread([this, id, reason] { Q_EMIT NotificationClosed(id, reason); });
}

uint FakeNotificationServer::Notify(const QString& app_name, uint replaces_id,
                                    const QString& app_icon, const QString& summary,
                                    const QString& body, const QStringList& actions,
                                    const QVariantMap& hints, int expire_timeout)
{
    QMutexLocker locker(&m_mutex);
    m_calls.append(
        {app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout});
    switch (m_mode) {
    case Mode::Error:
        sendErrorReply(QStringLiteral("org.freedesktop.Notifications.Error.Refused"),
                       QStringLiteral("not today"));
        return 0;
    case Mode::NeverAnswer:
        setDelayedReply(true);
        m_unanswered.append(message());
        return 0;
    case Mode::Normal:
        break;
    }
    return replaces_id != 0 ? replaces_id : m_nextId++;
}

void FakeNotificationServer::CloseNotification(uint id)
{
    Q_EMIT NotificationClosed(id, 3);
}

QStringList FakeNotificationServer::GetCapabilities()
{
    return {QStringLiteral("body"), QStringLiteral("actions")};
}

QString FakeNotificationServer::GetServerInformation(QString& vendor, QString& version,
                                                     QString& spec_version)
{
    vendor = QStringLiteral("quorin tests");
    version = QStringLiteral("1");
    spec_version = QStringLiteral("1.2");
    return QStringLiteral("fake-notifications");
}
