#pragma once

#include "proxy/manual_proxy_config.h"

#include <QMap>
#include <QObject>
#include <QVariantMap>

class GSettingsBinding;

// Mirrors the desktop's proxy settings into the proxy environment variables of the process,
// which Qt's system proxy configuration (switched on here) and child processes read.
class SystemProxyMonitor : public QObject
{
    Q_OBJECT

public:
    // Created on the first call, on the calling thread; not synchronised.
    static SystemProxyMonitor* instance();

    explicit SystemProxyMonitor(QObject* parent = nullptr);

    // The seven managed variables with their current values ("" when unset).
    QVariantMap getEnvironment() const;
    // The first valid entry of HTTPS, HTTP and SOCKS becomes the application proxy.
    void resetApplicationManualProxy();

    // "http://" or "socks5://", the percent-encoded credentials when used, host and port;
    // empty for an invalid entry.
    static QString manualProxyUrl(ManualProxyType type, const ManualProxyConfig& config);

Q_SIGNALS:
    void sigEnvironmentChanged();

public Q_SLOTS:
    void slotGSettingsValueChanged(const QString& key, const QVariant& value);
    void slotManualProxyConfigChanged(ManualProxyType proxyType);

private:
    static SystemProxyMonitor* m_instance;

    GSettingsBinding* m_settings = nullptr;
    bool m_initialized = false;
    QString m_mode;
    QMap<ManualProxyType, ManualProxyConfig*> m_manualProxyConfigs;
};
