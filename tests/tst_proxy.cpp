#include "proxy/manual_proxy_config.h"
#include "proxy/system_proxy_monitor.h"
#include "test_environment.h"

#include <gio/gio.h>

// The desktop's proxy settings, written through GIO as its settings panel would, and what the
// service makes of them: its proxy entries and the proxy variables of its process.
namespace {
const QByteArray kMain = "com.quorin.wrap.gnome.system.proxy";

// A key's value in GVariant text: 8080, true, 'h', ['localhost'].
void set(const QByteArray& schema, const char* key, const QString& value)
{
    GVariant* variant =
        g_variant_parse(nullptr, value.toUtf8().constData(), nullptr, nullptr, nullptr);
    GSettings* settings = g_settings_new(schema.constData());
    g_settings_set_value(settings, key, variant);
    g_settings_sync();
    g_object_unref(settings);
    g_variant_unref(variant);
}

// Lets GIO deliver what it queued for the main context.
void settle()
{
    while (g_main_context_iteration(nullptr, false)) {
    }
}
} // namespace

class TestProxy : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void credentialsFollowTheSwitch();
    void variablesByMode_data();
    void variablesByMode();

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
    const auto reset = [](const QByteArray& id, const QList<const char*>& keys) {
        GSettings* settings = g_settings_new(id.constData());
        for (const char* key : keys) {
            g_settings_reset(settings, key);
        }
        g_object_unref(settings);
    };
    reset(kMain, {"mode", "autoconfig-url", "ignore-hosts"});
    using T = ManualProxyType;
    for (ManualProxyType type : {T::Http, T::Https, T::Ftp, T::Socks}) {
        reset(ManualProxyConfig::schemaId(type),
              {"host", "port", "use-authentication", "authentication-user",
               "authentication-password"});
    }
    settle();
}

// Switched off, authentication leaves no credentials in the entry's proxy; switched on again,
// the stored ones count at once.
void TestProxy::credentialsFollowTheSwitch()
{
    const QByteArray http = ManualProxyConfig::schemaId(ManualProxyType::Http);
    set(http, "host", "'h'");
    set(http, "authentication-user", "'u'");
    set(http, "authentication-password", "'p'");
    ManualProxyConfig entry(ManualProxyType::Http);
    QStringList credentials;
    for (bool on : {true, false, true}) {
        set(http, "use-authentication", on ? "true" : "false");
        settle();
        credentials << entry.networkProxy().user() + entry.networkProxy().password();
    }
    QCOMPARE(credentials, QStringList({"up", "", "up"}));
}

void TestProxy::variablesByMode_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<ManualProxyType>("type");
    QTest::addColumn<bool>("auth");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QVariantMap>("expected");

    const auto env = [](QVariantMap set) {
        for (const char* name : {"SOCKS_SERVER", "all_proxy", "ftp_proxy", "http_proxy",
                                 "https_proxy", "no_proxy", "auto_proxy"}) {
            set.insert(name, set.value(name, QString()));
        }
        return set;
    };
    const QString hosts = "localhost,127.0.0.1";
    using T = ManualProxyType;
    QTest::newRow("none") << "none" << T::Http << false << "h" << env({});
    QTest::newRow("auto") << "auto" << T::Http << false << "h"
                          << env({{"auto_proxy", "http://wpad.test/proxy.pac"}});
    QTest::newRow("manual http with plain credentials")
        << "manual" << T::Http << true << "h"
        << env({{"http_proxy", "http://u:p@h:8080"}, {"no_proxy", hosts}});
    QTest::newRow("manual https keeps the http scheme")
        << "manual" << T::Https << false << "h"
        << env({{"https_proxy", "http://h:8080"}, {"no_proxy", hosts}});
    QTest::newRow("manual ftp") << "manual" << T::Ftp << false << "h"
                                << env({{"ftp_proxy", "http://h:8080"}, {"no_proxy", hosts}});
    QTest::newRow("manual socks sets the pair") << "manual" << T::Socks << false << "h"
                                                << env({{"SOCKS_SERVER", "socks5://h:8080"},
                                                        {"all_proxy", "socks5://h:8080"},
                                                        {"no_proxy", hosts}});
    QTest::newRow("manual http without a host: no proxy")
        << "manual" << T::Http << false << "" << env({{"no_proxy", hosts}});
    QTest::newRow("manual http on an IPv6 address")
        << "manual" << T::Http << false << "::1"
        << env({{"http_proxy", "http://[::1]:8080"}, {"no_proxy", hosts}});
}

void TestProxy::variablesByMode()
{
    QFETCH(QString, mode);
    QFETCH(ManualProxyType, type);
    QFETCH(bool, auth);
    QFETCH(QString, host);
    // Leftovers of the process are replaced or removed, and the monitor follows the settings
    // as they change.
    qputenv("http_proxy", "http://stale:1");
    qputenv("auto_proxy", "http://stale/pac");
    SystemProxyMonitor monitor;
    const QByteArray entry = ManualProxyConfig::schemaId(type);
    set(entry, "host", "'" + host + "'");
    set(entry, "port", "8080");
    set(entry, "authentication-user", "'u'");
    set(entry, "authentication-password", "'p'");
    set(entry, "use-authentication", auth ? "true" : "false");
    set(kMain, "autoconfig-url", "'http://wpad.test/proxy.pac'");
    // The hosts to bypass count from the switch on, and follow their own changes.
    set(kMain, "ignore-hosts", "['localhost']");
    set(kMain, "mode", "'" + mode + "'");
    settle();
    QCOMPARE(qgetenv("no_proxy"), mode == QLatin1String("manual") ? "localhost" : "");
    set(kMain, "ignore-hosts", "['localhost', '127.0.0.1']");
    settle();
    QFETCH(QVariantMap, expected);
    QCOMPARE(monitor.getEnvironment(), expected);
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        QCOMPARE(qEnvironmentVariable(qPrintable(it.key())), it.value().toString());
    }
}

QMN_TEST_MAIN(TestProxy)
#include "tst_proxy.moc"
