#include "common/singleton.h"
#include "dbus/dbus_interface.h"
#include "notification/notification_interface.h"
#include "plugin/plugin.h"
#include "properties_changed_spy.h"
#include "test_environment.h"

#include <QDBusConnectionInterface>
#include <QPointer>
#include <QTranslator>

namespace {
const QString kService = QStringLiteral("com.quorin.MsgNotification");
const QString kPath = QStringLiteral("/com/quorin/MsgNotification");

NotificationInterface* engine()
{
    return Singleton<NotificationInterface>::instance();
}

QString nameOwner(const QString& service)
{
    return QDBusConnection::sessionBus().interface()->serviceOwner(service).value();
}

// A tiny catalogue that QTranslator loads and does not consider empty: the .qm magic number and
// a messages block holding only an end marker.
bool writeCatalogue(const QString& path)
{
    static const unsigned char content[] = {0x3C, 0xB8, 0x64, 0x18, 0xCA, 0xEF, 0x9C, 0x95,
                                            0xCD, 0x21, 0x1C, 0xBF, 0x60, 0xA1, 0xBD, 0xDD,
                                            0x69, 0x00, 0x00, 0x00, 0x01, 0x01};
    QFile file(path);
    return file.open(QIODevice::WriteOnly) &&
           file.write(reinterpret_cast<const char*>(content), sizeof(content)) == sizeof(content);
}

class LanguageChangeCounter : public QObject
{
public:
    LanguageChangeCounter() { QCoreApplication::instance()->installEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == QCoreApplication::instance() && event->type() == QEvent::LanguageChange) {
            ++count;
        }
        return false;
    }
};
} // namespace

class TestPlugin : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void blankNameTakesStandAlonePath_data();
    void blankNameTakesStandAlonePath();
    void pluginModeRegistersOnGivenConnectionOnly();
    void pluginModePublishesRunningAsServiceOwner();
    void registrationFailure_data();
    void registrationFailure();
    void unregisterIsHarmless();
    void reRegisterKeepsOneEngine();
    void catalogueFallback_data();
    void catalogueFallback();

private:
    QDBusConnection m_client{QString()};
    QDBusConnection m_host{QString()};
    std::unique_ptr<QProcess> m_otherOwner;
    std::unique_ptr<QObject> m_squatter;
};

void TestPlugin::initTestCase()
{
    m_client = testing::clientConnection(QStringLiteral("client"));
    QVERIFY(m_client.isConnected());
    // What a host does before it passes a connection name: open it and own the service name.
    m_host = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("host"));
    QVERIFY(m_host.isConnected());
}

void TestPlugin::cleanup()
{
    VXMUnRegister();
    QTest::qWait(0);
    m_host.unregisterService(kService);
    m_host.unregisterObject(kPath);
    m_squatter.reset();
    if (m_otherOwner) {
        m_otherOwner->kill();
        m_otherOwner->waitForFinished();
        m_otherOwner.reset();
    }
    engine()->setRunning(false);
    QVERIFY(testing::waitForNameOwner(kService, false));
}

void TestPlugin::blankNameTakesStandAlonePath_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("isNull");
    QTest::newRow("null") << QByteArray() << true;
    QTest::newRow("empty") << QByteArray("") << false;
    QTest::newRow("blanks") << QByteArray("   ") << false;
    QTest::newRow("white space") << QByteArray(" \t\n ") << false;
}

void TestPlugin::blankNameTakesStandAlonePath()
{
    QFETCH(QByteArray, name);
    QFETCH(bool, isNull);

    QCOMPARE(VXMRegister(isNull ? nullptr : name.constData(), nullptr), 0);
    QPointer<DBusInterface> service = plugin::registeredService();
    QVERIFY(service);
    QCOMPARE(nameOwner(kService), QDBusConnection::sessionBus().baseService());
    QCOMPARE(QDBusConnection::sessionBus().objectRegisteredAt(kPath), service.data());
    QVERIFY(plugin::translator());

    QCOMPARE(VXMUnRegister(), 0);
    QVERIFY(!plugin::registeredService());
    QVERIFY(!plugin::translator());
    QTRY_VERIFY(!service);
    // The object and the name it asked for go away together.
    QVERIFY(!QDBusConnection::sessionBus().objectRegisteredAt(kPath));
    QVERIFY(testing::waitForNameOwner(kService, false));
}

void TestPlugin::pluginModeRegistersOnGivenConnectionOnly()
{
    QVERIFY(m_host.registerService(kService));
    QCOMPARE(VXMRegister("  host\t", nullptr), 0);
    DBusInterface* service = plugin::registeredService();
    QVERIFY(service);
    QCOMPARE(m_host.objectRegisteredAt(kPath), service);
    QVERIFY(!QDBusConnection::sessionBus().objectRegisteredAt(kPath));
    // The name stays the host's: the plug-in never asks for it in this mode.
    QCOMPARE(nameOwner(kService), m_host.baseService());

    const QDBusMessage reply = testing::call(
        m_client, QDBusMessage::createMethodCall(kService, kPath,
                                                 QStringLiteral("org.freedesktop.DBus.Properties"),
                                                 QStringLiteral("Get"))
                      << kService << QStringLiteral("version"));
    QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
}

void TestPlugin::pluginModePublishesRunningAsServiceOwner()
{
    QVERIFY(m_host.registerService(kService));
    QCOMPARE(VXMRegister("host", nullptr), 0);
    QVERIFY(plugin::registeredService());

    // Matches on the service name, as clients do: only signals from its owner get through.
    PropertiesChangedSpy spy(m_client, kService, kPath);
    QVERIFY(spy.isValid());
    engine()->setRunning(true);
    engine()->setRunning(false);
    QTRY_COMPARE(spy.count(), 2);
    QCOMPARE(spy.signalList().at(0).changed.value(QStringLiteral("running")).toBool(), true);
    QCOMPARE(spy.signalList().at(1).changed.value(QStringLiteral("running")).toBool(), false);
}

void TestPlugin::registrationFailure_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QString>("cause");
    QTest::newRow("service name owned by another process")
        << QByteArray() << QStringLiteral("^Register D-Bus service failed: .+");
    QTest::newRow("object path taken on the host's connection")
        << QByteArray("host") << QStringLiteral("^Register D-Bus object failed: .+");
}

void TestPlugin::registrationFailure()
{
    QFETCH(QByteArray, name);
    QFETCH(QString, cause);

    if (name.isEmpty()) {
        m_otherOwner = testing::makeProcess(QStringLiteral(QMN_STANDALONE_PATH), {});
        m_otherOwner->start();
        QVERIFY(m_otherOwner->waitForStarted());
        QVERIFY(testing::waitForNameOwner(kService));
    } else {
        m_squatter = std::make_unique<QObject>();
        QVERIFY(m_host.registerObject(kPath, m_squatter.get()));
    }
    const QString ownerBefore = nameOwner(kService);

    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(cause));
    QTest::ignoreMessage(QtWarningMsg, "Register D-Bus failed");
    QCOMPARE(VXMRegister(name.isEmpty() ? nullptr : name.constData(), nullptr), 0);
    QVERIFY(!plugin::registeredService());
    QVERIFY(!plugin::translator());
    QCOMPARE(nameOwner(kService), ownerBefore);
    if (m_squatter) {
        QCOMPARE(m_host.objectRegisteredAt(kPath), m_squatter.get());
    }

    // The released object is gone and publishes nothing any more.
    QTest::qWait(0);
    engine()->setRunning(true);
    QCOMPARE(engine()->running(), true);
}

void TestPlugin::unregisterIsHarmless()
{
    QCOMPARE(VXMUnRegister(), 0);
    QCOMPARE(VXMUnRegister(), 0);
    QCOMPARE(VXMRegister(nullptr, nullptr), 0);
    QCOMPARE(VXMUnRegister(), 0);
    QCOMPARE(VXMUnRegister(), 0);
    QVERIFY(!plugin::registeredService());
}

void TestPlugin::reRegisterKeepsOneEngine()
{
    NotificationInterface* const first = engine();
    QCOMPARE(VXMRegister(nullptr, nullptr), 0);
    QPointer<DBusInterface> old = plugin::registeredService();
    QCOMPARE(VXMUnRegister(), 0);
    QTRY_VERIFY(!old);
    QVERIFY(testing::waitForNameOwner(kService, false));

    QCOMPARE(VXMRegister(nullptr, nullptr), 0);
    QVERIFY(plugin::registeredService());
    QCOMPARE(engine(), first);

    PropertiesChangedSpy spy(m_client, kService, kPath);
    QVERIFY(spy.isValid());
    engine()->setRunning(true);
    QTRY_COMPARE(spy.count(), 1);
    // Exactly one publisher: the released object no longer sends.
    testing::call(m_client, QDBusMessage::createMethodCall(
                                kService, kPath, QStringLiteral("org.freedesktop.DBus.Peer"),
                                QStringLiteral("Ping")));
    QCOMPARE(spy.count(), 1);
}

void TestPlugin::catalogueFallback_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("loaded");

    const QString stem = QStringLiteral("quorin-msg-notification");
    const QString de = stem + QStringLiteral("_de.qm");
    const QString deDE = stem + QStringLiteral("_de_DE.qm");
    const QString bare = stem + QStringLiteral(".qm");
    const QString fr = stem + QStringLiteral("_fr.qm");

    QTest::newRow("language_TERRITORY first")
        << QStringList{deDE, de, bare} << QStringLiteral("de_DE") << deDE;
    QTest::newRow("language when no territory file")
        << QStringList{de, bare} << QStringLiteral("de_DE") << de;
    QTest::newRow("bare stem last") << QStringList{bare, fr} << QStringLiteral("de_DE") << bare;
    QTest::newRow("other language is not taken")
        << QStringList{fr} << QStringLiteral("de_DE") << QString();
    QTest::newRow("no catalogue at all") << QStringList{} << QStringLiteral("C") << QString();
}

void TestPlugin::catalogueFallback()
{
    QFETCH(QStringList, files);
    QFETCH(QString, locale);
    QFETCH(QString, loaded);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    for (const QString& file : files) {
        QVERIFY(writeCatalogue(dir.filePath(file)));
    }

    LanguageChangeCounter languageChanges;
    plugin::loadTranslator(locale, dir.path() + QLatin1Char('/'));
    QTranslator* translator = plugin::translator();
    QVERIFY(translator);
    if (loaded.isEmpty()) {
        QVERIFY(translator->filePath().isEmpty());
        QCOMPARE(languageChanges.count, 0);
    } else {
        QCOMPARE(QFileInfo(translator->filePath()).fileName(), loaded);
        QCOMPARE(languageChanges.count, 1);
    }

    // Unregistering removes and releases the catalogue, installed or not.
    QPointer<QTranslator> released = translator;
    QCOMPARE(VXMUnRegister(), 0);
    QVERIFY(!plugin::translator());
    QCOMPARE(languageChanges.count, loaded.isEmpty() ? 0 : 2);
    QTRY_VERIFY(!released);
}

QMN_TEST_MAIN(TestPlugin)
#include "tst_plugin.moc"
