#include "common/singleton.h"
#include "dbus/dbus_interface.h"
#include "notification/notification_interface.h"
#include "properties_changed_spy.h"
#include "test_environment.h"

#include <QDBusConnectionInterface>
#include <QDBusVariant>
#include <QXmlStreamReader>

namespace {
const QString kService = QStringLiteral("com.quorin.MsgNotification");
const QString kPath = QStringLiteral("/com/quorin/MsgNotification");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");

QDBusMessage propertiesCall(const QString& method, const QVariantList& arguments)
{
    QDBusMessage message = QDBusMessage::createMethodCall(kService, kPath, kProperties, method);
    message.setArguments(arguments);
    return message;
}

NotificationInterface* engine()
{
    return Singleton<NotificationInterface>::instance();
}

// Counts the queued slot invocations that reach an object.
class QueuedCallCounter : public QObject
{
public:
    explicit QueuedCallCounter(QObject* target) { target->installEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::MetaCall) {
            ++count;
        }
        return QObject::eventFilter(watched, event);
    }
};
} // namespace

class TestDBusInterface : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void introspection();
    void readProperties();
    void propertiesAreReadOnly_data();
    void propertiesAreReadOnly();
    void runningChangesArePublished();
    void unchangedRunningIsSilent();
    void unknownPropertyIsNotSent();
    void instanceLogs();
    void queryQueuesUnlessRunning_data();
    void queryQueuesUnlessRunning();
    void nameOwnership();

private:
    QDBusConnection m_client{QString()};
    DBusInterface* m_service = nullptr;
    bool m_cycleStarted = false;
};

void TestDBusInterface::initTestCase()
{
    m_client = testing::clientConnection(QStringLiteral("client"));
    QVERIFY(m_client.isConnected());
}

void TestDBusInterface::init()
{
    // A cycle started by an earlier case ends by itself (its server refuses at once).
    QTRY_VERIFY_WITH_TIMEOUT(!engine()->running(), 20000);
    m_service = new DBusInterface("");
    QVERIFY(m_service->registerDBus());
    QVERIFY(testing::waitForNameOwner(kService));
}

void TestDBusInterface::cleanup()
{
    if (!m_cycleStarted) {
        engine()->setRunning(false);
    }
    m_cycleStarted = false;
    delete m_service;
    m_service = nullptr;
    QVERIFY(testing::waitForNameOwner(kService, false));
}

void TestDBusInterface::introspection()
{
    const QDBusMessage reply = testing::call(
        m_client, QDBusMessage::createMethodCall(
                      kService, kPath, QStringLiteral("org.freedesktop.DBus.Introspectable"),
                      QStringLiteral("Introspect")));
    QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);

    // Every member of our interface as "kind name signature access".
    QStringList members;
    QStringList interfaces;
    QXmlStreamReader xml(reply.arguments().value(0).toString());
    QString currentInterface;
    QString currentMember;
    QStringList arguments;
    while (!xml.atEnd()) {
        xml.readNext();
        const auto attributes = xml.attributes();
        if (xml.isStartElement() && xml.name() == QLatin1String("interface")) {
            currentInterface = attributes.value(QLatin1String("name")).toString();
            interfaces << currentInterface;
        }
        if (currentInterface != kService) {
            continue;
        }
        if (xml.isStartElement() &&
            (xml.name() == QLatin1String("method") || xml.name() == QLatin1String("signal"))) {
            currentMember = xml.name().toString() + QLatin1Char(' ') +
                            attributes.value(QLatin1String("name")).toString();
            arguments.clear();
        } else if (xml.isStartElement() && xml.name() == QLatin1String("arg")) {
            arguments << attributes.value(QLatin1String("direction")).toString() +
                             QLatin1Char(':') + attributes.value(QLatin1String("type")).toString();
        } else if (xml.isEndElement() && (xml.name() == QLatin1String("method") ||
                                          xml.name() == QLatin1String("signal"))) {
            members << currentMember + QLatin1Char('(') + arguments.join(QLatin1Char(',')) +
                           QLatin1Char(')');
        } else if (xml.isStartElement() && xml.name() == QLatin1String("property")) {
            members << QStringLiteral("property %1 %2 %3")
                           .arg(attributes.value(QLatin1String("name")),
                                attributes.value(QLatin1String("type")),
                                attributes.value(QLatin1String("access")));
        }
    }
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    members.sort();
    QCOMPARE(members, QStringList({
                          QStringLiteral("method Instance()"),
                          QStringLiteral("method QueryNotifications()"),
                          QStringLiteral("property running b read"),
                          QStringLiteral("property version s read"),
                      }));
    QVERIFY(interfaces.contains(QStringLiteral("org.freedesktop.DBus.Properties")));
    QVERIFY(interfaces.contains(QStringLiteral("org.freedesktop.DBus.Introspectable")));
}

void TestDBusInterface::readProperties()
{
    QDBusMessage reply =
        testing::call(m_client, propertiesCall(QStringLiteral("GetAll"), {kService}));
    QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
    const QVariantMap all = qdbus_cast<QVariantMap>(reply.arguments().value(0));
    QCOMPARE(all.value(QStringLiteral("version")).toString(), QStringLiteral("1.0.3.1"));
    QCOMPARE(all.value(QStringLiteral("running")).toBool(), false);

    engine()->setRunning(true);
    reply = testing::call(
        m_client, propertiesCall(QStringLiteral("Get"), {kService, QStringLiteral("running")}));
    QCOMPARE(qdbus_cast<QDBusVariant>(reply.arguments().value(0)).variant().toBool(), true);
}

void TestDBusInterface::propertiesAreReadOnly_data()
{
    QTest::addColumn<QString>("property");
    QTest::addColumn<QVariant>("value");
    QTest::newRow("version") << QStringLiteral("version") << QVariant(QStringLiteral("9.9"));
    QTest::newRow("running") << QStringLiteral("running") << QVariant(true);
}

void TestDBusInterface::propertiesAreReadOnly()
{
    QFETCH(QString, property);
    QFETCH(QVariant, value);
    const QDBusMessage reply = testing::call(
        m_client, propertiesCall(QStringLiteral("Set"),
                                 {kService, property, QVariant::fromValue(QDBusVariant(value))}));
    QCOMPARE(reply.type(), QDBusMessage::ErrorMessage);
    QCOMPARE(reply.errorName(), QStringLiteral("org.freedesktop.DBus.Error.PropertyReadOnly"));
    QCOMPARE(m_service->version(), QStringLiteral("1.0.3.1"));
    QCOMPARE(engine()->running(), false);
}

void TestDBusInterface::runningChangesArePublished()
{
    PropertiesChangedSpy spy(m_client, kService, kPath);
    QVERIFY(spy.isValid());

    engine()->setRunning(true);
    engine()->setRunning(false);
    QTRY_COMPARE(spy.count(), 2);
    // A round trip after the signals: anything else sent before it has arrived by now.
    testing::call(m_client, propertiesCall(QStringLiteral("GetAll"), {kService}));
    QCOMPARE(spy.count(), 2);

    const bool expected[] = {true, false};
    for (int i = 0; i < 2; ++i) {
        const auto& signal = spy.signalList().at(i);
        QCOMPARE(signal.interface, kService);
        QCOMPARE(signal.changed.keys(), QStringList{QStringLiteral("running")});
        QCOMPARE(signal.changed.value(QStringLiteral("running")).toBool(), expected[i]);
        QVERIFY(signal.invalidated.isEmpty());
    }
}

void TestDBusInterface::unchangedRunningIsSilent()
{
    PropertiesChangedSpy spy(m_client, kService, kPath);
    QVERIFY(spy.isValid());
    engine()->setRunning(false);
    engine()->setRunning(true);
    engine()->setRunning(true);
    QTRY_COMPARE(spy.count(), 1);
    testing::call(m_client, propertiesCall(QStringLiteral("GetAll"), {kService}));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(engine()->property("running").toBool(), engine()->running());
}

void TestDBusInterface::unknownPropertyIsNotSent()
{
    PropertiesChangedSpy spy(m_client, kService, kPath);
    QVERIFY(spy.isValid());
    QTest::ignoreMessage(QtWarningMsg, "Property colour is not valid.");
    m_service->notifyPropertyChanged(QStringLiteral("colour"));
    m_service->notifyPropertyChanged(QStringLiteral("version"));
    QTRY_COMPARE(spy.count(), 1);
    QCOMPARE(spy.signalList().first().changed.value(QStringLiteral("version")).toString(),
             QStringLiteral("1.0.3.1"));
}

void TestDBusInterface::instanceLogs()
{
    QTest::ignoreMessage(QtDebugMsg, "msg-notification started");
    const QDBusMessage reply =
        testing::call(m_client, QDBusMessage::createMethodCall(kService, kPath, kService,
                                                               QStringLiteral("Instance")));
    QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
    QVERIFY(reply.arguments().isEmpty());
}

void TestDBusInterface::queryQueuesUnlessRunning_data()
{
    QTest::addColumn<bool>("running");
    QTest::addColumn<int>("queued");
    QTest::newRow("idle: report and fetch are queued") << false << 2;
    QTest::newRow("cycle in progress: nothing is queued") << true << 0;
}

void TestDBusInterface::queryQueuesUnlessRunning()
{
    QFETCH(bool, running);
    engine()->setRunning(running);
    QueuedCallCounter counter(engine());

    // Called as the bus would, but without spinning the event loop: nothing may run inside it.
    m_service->QueryNotifications();
    QCOMPARE(counter.count, 0);
    QCOMPARE(engine()->running(), running);
    QCoreApplication::sendPostedEvents(engine(), QEvent::MetaCall);
    QTEST(counter.count, "queued");
    // The fetch slot started the cycle (or the one in progress goes on).
    QCOMPARE(engine()->running(), true);
    m_cycleStarted = !running;
}

void TestDBusInterface::nameOwnership()
{
    // Called by name from this very process and thread, blocking, as a host's other plug-in
    // might: only a local delivery can answer it.
    const QDBusMessage reply = QDBusConnection::sessionBus().call(
        propertiesCall(QStringLiteral("Get"), {kService, QStringLiteral("version")}), QDBus::Block,
        3000);
    QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);

    // A host that owns the name itself keeps it when the object goes.
    delete m_service;
    m_service = nullptr;
    QVERIFY(testing::waitForNameOwner(kService, false));
    QVERIFY(QDBusConnection::sessionBus().registerService(kService));
    auto* hosted = new DBusInterface("");
    QVERIFY(hosted->registerDBus());
    delete hosted;
    QVERIFY(QDBusConnection::sessionBus().interface()->isServiceRegistered(kService).value());
    QVERIFY(QDBusConnection::sessionBus().unregisterService(kService));

    m_service = new DBusInterface("");
    QVERIFY(m_service->registerDBus());
}

QMN_TEST_MAIN(TestDBusInterface)
#include "tst_dbus_interface.moc"
