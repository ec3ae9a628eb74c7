#pragma once

#include <QDBusConnection>
#include <QDBusVirtualObject>
#include <QVariantMap>

// NetworkManager on a private system bus, as far as Qt's network information reads it: the
// manager's state and metering, each change announced with PropertiesChanged.
class FakeNetworkManager : public QDBusVirtualObject
{
    Q_OBJECT

public:
    // NMState: 70 connected to the internet, 50 local only, 20 disconnected. NMMetered: 1 yes,
    // 2 no.
    enum : uint { Online = 70, Local = 50, Disconnected = 20, Metered = 1, Unmetered = 2 };

    explicit FakeNetworkManager(const QString& busAddress);
    bool start();
    void set(uint state, uint metered);

    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

private:
    QDBusConnection m_connection;
    QVariantMap m_properties{{"State", uint(Online)}, {"Metered", uint(Unmetered)}};
};
