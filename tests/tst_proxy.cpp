#include "platform/gsettings_binding.h"
#include "proxy/manual_proxy_config.h"
#include "proxy/system_proxy_monitor.h"
#include "test_environment.h"

#include <QSignalSpy>
#include <QUrl>

#include <gio/gio.h>

namespace {
const char kMain[] = "com.quorin.wrap.gnome.system.proxy";

// Writes a key through GIO, as the desktop's settings panel would.
void setKey(const QByteArray& schema, const char* key, GVariant* value)
{
    GSettings* settings = g_settings_new(schema.constData());
    g_settings_set_value(settings, key, value);
    g_settings_sync();
    g_object_unref(settings);
}
void setString(const QByteArray& schema, const char* key, const char* value)
{
    setKey(schema, key, g_variant_new_string(value));
}
void setInt(const QByteArray& schema, const char* key, int value)
{
    setKey(schema, key, g_variant_new_int32(value));
}
void setBool(const QByteArray& schema, const char* key, bool value)
{
    setKey(schema, key, g_variant_new_boolean(value));
}
void setHosts(const QStringList& hosts)
{
    QList<QByteArray> utf8;
    QList<const char*> pointers;
    for (const QString& host : hosts) {
        utf8.append(host.toUtf8());
    }
    for (const QByteArray& host : utf8) {
        pointers.append(host.constData());
    }
    setKey(kMain, "ignore-hosts", g_variant_new_strv(pointers.data(), pointers.size()));
}
void resetAll()
{
    const QList<QByteArray> schemas = {kMain, ManualProxyConfig::schemaId(ManualProxyType::Http),
                                       ManualProxyConfig::schemaId(ManualProxyType::Https),
                                       ManualProxyConfig::schemaId(ManualProxyType::Ftp),
                                       ManualProxyConfig::schemaId(ManualProxyType::Socks)};
    for (const QByteArray& schema : schemas) {
        GSettings* settings = g_settings_new(schema.constData());
        GSettingsSchema* source = nullptr;
        g_object_get(settings, "settings-schema", &source, nullptr);
        gchar** keys = g_settings_schema_list_keys(source);
        for (gchar** key = keys; *key; ++key) {
            g_settings_reset(settings, *key);
        }
        g_strfreev(keys);
        g_settings_schema_unref(source);
        g_object_unref(settings);
    }
}
// Lets GIO deliver what it queued for the main context.
void settle()
{
    while (g_main_context_iteration(nullptr, false)) {
    }
}
QByteArray http()
{
    return ManualProxyConfig::schemaId(ManualProxyType::Http);
}
} // namespace

class TestProxy : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void entryValidity_data();
    void entryValidity();
    void entrySignals();
    void variablesByMode_data();
    void variablesByMode();
    void modeSwitchSignals();

private:
    QTemporaryDir m_schemas;
};

void TestProxy::initTestCase()
{
    QProcess compile;
    compile.start("glib-compile-schemas",
                  {"--targetdir=" + m_schemas.path(), QStringLiteral(QMN_SCHEMA_SOURCE_DIR)});
    QVERIFY(compile.waitForFinished());
    QCOMPARE(compile.exitCode(), 0);
    // Before anything asks GIO for a schema: keys live in memory, schemas come from our folder.
    qputenv("GSETTINGS_BACKEND", "memory");
    qputenv("GSETTINGS_SCHEMA_DIR", m_schemas.path().toUtf8());
}

void TestProxy::init()
{
    resetAll();
    settle();
}

void TestProxy::entryValidity_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("auth");
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("proxyType");

    const int http = int(ManualProxyType::Http);
    QTest::newRow("port 0") << http << "h" << 0 << false << ""
                            << "" << false << 0;
    QTest::newRow("port 65536 is 0") << http << "h" << 65536 << false << ""
                                     << "" << false << 0;
    QTest::newRow("no host") << http << "" << 3128 << false << ""
                             << "" << false << 0;
    QTest::newRow("http") << http << "h" << 3128 << false << "u"
                          << "p" << true << int(QNetworkProxy::HttpProxy);
    QTest::newRow("https") << int(ManualProxyType::Https) << "h" << 3128 << false << ""
                           << "" << true << int(QNetworkProxy::HttpProxy);
    QTest::newRow("ftp") << int(ManualProxyType::Ftp) << "h" << 3128 << false << ""
                         << "" << true << int(QNetworkProxy::FtpCachingProxy);
    QTest::newRow("socks") << int(ManualProxyType::Socks) << "h" << 3128 << false << ""
                           << "" << true << int(QNetworkProxy::Socks5Proxy);
    QTest::newRow("auth without password") << http << "h" << 3128 << true << "u"
                                           << "" << false << 0;
    QTest::newRow("auth with both") << http << "h" << 3128 << true << "u"
                                    << "p" << true << int(QNetworkProxy::HttpProxy);
}

void TestProxy::entryValidity()
{
    QFETCH(int, type);
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(bool, auth);
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(bool, valid);

    const QByteArray schema = ManualProxyConfig::schemaId(ManualProxyType(type));
    setString(schema, "host", host.toUtf8().constData());
    setInt(schema, "port", port);
    setBool(schema, "use-authentication", auth);
    setString(schema, "authentication-user", user.toUtf8().constData());
    setString(schema, "authentication-password", password.toUtf8().constData());

    const ManualProxyConfig entry{ManualProxyType(type)};
    QCOMPARE(entry.isValid(), valid);
    const QNetworkProxy proxy = entry.networkProxy();
    if (!valid) {
        QCOMPARE(proxy.type(), QNetworkProxy::DefaultProxy);
        QVERIFY(proxy.hostName().isEmpty());
        return;
    }
    QTEST(int(proxy.type()), "proxyType");
    QCOMPARE(proxy.hostName(), host);
    QCOMPARE(int(proxy.port()), port);
    // Credentials count only with authentication on.
    QCOMPARE(proxy.user(), auth ? user : QString());
    QCOMPARE(proxy.password(), auth ? password : QString());
}

void TestProxy::entrySignals()
{
    setInt(http(), "port", 0);
    ManualProxyConfig entry(ManualProxyType::Http);
    QSignalSpy spy(&entry, &ManualProxyConfig::sigManualProxyConfigChanged);

    const auto step = [&](const std::function<void()>& change, int expected, bool valid) {
        change();
        settle();
        return spy.size() == expected && entry.isValid() == valid;
    };
    QVERIFY(step([] { setInt(http(), "port", 3128); }, 1, false));
    QVERIFY(step([] { setString(http(), "host", "h"); }, 2, true));
    QVERIFY(step([] { setString(http(), "host", "h"); }, 2, true));
    QVERIFY(step([] { setBool(http(), "use-authentication", true); }, 3, false));
    QVERIFY(step([] { setString(http(), "authentication-user", "u"); }, 4, false));
    QVERIFY(step([] { setString(http(), "authentication-password", "p"); }, 5, true));
    QCOMPARE(spy.last().first().value<ManualProxyType>(), ManualProxyType::Http);
    entry.slotGSettingsValueChanged("colour", "red");
    QCOMPARE(spy.size(), 5);

    // Authentication off hides the credentials; on again, the stored ones count at once.
    QVERIFY(step([] { setBool(http(), "use-authentication", false); }, 6, true));
    QVERIFY(entry.networkProxy().user().isEmpty());
    QVERIFY(step([] { setBool(http(), "use-authentication", true); }, 7, true));
    QCOMPARE(entry.networkProxy().user(), "u");
    QCOMPARE(entry.networkProxy().password(), "p");
}

void TestProxy::variablesByMode_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<int>("entry");
    QTest::addColumn<bool>("auth");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QVariantMap>("expected");

    const auto env = [](const QVariantMap& set) {
        QVariantMap all;
        for (const char* name : {"SOCKS_SERVER", "all_proxy", "ftp_proxy", "http_proxy",
                                 "https_proxy", "no_proxy", "auto_proxy"}) {
            all.insert(QString::fromLatin1(name), set.value(QString::fromLatin1(name), QString()));
        }
        return all;
    };
    const QString hosts = "localhost,127.0.0.1";
    QTest::newRow("none") << "none" << int(ManualProxyType::Http) << false << "h" << env({});
    QTest::newRow("auto") << "auto" << int(ManualProxyType::Http) << false << "h"
                          << env({{"auto_proxy", "http://wpad.test/proxy.pac"}});
    QTest::newRow("manual http") << "manual" << int(ManualProxyType::Http) << false << "h"
                                 << env({{"http_proxy", "http://h:8080"}, {"no_proxy", hosts}});
    QTest::newRow("manual http with plain credentials")
        << "manual" << int(ManualProxyType::Http) << true << "h"
        << env({{"http_proxy", "http://u:p@h:8080"}, {"no_proxy", hosts}});
    QTest::newRow("manual https keeps the http scheme")
        << "manual" << int(ManualProxyType::Https) << false << "h"
        << env({{"https_proxy", "http://h:8080"}, {"no_proxy", hosts}});
    QTest::newRow("manual ftp") << "manual" << int(ManualProxyType::Ftp) << false << "h"
                                << env({{"ftp_proxy", "http://h:8080"}, {"no_proxy", hosts}});
    QTest::newRow("manual socks sets the pair")
        << "manual" << int(ManualProxyType::Socks) << false << "h"
        << env({{"SOCKS_SERVER", "socks5://h:8080"},
                {"all_proxy", "socks5://h:8080"},
                {"no_proxy", hosts}});
    QTest::newRow("manual http on an IPv6 address")
        << "manual" << int(ManualProxyType::Http) << false << "::1"
        << env({{"http_proxy", "http://[::1]:8080"}, {"no_proxy", hosts}});
}

void TestProxy::variablesByMode()
{
    QFETCH(QString, mode);
    QFETCH(int, entry);
    QFETCH(bool, auth);
    QFETCH(QString, host);
    // Leftovers of the process are replaced or removed.
    qputenv("http_proxy", "http://stale:1");
    qputenv("auto_proxy", "http://stale/pac");

    const QByteArray schema = ManualProxyConfig::schemaId(ManualProxyType(entry));
    setString(schema, "host", host.toUtf8().constData());
    setInt(schema, "port", 8080);
    setBool(schema, "use-authentication", auth);
    setString(schema, "authentication-user", "u");
    setString(schema, "authentication-password", "p");
    setString(kMain, "autoconfig-url", "http://wpad.test/proxy.pac");
    setHosts({"localhost", "127.0.0.1"});
    setString(kMain, "mode", mode.toUtf8().constData());

    SystemProxyMonitor monitor;
    QTEST(monitor.getEnvironment(), "expected");
}

void TestProxy::modeSwitchSignals()
{
    setString(http(), "host", "h");
    setString(ManualProxyConfig::schemaId(ManualProxyType::Socks), "host", "s");
    setInt(ManualProxyConfig::schemaId(ManualProxyType::Socks), "port", 1080);
    setHosts({"a.test", "b.test"});
    SystemProxyMonitor monitor;
    QSignalSpy spy(&monitor, &SystemProxyMonitor::sigEnvironmentChanged);

    // To manual: once per entry and once for the mode; the bypass list applies at once.
    setString(kMain, "mode", "manual");
    QTRY_COMPARE(spy.size(), 5);
    QCOMPARE(qgetenv("http_proxy"), QByteArray("http://h:8080"));
    QCOMPARE(qgetenv("all_proxy"), QByteArray("socks5://s:1080"));
    QCOMPARE(qgetenv("no_proxy"), QByteArray("a.test,b.test"));

    // An invalid SOCKS entry removes both of its variables.
    setInt(ManualProxyConfig::schemaId(ManualProxyType::Socks), "port", 0);
    QTRY_COMPARE(spy.size(), 6);
    QVERIFY(!qEnvironmentVariableIsSet("SOCKS_SERVER"));
    QVERIFY(!qEnvironmentVariableIsSet("all_proxy"));

    // Back to none: everything goes, announced once.
    spy.clear();
    setString(kMain, "mode", "none");
    QTRY_COMPARE(spy.size(), 1);
    settle();
    QCOMPARE(spy.size(), 1);
    for (const QVariant& value : monitor.getEnvironment()) {
        QCOMPARE(value.toString(), QString());
    }
}

QMN_TEST_MAIN(TestProxy)
#include "tst_proxy.moc"
