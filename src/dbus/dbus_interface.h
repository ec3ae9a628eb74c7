#pragma once

#include <QObject>
#include <QString>

// The service's face on the session bus: forwards QueryNotifications to the engine and republishes
// the engine's running state as PropertiesChanged.
class DBusInterface : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.quorin.MsgNotification")
    Q_PROPERTY(QString version READ version)
    Q_PROPERTY(bool running READ running)

public:
    explicit DBusInterface(const char* name = "", QObject* parent = nullptr);
    ~DBusInterface() override;

    // Plug-in mode (a connection name was given): registers the object on that connection only.
    // Stand-alone mode: owns the service name on the session bus, then registers the object.
    bool registerDBus();
    bool registerDBusObject(const QString& connectionName);
    // Takes the object off the bus, and the service name when this object owns it, at once.
    void unregisterDBus();

    QString version() const;
    bool running() const;

    // Sends PropertiesChanged for the named property on the connection the object is registered
    // on (the session bus before registration).
    void notifyPropertyChanged(const QString& propertyName);

public Q_SLOTS:
    Q_SCRIPTABLE void Instance();
    Q_SCRIPTABLE void QueryNotifications();

private:
    void initDBusPropertiesConnections();

    QString m_connectionName;
    bool m_registered = false;
    // Set only when this object requested the service name, so that releasing the object also
    // releases the name.
    QString m_ownedServiceConnection;
};
