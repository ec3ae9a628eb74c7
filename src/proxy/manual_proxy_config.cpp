#include "proxy/manual_proxy_config.h"

#include "platform/gsettings_binding.h"

using namespace Qt::StringLiterals;

namespace {

QNetworkProxy::ProxyType proxyType(ManualProxyType type)
{
    switch (type) {
    case ManualProxyType::Ftp:
        return QNetworkProxy::FtpCachingProxy;
    case ManualProxyType::Socks:
        return QNetworkProxy::Socks5Proxy;
    case ManualProxyType::Http:
    case ManualProxyType::Https:
        break;
    }
    return QNetworkProxy::HttpProxy;
}

} // namespace

QByteArray ManualProxyConfig::schemaId(ManualProxyType type)
{
    switch (type) {
    case ManualProxyType::Https:
        return QByteArrayLiteral("com.quorin.wrap.gnome.system.proxy.https");
    case ManualProxyType::Ftp:
        return QByteArrayLiteral("com.quorin.wrap.gnome.system.proxy.ftp");
    case ManualProxyType::Socks:
        return QByteArrayLiteral("com.quorin.wrap.gnome.system.proxy.socks");
    case ManualProxyType::Http:
        break;
    }
    return QByteArrayLiteral("com.quorin.wrap.gnome.system.proxy.http");
}

ManualProxyConfig::ManualProxyConfig(ManualProxyType type, QObject* parent)
    : QObject(parent)
    , m_type(type)
{
    m_settings = new GSettingsBinding(schemaId(type), QByteArray(), this);
    m_proxy.setType(proxyType(type));
    connect(m_settings, &GSettingsBinding::valueChanged, this,
            &ManualProxyConfig::slotGSettingsValueChanged);
    for (const QString& key : {u"host"_s, u"port"_s, u"useAuthentication"_s,
                               u"authenticationUser"_s, u"authenticationPassword"_s}) {
        slotGSettingsValueChanged(key, m_settings->value(key));
    }
}

QNetworkProxy ManualProxyConfig::networkProxy() const
{
    return m_isValid ? m_proxy : QNetworkProxy();
}

void ManualProxyConfig::slotGSettingsValueChanged(const QString& key, const QVariant& value)
{
    if (!m_settings->keys().contains(key)) {
        return;
    }
    bool changed = false;
    if (key == "host"_L1) {
        const QString host = value.toString();
        if (host != m_proxy.hostName()) {
            m_proxy.setHostName(host);
            changed = true;
        }
    }
    if (key == "port"_L1) {
        const quint16 port = quint16(value.toUInt() & 0xffff);
        if (port != m_proxy.port()) {
            m_proxy.setPort(port);
            changed = true;
        }
    }
    const bool addressSet = !m_proxy.hostName().isEmpty() && m_proxy.port() != 0;
    if (addressSet != m_isValid) {
        m_isValid = addressSet;
        changed = true;
    }
    if (key == "useAuthentication"_L1) {
        const bool use = m_settings->value(u"useAuthentication"_s).toBool();
        if (use != m_useAuthentication) {
            m_useAuthentication = use;
            changed = true;
            if (use) {
                // Stored credentials count at once, not only after their next change.
                m_proxy.setUser(m_settings->value(u"authenticationUser"_s).toString());
                m_proxy.setPassword(m_settings->value(u"authenticationPassword"_s).toString());
            }
        }
    }
    if (!m_useAuthentication) {
        m_proxy.setUser(QString());
        m_proxy.setPassword(QString());
        if (changed) {
            Q_EMIT sigManualProxyConfigChanged(m_type);
        }
        return;
    }
    if (key == "authenticationUser"_L1) {
        const QString user = value.toString();
        if (user != m_proxy.user()) {
            m_proxy.setUser(user);
            changed = true;
        }
    }
    if (key == "authenticationPassword"_L1) {
        const QString password = value.toString();
        if (password != m_proxy.password()) {
            m_proxy.setPassword(password);
            changed = true;
        }
    }
    if (m_isValid) {
        const bool credentialsSet = !m_proxy.user().isEmpty() && !m_proxy.password().isEmpty();
        if (credentialsSet != m_isValid) {
            m_isValid = credentialsSet;
            Q_EMIT sigManualProxyConfigChanged(m_type);
            return;
        }
    }
    if (changed) {
        Q_EMIT sigManualProxyConfigChanged(m_type);
    }
}
