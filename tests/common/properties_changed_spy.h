#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QVariantMap>

// Records what org.freedesktop.DBus.Properties.PropertiesChanged carried, as a client that
// matches on the service name (not on a unique name) sees it.
class PropertiesChangedSpy : public QObject
{
    Q_OBJECT

public:
    PropertiesChangedSpy(QDBusConnection connection, const QString& service, const QString& path)
    {
        m_connected = connection.connect(
            service, path, "org.freedesktop.DBus.Properties", "PropertiesChanged", this,
            SLOT(slotPropertiesChanged(QString, QVariantMap, QStringList)));
    }

    bool isValid() const { return m_connected; }
    // The changed properties of each signal, in order.
    const QList<QVariantMap>& changes() const { return m_changes; }

Q_SIGNALS:
    void received(const QVariantMap& changed);

private Q_SLOTS:
    void slotPropertiesChanged(const QString&, const QVariantMap& changed, const QStringList&)
    {
        m_changes.append(changed);
        Q_EMIT received(changed);
    }

private:
    bool m_connected = false;
    QList<QVariantMap> m_changes;
};
