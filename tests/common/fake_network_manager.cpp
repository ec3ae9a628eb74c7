#include "fake_network_manager.h"

#include <QDBusMessage>
#include <QDBusVariant>

namespace {
const QString kService = QStringLiteral("org.freedesktop.NetworkManager");
const QString kPath = QStringLiteral("/org/freedesktop/NetworkManager");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
} // namespace

FakeNetworkManager::FakeNetworkManager(const QString& busAddress)
    : m_connection(QDBusConnection::connectToBus(busAddress, QStringLiteral("fake-nm")))
{
}

bool FakeNetworkManager::start()
{
    return m_connection.registerVirtualObject(kPath, this) &&
           m_connection.registerService(kService);
}

void FakeNetworkManager::set(uint state, uint metered)
{
    m_properties = {{"State", state}, {"Metered", metered}};
    m_connection.send(QDBusMessage::createSignal(kPath, kProperties, "PropertiesChanged")
                      << kService << m_properties << QStringList());
}

// Only Get and GetAll of org.freedesktop.DBus.Properties are asked here.
bool FakeNetworkManager::handleMessage(const QDBusMessage& message,
                                       const QDBusConnection& connection)
{
    const QString name = message.arguments().value(1).toString();
    if (message.member() == QLatin1String("GetAll")) {
        return connection.send(message.createReply(QVariant(m_properties)));
    }
    return message.member() == QLatin1String("Get") && m_properties.contains(name) &&
           connection.send(
               message.createReply(QVariant::fromValue(QDBusVariant(m_properties.value(name)))));
}
