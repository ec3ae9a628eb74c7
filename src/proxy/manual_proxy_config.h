#pragma once

#include <QMetaType>
#include <QNetworkProxy>
#include <QObject>
#include <QVariant>

class GSettingsBinding;

enum class ManualProxyType {
    Http = 0,
    Https = 1,
    Ftp = 2,
    Socks = 3,
};

// One of the desktop's four manual proxy entries, kept as a QNetworkProxy that is valid when
// host and port are set and, with authentication on, user name and password too.
class ManualProxyConfig : public QObject
{
    Q_OBJECT

public:
    ManualProxyConfig(ManualProxyType type, QObject* parent = nullptr);

    bool isValid() const { return m_isValid; }
    bool useAuthentication() const { return m_useAuthentication; }
    // The entry's proxy, or a default QNetworkProxy when the entry is not valid.
    QNetworkProxy networkProxy() const;

    static QByteArray schemaId(ManualProxyType type);

Q_SIGNALS:
    // At most once per change of host, port, validity, authentication, user or password.
    void sigManualProxyConfigChanged(ManualProxyType proxyType);

public Q_SLOTS:
    void slotGSettingsValueChanged(const QString& key, const QVariant& value);

private:
    GSettingsBinding* m_settings = nullptr;
    ManualProxyType m_type;
    bool m_isValid = false;
    bool m_useAuthentication = false;
    QNetworkProxy m_proxy;
};

Q_DECLARE_METATYPE(ManualProxyType)
