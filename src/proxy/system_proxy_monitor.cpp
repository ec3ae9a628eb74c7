#include "proxy/system_proxy_monitor.h"

#include "platform/gsettings_binding.h"

#include <QNetworkProxyFactory>
#include <QUrl>

using namespace Qt::StringLiterals;

namespace {

const char* const kManagedVariables[] = {"SOCKS_SERVER", "all_proxy", "ftp_proxy", "http_proxy",
                                         "https_proxy",  "no_proxy",  "auto_proxy"};

void setVariable(const char* name, const QString& value)
{
    qputenv(name, value.toUtf8());
}

} // namespace

SystemProxyMonitor* SystemProxyMonitor::m_instance = nullptr;

SystemProxyMonitor* SystemProxyMonitor::instance()
{
    if (!m_instance) {
        m_instance = new SystemProxyMonitor(nullptr);
    }
    return m_instance;
}

SystemProxyMonitor::SystemProxyMonitor(QObject* parent)
    : QObject(parent)
    , m_settings(new GSettingsBinding("com.quorin.wrap.gnome.system.proxy", QByteArray(), this))
{
    QNetworkProxyFactory::setUseSystemConfiguration(true);
    for (ManualProxyType type : {ManualProxyType::Http, ManualProxyType::Https,
                                 ManualProxyType::Ftp, ManualProxyType::Socks}) {
        auto* config = new ManualProxyConfig(type, this);
        m_manualProxyConfigs.insert(type, config);
        connect(config, &ManualProxyConfig::sigManualProxyConfigChanged, this,
                &SystemProxyMonitor::slotManualProxyConfigChanged);
    }
    connect(m_settings, &GSettingsBinding::valueChanged, this,
            &SystemProxyMonitor::slotGSettingsValueChanged);
    for (const QString& key : {u"mode"_s, u"autoconfigUrl"_s, u"ignoreHosts"_s}) {
        slotGSettingsValueChanged(key, m_settings->value(key));
    }
    m_initialized = true;
}

QVariantMap SystemProxyMonitor::getEnvironment() const
{
    QVariantMap environment;
    for (const char* name : kManagedVariables) {
        environment.insert(QString::fromLatin1(name), QString::fromUtf8(qgetenv(name)));
    }
    return environment;
}

void SystemProxyMonitor::resetApplicationManualProxy()
{
    for (ManualProxyType type :
         {ManualProxyType::Https, ManualProxyType::Http, ManualProxyType::Socks}) {
        const ManualProxyConfig* config = m_manualProxyConfigs.value(type);
        if (config && config->isValid()) {
            QNetworkProxy::setApplicationProxy(config->networkProxy());
            return;
        }
    }
    QNetworkProxy::setApplicationProxy(
        QNetworkProxy(QNetworkProxy::DefaultProxy, QString(), 0, QString(), QString()));
}

QString SystemProxyMonitor::manualProxyUrl(ManualProxyType type, const ManualProxyConfig& config)
{
    if (!config.isValid()) {
        return QString();
    }
    const QNetworkProxy proxy = config.networkProxy();
    QString url = type == ManualProxyType::Socks ? u"socks5://"_s : u"http://"_s;
    if (config.useAuthentication()) {
        // Encoded as URL user information, so that "@", ":" or "/" in a password cannot be read
        // as part of the host.
        url += QString::fromLatin1(QUrl::toPercentEncoding(proxy.user())) + u':' +
               QString::fromLatin1(QUrl::toPercentEncoding(proxy.password())) + u'@';
    }
    // An IPv6 address goes in brackets, or its colons would be read as the port's.
    const QString host =
        proxy.hostName().contains(u':') ? u'[' + proxy.hostName() + u']' : proxy.hostName();
    return url + host + u':' + QString::number(proxy.port());
}

void SystemProxyMonitor::slotGSettingsValueChanged(const QString& key, const QVariant& value)
{
    if (key == "autoconfigUrl"_L1) {
        if (m_mode == "auto"_L1) {
            setVariable("auto_proxy", value.toString());
        } else {
            qunsetenv("auto_proxy");
        }
    } else if (key == "ignoreHosts"_L1) {
        if (m_mode == "manual"_L1) {
            setVariable("no_proxy", value.toStringList().join(u','));
        } else {
            qunsetenv("no_proxy");
        }
    } else if (key == "mode"_L1) {
        m_mode = value.toString();
        if (m_mode == "none"_L1) {
            for (const char* name : kManagedVariables) {
                qunsetenv(name);
            }
        } else if (m_mode == "auto"_L1) {
            for (const char* name : kManagedVariables) {
                if (qstrcmp(name, "auto_proxy") != 0) {
                    qunsetenv(name);
                }
            }
            setVariable("auto_proxy", m_settings->value(u"autoconfigUrl"_s).toString());
        } else if (m_mode == "manual"_L1) {
            qunsetenv("auto_proxy");
            // The hosts to bypass apply from the switch on, not only after their next change.
            setVariable("no_proxy", m_settings->value(u"ignoreHosts"_s).toStringList().join(u','));
            for (ManualProxyType type : {ManualProxyType::Http, ManualProxyType::Https,
                                         ManualProxyType::Ftp, ManualProxyType::Socks}) {
                slotManualProxyConfigChanged(type);
            }
        }
    } else {
        return;
    }
    if (m_initialized) {
        Q_EMIT sigEnvironmentChanged();
    }
}

void SystemProxyMonitor::slotManualProxyConfigChanged(ManualProxyType proxyType)
{
    if (m_mode != "manual"_L1) {
        return;
    }
    const ManualProxyConfig* config = m_manualProxyConfigs.value(proxyType);
    const QString url = config ? manualProxyUrl(proxyType, *config) : QString();
    auto apply = [&url](const char* name) {
        if (url.isEmpty()) {
            qunsetenv(name);
        } else {
            setVariable(name, url);
        }
    };
    switch (proxyType) {
    case ManualProxyType::Http:
        apply("http_proxy");
        break;
    case ManualProxyType::Https:
        apply("https_proxy");
        break;
    case ManualProxyType::Ftp:
        apply("ftp_proxy");
        break;
    case ManualProxyType::Socks:
        apply("SOCKS_SERVER");
        apply("all_proxy");
        break;
    }
    if (m_initialized) {
        Q_EMIT sigEnvironmentChanged();
    }
}
