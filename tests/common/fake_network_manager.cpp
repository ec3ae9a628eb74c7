#include "fake_network_manager.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>

namespace {
const QString kService = QStringLiteral("org.freedesktop.NetworkManager");
const QString kRoot = QStringLiteral("/org/freedesktop/NetworkManager");
const QString kConnection = kRoot + QStringLiteral("/ActiveConnection/1");
const QString kDevice = kRoot + QStringLiteral("/Devices/1");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");

QString signature(const QVariant& value)
{
    switch (value.typeId()) {
    case QMetaType::UInt:
        return QStringLiteral("u");
    case QMetaType::QString:
        return QStringLiteral("s");
    default:
        return value.canConvert<QDBusObjectPath>() ? QStringLiteral("o") : QStringLiteral("ao");
    }
}
} // namespace

FakeNetworkManager::FakeNetworkManager(const QString& busAddress)
    : m_connection(QDBusConnection::connectToBus(busAddress, QStringLiteral("fake-nm")))
{
    m_objects[kRoot] = {kService,
                        {{"State", uint(Online)},
                         {"Connectivity", 4u},
                         {"Metered", uint(Unmetered)},
                         {"PrimaryConnection", QVariant::fromValue(QDBusObjectPath(kConnection))},
                         {"PrimaryConnectionType", QStringLiteral("802-3-ethernet")}}};
    m_objects[kConnection] = {
        kService + QStringLiteral(".Connection.Active"),
        {{"Devices", QVariant::fromValue(QList<QDBusObjectPath>{QDBusObjectPath(kDevice)})}}};
    m_objects[kDevice] = {kService + QStringLiteral(".Device"),
                          {{"DeviceType", 1u}, {"Metered", uint(Unmetered)}}};
}

bool FakeNetworkManager::start()
{
    return m_connection.registerVirtualObject(kRoot, this, QDBusConnection::SubPath) &&
           m_connection.registerService(kService);
}

void FakeNetworkManager::set(uint state, uint metered)
{
    m_objects[kRoot].second["State"] = state;
    m_objects[kRoot].second["Metered"] = metered;
    m_objects[kDevice].second["Metered"] = metered;
    const QVariantMap changed{{"State", state}, {"Metered", metered}};
    m_connection.send(QDBusMessage::createSignal(kRoot, kProperties, "PropertiesChanged")
                      << kService << changed << QStringList());
    // Older clients listen to the manager's own signal.
    m_connection.send(QDBusMessage::createSignal(kRoot, kService, "PropertiesChanged") << changed);
}

QString FakeNetworkManager::introspect(const QString& path) const
{
    if (!m_objects.contains(path)) {
        return {};
    }
    const auto& [interface, properties] = m_objects[path];
    QString xml = QStringLiteral("<interface name=\"%1\">").arg(interface);
    for (auto it = properties.cbegin(); it != properties.cend(); ++it) {
        xml += QStringLiteral("<property name=\"%1\" type=\"%2\" access=\"read\"/>")
                   .arg(it.key(), signature(it.value()));
    }
    return xml + QStringLiteral("</interface>");
}

bool FakeNetworkManager::handleMessage(const QDBusMessage& message,
                                       const QDBusConnection& connection)
{
    const auto object = m_objects.constFind(message.path());
    if (object == m_objects.cend() || message.interface() != kProperties) {
        return false;
    }
    const QVariantMap& properties = object->second;
    if (message.member() == QLatin1String("GetAll")) {
        connection.send(message.createReply(QVariant(properties)));
        return true;
    }
    const QString name = message.arguments().value(1).toString();
    if (message.member() == QLatin1String("Get") && properties.contains(name)) {
        connection.send(
            message.createReply(QVariant::fromValue(QDBusVariant(properties.value(name)))));
        return true;
    }
    return false;
}
