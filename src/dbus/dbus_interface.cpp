#include "dbus/dbus_interface.h"

#include "common/config.h"
#include "common/singleton.h"
#include "notification/notification_interface.h"
#include "plugin/log_categories.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QMetaClassInfo>
#include <QVariantMap>

#include <malloc.h>
#include <utility>

using namespace Qt::StringLiterals;

namespace {
const QString kServiceName = u"com.quorin.MsgNotification"_s;
const QString kObjectPath = u"/com/quorin/MsgNotification"_s;
} // namespace

DBusInterface::DBusInterface(const char* name, QObject* parent)
    : QObject(parent)
    , m_connectionName(QString::fromUtf8(name).trimmed())
{
    initDBusPropertiesConnections();
}

DBusInterface::~DBusInterface()
{
    unregisterDBus();
}

void DBusInterface::unregisterDBus()
{
    if (m_registered) {
        QDBusConnection(m_connectionName).unregisterObject(kObjectPath);
        m_registered = false;
    }
    // The name goes with the object, so that a later registration (or another process) can take
    // it.
    if (!m_ownedServiceConnection.isEmpty()) {
        QDBusConnection connection(std::exchange(m_ownedServiceConnection, QString()));
        if (connection.isConnected()) {
            connection.unregisterService(kServiceName);
        }
    }
}

bool DBusInterface::registerDBus()
{
    if (!m_connectionName.isEmpty()) {
        return registerDBusObject(m_connectionName);
    }

    QDBusConnection connection = QDBusConnection::sessionBus();
    QDBusConnectionInterface* bus = connection.interface();
    // A host may own the name on this connection already; then the name stays the host's.
    const bool hostOwned =
        bus && bus->serviceOwner(kServiceName).value() == connection.baseService();
    // The object before the name: a caller that sees the name appear, or whose call started
    // this process, must find the object behind it.
    if (!registerDBusObject(connection.name())) {
        return false;
    }
    // Through the connection rather than the bus interface, so that QtDBus knows the name is
    // ours and delivers calls made to it from this process locally.
    if (!connection.registerService(kServiceName)) {
        QString failure = connection.lastError().message();
        if (failure.isEmpty() && bus) {
            // The bus answers a taken name with a plain reply, which leaves no error to quote.
            failure =
                u"%1 is owned by %2"_s.arg(kServiceName, bus->serviceOwner(kServiceName).value());
        }
        qCCritical(logMain).noquote() << "Register D-Bus service failed:" << failure;
        connection.unregisterObject(kObjectPath);
        m_connectionName.clear();
        m_registered = false;
        return false;
    }
    if (!hostOwned) {
        m_ownedServiceConnection = connection.name();
    }
    return true;
}

bool DBusInterface::registerDBusObject(const QString& connectionName)
{
    if (connectionName.isEmpty()) {
        return false;
    }
    QDBusConnection connection =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, connectionName);
    const bool registered =
        connection.registerObject(kObjectPath, this, QDBusConnection::ExportScriptableContents);
    if (!registered) {
        // registerObject sets no error of its own; say which of its two causes it was.
        QString failure = connection.lastError().message();
        if (failure.isEmpty()) {
            failure = connection.isConnected()
                          ? u"%1 is already registered on connection %2"_s.arg(kObjectPath,
                                                                               connectionName)
                          : u"connection %1 is not connected"_s.arg(connectionName);
        }
        qCCritical(logMain).noquote() << "Register D-Bus object failed:" << failure;
        return false;
    }
    m_connectionName = connectionName;
    m_registered = true;
    return true;
}

QString DBusInterface::version() const
{
    return u"1.0.3.1"_s;
}

bool DBusInterface::running() const
{
    return Singleton<NotificationInterface>::instance()->property("running").toBool();
}

void DBusInterface::Instance()
{
    qCDebug(logMain) << "msg-notification started";
}

void DBusInterface::QueryNotifications()
{
    if (running()) {
        return;
    }
    // Switched off: nothing is sent, shown or recorded, and what is stored waits for the switch.
    if (!Singleton<Config>::instance()->enabled()) {
        qCInfo(logMain).noquote() << "Switched off by \"enabled\" in" << Config::configFilePath()
                                  << "- no cycle";
        return;
    }
    Singleton<NotificationInterface>::instance()->queueCycle();
}

void DBusInterface::initDBusPropertiesConnections()
{
    connect(Singleton<NotificationInterface>::instance(), &NotificationInterface::runningChanged,
            this, [this] { notifyPropertyChanged(u"running"_s); });
}

void DBusInterface::notifyPropertyChanged(const QString& propertyName)
{
    QDBusMessage signal = QDBusMessage::createSignal(
        kObjectPath, u"org.freedesktop.DBus.Properties"_s, u"PropertiesChanged"_s);

    const int infoIndex = metaObject()->indexOfClassInfo("D-Bus Interface");
    if (infoIndex < 0) {
        qCWarning(logMain) << "Class info 'D-Bus Interface' not found.";
        return;
    }
    const QString interfaceName = QString::fromUtf8(metaObject()->classInfo(infoIndex).value());

    const QVariant value = property(propertyName.toUtf8().constData());
    if (!value.isValid()) {
        qCWarning(logMain).noquote() << "Property" << propertyName << "is not valid.";
        return;
    }

    signal.setArguments({interfaceName, QVariantMap{{propertyName, value}}, QStringList()});
    // From the registered connection: in plug-in mode that is the one owning the service name,
    // and clients that match on the service name only see signals from its owner.
    QDBusConnection connection =
        m_registered ? QDBusConnection(m_connectionName) : QDBusConnection::sessionBus();
    connection.send(signal);
    malloc_trim(0);
}
