#pragma once

#include <QDBusConnection>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

// Records org.freedesktop.DBus.Properties.PropertiesChanged as a client that matches on the
// service name (not on a unique name) sees it.
class PropertiesChangedSpy : public QObject
{
    Q_OBJECT

public:
    struct Signal
    {
        QString interface;
        QVariantMap changed;
        QStringList invalidated;
    };

    PropertiesChangedSpy(QDBusConnection connection, const QString& service, const QString& path)
        : m_connection(connection)
    {
        m_connected =
            m_connection.connect(service, path, QStringLiteral("org.freedesktop.DBus.Properties"),
                                 QStringLiteral("PropertiesChanged"), this,
                                 SLOT(slotPropertiesChanged(QString, QVariantMap, QStringList)));
    }

    bool isValid() const { return m_connected; }
    const QList<Signal>& signalList() const { return m_signals; }
    qsizetype count() const { return m_signals.size(); }

Q_SIGNALS:
    // Emitted as each signal arrives.
    void received(const QVariantMap& changed);

private Q_SLOTS:
    void slotPropertiesChanged(const QString& interface, const QVariantMap& changed,
                               const QStringList& invalidated)
    {
        m_signals.append({interface, changed, invalidated});
        Q_EMIT received(changed);
    }

private:
    QDBusConnection m_connection;
    bool m_connected = false;
    QList<Signal> m_signals;
};
