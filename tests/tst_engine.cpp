#include "common/config.h"
#include "common/singleton.h"
#include "database/database_connection_config.h"
#include "database/msg_event_info_table.h"
#include "database/msg_notify_info_table.h"
#include "dbus/dbus_interface.h"
#include "http/img_download_manager.h"
#include "loopback_http_server.h"
#include "notification/notification_interface.h"
#include "properties_changed_spy.h"
#include "recording_notification_server.h"
#include "test_environment.h"

#include <QDBusArgument>
#include <QDBusVariant>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTimer>

#include <memory>

namespace {
const QString kService = QStringLiteral("com.quorin.MsgNotification");
const QString kPath = QStringLiteral("/com/quorin/MsgNotification");

NotificationInterface* engine()
{
    return Singleton<NotificationInterface>::instance();
}
MsgNotifyInfoTable* messages()
{
    return Singleton<MsgNotifyInfoTable>::instance();
}
MsgEventInfoTable* events()
{
    return Singleton<MsgEventInfoTable>::instance();
}

qint64 now()
{
    return QDateTime::currentSecsSinceEpoch();
}

QJsonObject message(int id, int linkType, const QString& linkInfo, const QString& imgUrl,
                    qint64 endTime, qint64 startTime = 0)
{
    return {{QStringLiteral("id"), id},
            {QStringLiteral("name"), QStringLiteral("n%1").arg(id)},
            {QStringLiteral("startTime"), startTime ? startTime : now() - 3600},
            {QStringLiteral("endTime"), endTime},
            {QStringLiteral("title"), QStringLiteral("title %1").arg(id)},
            {QStringLiteral("content"), QStringLiteral("content %1").arg(id)},
            {QStringLiteral("type"), 1},
            {QStringLiteral("imgUrl"), imgUrl},
            {QStringLiteral("linkType"), linkType},
            {QStringLiteral("linkInfo"), linkInfo}};
}

QByteArray pageBody(const QJsonArray& datas, int hasNextPage)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("status"), 200},
                                     {QStringLiteral("desc"), QStringLiteral("ok")},
                                     {QStringLiteral("datas"), datas},
                                     {QStringLiteral("total"), 6},
                                     {QStringLiteral("hasNextPage"), hasNextPage}})
        .toJson(QJsonDocument::Compact);
}

int pageNumber(const HttpRequest& request)
{
    const QByteArray query = request.query();
    return query.mid(query.indexOf("reqPage=") + 8).split('&').first().toInt();
}

// What one Notify carried, in the terms a test compares.
QString describe(const RecordingNotificationServer::Call& call)
{
    return QStringLiteral("%1|%2|%3|%4|%5")
        .arg(call.summary, call.appIcon)
        .arg(call.replacesId)
        .arg(call.hint(), call.body);
}

// Events in the queue as (message id, type), in row order.
QList<QPair<int, int>> queuedEvents()
{
    QList<QPair<int, int>> result;
    const QList<MsgEventInfo> queue = events()->selectMsgEventInfoRecords().values();
    for (const MsgEventInfo& event : queue) {
        result.append({event.id, event.eventType});
    }
    return result;
}

// Counts the Notify calls that cross the bus, answered or not, with dbus-monitor.
class NotifyCallCounter
{
public:
    ~NotifyCallCounter()
    {
        if (m_monitor) {
            m_monitor->kill();
            m_monitor->waitForFinished();
        }
    }

    bool start()
    {
        m_monitor = testing::makeProcess(
            QStringLiteral("dbus-monitor"),
            {QStringLiteral("--address"), TestEnvironment::instance()->busAddress(),
             QStringLiteral("interface='org.freedesktop.Notifications',member='Notify'")});
        m_monitor->start();
        // Marks until one is seen: the monitor is listening from then on.
        return m_monitor->waitForStarted() &&
               QTest::qWaitFor([this] { return callsBeforeMarker(100) >= 0; }, 10000);
    }

    // The calls seen since start() up to a mark sent now on this process's session connection:
    // every call that connection sent before is counted.
    int calls() { return callsBeforeMarker(10000) - m_atStart; }
    void reset() { m_atStart = callsBeforeMarker(10000); }

private:
    int callsBeforeMarker(int timeoutMs)
    {
        // Marks are numbered by what the monitor printed: one sent before it listened is lost.
        const int marker = int(count("signal").size()) + 1;
        QDBusConnection::sessionBus().send(QDBusMessage::createSignal(
            QStringLiteral("/marker"), QStringLiteral("org.freedesktop.Notifications"),
            QStringLiteral("Notify")));
        int calls = -1;
        const bool marked = QTest::qWaitFor(
            [&] {
                m_output += m_monitor->readAllStandardOutput();
                const QList<qsizetype> markers = count("signal");
                if (markers.size() < marker) {
                    return false;
                }
                const QList<qsizetype> sent = count("method call");
                calls = int(std::count_if(sent.cbegin(), sent.cend(), [&](qsizetype at) {
                    return at < markers.at(marker - 1);
                }));
                return true;
            },
            timeoutMs);
        return marked ? calls : -1;
    }

    // Where the monitor printed a Notify message of that kind.
    QList<qsizetype> count(const QByteArray& kind) const
    {
        QList<qsizetype> at;
        const QList<QByteArray> lines = m_output.split('\n');
        for (qsizetype i = 0; i < lines.size(); ++i) {
            if (lines.at(i).startsWith(kind) && lines.at(i).contains("member=Notify")) {
                at.append(i);
            }
        }
        return at;
    }

    std::unique_ptr<QProcess> m_monitor;
    QByteArray m_output;
    int m_atStart = 0;
};
} // namespace

class TestEngine : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void wholeCycleThroughTheBus();
    void queryProgramShowsWhatTheCycleWrote();
    void queryProgramWhileTheServiceWrites();
    void switchedOff();
    void failedFetchStillShowsStoredMessages_data();
    void failedFetchStillShowsStoredMessages();
    void imageCacheKeepsStoredImagesOnly();
    void sharedImage();
    void lastSecondOfAMessage();
    void closing_data();
    void closing();
    void reports();
    void burstJoinsTheQueuedCycle();
    void passLeavesTheThreadFreeBetweenBubbles();
    void notificationServiceFailures_data();
    void notificationServiceFailures();

private:
    void clearDatabase();
    // Calls QueryNotifications through the bus, runs `midway` once the call is answered, and
    // waits until the cycle has ended.
    bool runCycle(const std::function<void()>& midway = {});
    bool waitForCycleEnd(qsizetype signalsBefore);
    bool reloadBusConfig();
    QVariant property(const QString& name);
    void seed(int id, qint64 endTime, uint notifyTimes = 0, bool imageDownloaded = false,
              const QString& imgUrl = QString());
    QString image(const QString& name) const
    {
        return m_server->baseUrl() + QStringLiteral("/img/") + name;
    }
    QString cached(const QString& name) const
    {
        return Singleton<ImgDownloadManager>::instance()->imgDir() + QLatin1Char('/') + name;
    }

    std::unique_ptr<LoopbackHttpServer> m_server;
    std::unique_ptr<RecordingNotificationServer> m_notifications;
    std::unique_ptr<DBusInterface> m_service;
    std::unique_ptr<PropertiesChangedSpy> m_spy;
    NotifyCallCounter m_notifyCalls;
    QString m_serviceDir;
    QDBusConnection m_client{QString()};
    QList<qsizetype> m_notifyCountAtRunningFalse;

    // What the message server answers.
    QMutex m_mutex;
    QList<QByteArray> m_pages;
    QList<QByteArray> m_lastModified;
    HttpResponse m_listOverride;
    bool m_useListOverride = false;
    HttpResponse m_reportResponse;
    int m_sharedImageRequests = 0;
};

void TestEngine::initTestCase()
{
    // A bus that can activate services, for a notification service that fails to start.
    m_serviceDir = TestEnvironment::instance()->root() + QStringLiteral("/services");
    QVERIFY(QDir().mkpath(m_serviceDir));
    QVERIFY(TestEnvironment::instance()->restartBus({m_serviceDir}));

    m_server = std::make_unique<LoopbackHttpServer>();
    QVERIFY(m_server->isListening());
    m_server->setHandler([this](const HttpRequest& request) {
        QMutexLocker locker(&m_mutex);
        if (request.path().startsWith("/img/")) {
            // A shared image: slow the first time, gone after.
            if (request.path().contains("shared") && m_sharedImageRequests++ == 0) {
                HttpResponse slow;
                slow.body = "png";
                slow.delayMs = 300;
                return slow;
            }
            if (request.path().contains("missing") || request.path().contains("shared")) {
                HttpResponse missing;
                missing.status = 404;
                missing.reason = "Not Found";
                return missing;
            }
            HttpResponse image;
            image.addHeader("Content-Type", "image/png");
            image.body = "png:" + request.path();
            return image;
        }
        if (request.method == "POST") {
            return m_reportResponse;
        }
        if (m_useListOverride) {
            return m_listOverride;
        }
        const int page = pageNumber(request);
        HttpResponse response = HttpResponse::json(m_pages.value(page - 1));
        response.addHeader("Last-Modified", m_lastModified.value(page - 1));
        return response;
    });
    QVERIFY(QDir().mkpath(Config::configDirPath()));
    QSettings(Config::configFilePath(), QSettings::IniFormat)
        .setValue(QStringLiteral("server"), m_server->baseUrl());

    m_notifications = std::make_unique<RecordingNotificationServer>();
    QVERIFY(m_notifications->start());

    m_service = std::make_unique<DBusInterface>("");
    QVERIFY(m_service->registerDBus());
    m_client = testing::clientConnection(QStringLiteral("client"));
    m_spy = std::make_unique<PropertiesChangedSpy>(m_client, kService, kPath);
    QVERIFY(m_spy->isValid());
    QVERIFY(m_notifyCalls.start());
    // The moment running turns false, as a client sees it: how many bubbles were out by then.
    connect(m_spy.get(), &PropertiesChangedSpy::received, this, [this](const QVariantMap& changed) {
        if (!changed.value(QStringLiteral("running")).toBool()) {
            m_notifyCountAtRunningFalse.append(m_notifications->callCount());
        }
    });
}

void TestEngine::init()
{
    QTRY_VERIFY(!engine()->running());
    clearDatabase();
    QSettings(Config::configFilePath(), QSettings::IniFormat).remove(QStringLiteral("enabled"));
    m_notifications->setAnswers({});
    m_notifications->setAnswerDelay(0);
    m_notifications->setObserver({});
    m_notifications->clearCalls();
    QMutexLocker locker(&m_mutex);
    m_pages.clear();
    m_lastModified.clear();
    m_useListOverride = false;
    m_reportResponse = HttpResponse::json(R"({"status":200,"desc":"ok"})");
    locker.unlock();
    m_server->clearRequests();
    m_notifyCountAtRunningFalse.clear();
}

void TestEngine::clearDatabase()
{
    const QList<MsgNotifyInfoRecord> rows = messages()->selectMsgNotifyInfoRecords(-1, -1);
    for (const MsgNotifyInfoRecord& row : rows) {
        messages()->deleteMsgNotifyInfoRecordById(row.id);
    }
    const QList<int> queued = events()->selectMsgEventInfoRecords().keys();
    for (int row : queued) {
        events()->deleteMsgEventInfoRecordById(row);
    }
}

void TestEngine::seed(int id, qint64 endTime, uint notifyTimes, bool imageDownloaded,
                      const QString& imgUrl)
{
    MsgNotifyInfo info;
    info.fromJsonObject(message(id, 9, QString(), imgUrl, endTime));
    messages()->insertMsgNotifyInfoRecord(info);
    for (uint i = 0; i < notifyTimes; ++i) {
        messages()->updateMsgNotifyInfoRecordFieldNotifyTimes(id);
    }
    messages()->updateMsgNotifyInfoRecordFieldImageDownloaded(id, imageDownloaded);
}

bool TestEngine::runCycle(const std::function<void()>& midway)
{
    const qsizetype before = m_spy->count();
    const QDBusMessage reply = testing::call(
        m_client, QDBusMessage::createMethodCall(kService, kPath, kService,
                                                 QStringLiteral("QueryNotifications")));
    if (reply.type() != QDBusMessage::ReplyMessage) {
        return false;
    }
    if (midway) {
        midway();
    }
    return waitForCycleEnd(before);
}

bool TestEngine::waitForCycleEnd(qsizetype signalsBefore)
{
    return QTest::qWaitFor(
        [&] { return m_spy->count() >= signalsBefore + 2 && !engine()->running(); }, 30000);
}

bool TestEngine::reloadBusConfig()
{
    return testing::call(m_client,
                         QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                                        QStringLiteral("/org/freedesktop/DBus"),
                                                        QStringLiteral("org.freedesktop.DBus"),
                                                        QStringLiteral("ReloadConfig")))
               .type() == QDBusMessage::ReplyMessage;
}

QVariant TestEngine::property(const QString& name)
{
    const QDBusMessage reply = testing::call(
        m_client, QDBusMessage::createMethodCall(kService, kPath,
                                                 QStringLiteral("org.freedesktop.DBus.Properties"),
                                                 QStringLiteral("Get"))
                      << kService << name);
    return qdbus_cast<QDBusVariant>(reply.arguments().value(0)).variant();
}

void TestEngine::wholeCycleThroughTheBus()
{
    const qint64 later = now() + 86400;
    // Stored before: one already read (pruned before the pass) and one shown four times.
    seed(7, later);
    messages()->updateMsgNotifyInfoRecordFieldMsgRead(7, true);
    seed(8, later, 4, true, image(QStringLiteral("8.png")));
    {
        QMutexLocker locker(&m_mutex);
        m_pages = {
            pageBody({message(1, 1, QStringLiteral("echo 'hi, there'"),
                              image(QStringLiteral("1.png")), later),
                      message(2, 2, QStringLiteral("https://store.test/app/2"),
                              image(QStringLiteral("missing.png")), later),
                      message(3, 1, QStringLiteral("true"), QString(), now() - 100)},
                     1),
            pageBody({message(4, 3, QStringLiteral("ignored"), image(QStringLiteral("4.png/")),
                              now() + 20000, now() + 10000),
                      message(5, 0, QStringLiteral("ignored"), QString(), later)},
                     7),
            pageBody(
                {message(6, 2, QStringLiteral("/opt/app"), image(QStringLiteral("1.png")), later)},
                0),
        };
        m_lastModified = {"1001", "1002", "1003"};
    }

    QVERIFY(runCycle());
    QCOMPARE(m_spy->signalList().last().changed.value(QStringLiteral("running")).toBool(), false);
    QCOMPARE(m_spy->signalList()
                 .at(m_spy->count() - 2)
                 .changed.value(QStringLiteral("running"))
                 .toBool(),
             true);
    QCOMPARE(m_notifyCountAtRunningFalse, QList<qsizetype>{6});
    QCOMPARE(property(QStringLiteral("version")), QVariant(QStringLiteral("1.0.3.1")));

    // Rows come back in ascending id; the pass walks them from the last to the first.
    const QString bash = QStringLiteral("/bin/bash,-c,");
    QStringList expected = {
        QStringLiteral("title 8|%1|0||content 8").arg(cached(QStringLiteral("8.png"))),
        QStringLiteral("title 6|%1|0|/usr/bin/xdg-open,/opt/app|content 6")
            .arg(cached(QStringLiteral("1.png"))),
        QStringLiteral("title 5||0||content 5"),
        QStringLiteral("title 4|%1|0||content 4").arg(cached(QStringLiteral("4.png"))),
        QStringLiteral("title 2||0|/usr/bin/xdg-open,https://store.test/app/2|content 2"),
        QStringLiteral("title 1|%1|0|%2echo 'hi, there'|content 1")
            .arg(cached(QStringLiteral("1.png")), bash),
    };
    QStringList sent;
    const QList<RecordingNotificationServer::Call> calls = m_notifications->calls();
    for (const auto& call : calls) {
        sent << describe(call);
        QCOMPARE(call.appName, QStringLiteral("quorin-msg-notification"));
        QCOMPARE(call.actions, QStringList({QStringLiteral("default"), QString()}));
        QCOMPARE(call.hints.keys(), QStringList{QStringLiteral("x-quorin-action-default")});
        QCOMPARE(call.expireTimeout, -1);
    }
    QCOMPARE(sent, expected);

    // The store: the read row is gone; every shown row has its bubble id and one more display.
    struct Row
    {
        int id;
        uint replaceId;
        uint notifyTimes;
        bool image;
    };
    const QList<Row> rows = {{1, 6, 1, true},  {2, 5, 1, false}, {3, 0, 0, false}, {4, 4, 1, true},
                             {5, 3, 1, false}, {6, 2, 1, true},  {8, 1, 5, true}};
    QCOMPARE(messages()->selectMsgNotifyInfoRecords(-1, -1).size(), rows.size());
    for (const Row& row : rows) {
        const auto stored = messages()->selectMsgNotifyInfoRecordById(row.id);
        QVERIFY2(stored, qPrintable(QString::number(row.id)));
        QCOMPARE(stored->replace_id, row.replaceId);
        QCOMPARE(stored->notify_times, row.notifyTimes);
        QCOMPARE(stored->image_downloaded, row.image);
        QVERIFY(!stored->msg_read);
    }
    QVERIFY(QFileInfo(cached(QStringLiteral("1.png"))).isFile());
    QVERIFY(!QFileInfo::exists(cached(QStringLiteral("missing.png"))));

    // Received events carry the page's stamp; shown events follow in display order.
    const QMap<int, MsgEventInfo> queue = events()->selectMsgEventInfoRecords();
    QCOMPARE(queuedEvents(), (QList<QPair<int, int>>{{1, 1},
                                                     {2, 1},
                                                     {3, 1},
                                                     {4, 1},
                                                     {5, 1},
                                                     {6, 1},
                                                     {8, 2},
                                                     {6, 2},
                                                     {5, 2},
                                                     {4, 2},
                                                     {2, 2},
                                                     {1, 2}}));
    const QList<qint64> stamps = {1001, 1001, 1001, 1002, 1002, 1003};
    for (int i = 0; i < 6; ++i) {
        QCOMPARE(queue.values().at(i).eventTime, stamps.at(i));
    }
    QVERIFY(qAbs(queue.last().eventTime - now()) <= 5);
    QCOMPARE(QSettings(Config::configFilePath(), QSettings::IniFormat)
                 .value(QStringLiteral("lastModified"))
                 .toLongLong(),
             1003);
    QCOMPARE(m_server->requests().first().method, QByteArray("GET"));

    // Second cycle: nothing new (304), the events go up, bubbles are replaced.
    QByteArray expectedUpload = "[";
    for (const MsgEventInfo& event : queue) {
        expectedUpload += event.toJson() + ',';
    }
    expectedUpload.back() = ']';
    {
        QMutexLocker locker(&m_mutex);
        m_useListOverride = true;
        m_listOverride = HttpResponse();
        m_listOverride.status = 304;
        m_listOverride.reason = "Not Modified";
    }
    m_server->clearRequests();
    m_notifications->clearCalls();
    QTest::ignoreMessage(QtWarningMsg, "Parse MsgNotifyInfos failed: ");
    QVERIFY(runCycle());

    HttpRequest upload;
    HttpRequest list;
    for (const HttpRequest& request : m_server->requests()) {
        if (request.method == "POST") {
            upload = request;
        } else if (request.path().startsWith("/store-dist-message")) {
            list = request;
        }
    }
    QCOMPARE(upload.body, expectedUpload);
    QCOMPARE(list.header("If-Modified-Since"), QByteArray("1003"));
    sent.clear();
    for (const auto& call : m_notifications->calls()) {
        sent << QStringLiteral("%1:%2").arg(call.summary).arg(call.replacesId);
    }
    // Row 8 was shown five times and left the store; the others replace their bubbles.
    QCOMPARE(sent, QStringList({QStringLiteral("title 6:2"), QStringLiteral("title 5:3"),
                                QStringLiteral("title 4:4"), QStringLiteral("title 2:5"),
                                QStringLiteral("title 1:6")}));
    QVERIFY(!messages()->selectMsgNotifyInfoRecordById(8));
    QCOMPARE(messages()->selectMsgNotifyInfoRecordById(1)->notify_times, 2u);
    // The uploaded events are gone; only this pass's shown events wait.
    QTRY_COMPARE(queuedEvents(), (QList<QPair<int, int>>{{6, 2}, {5, 2}, {4, 2}, {2, 2}, {1, 2}}));
}

// The query program reads what two real cycles and a closing left: messages in every state and
// events of the three kinds, two of them with a failed upload.
void TestEngine::queryProgramShowsWhatTheCycleWrote()
{
    const qint64 later = now() + 86400;
    const QString longTitle = QStringLiteral("tab\there\nnewline\x1b[31m") + QString(200, u'x');
    QJsonObject withLongTitle = message(4, 9, QString(), QString(), later, now() - 400);
    withLongTitle.insert(QStringLiteral("title"), longTitle);
    {
        QMutexLocker locker(&m_mutex);
        m_pages = {
            pageBody({message(1, 2, QStringLiteral("https://store.test/a"),
                              image(QStringLiteral("a.png")), later, now() - 100),
                      message(2, 1, QStringLiteral("echo hi"), image(QStringLiteral("missing.png")),
                              later, now() - 200),
                      message(3, 9, QString(), QString(), now() - 10, now() - 300), withLongTitle},
                     0)};
        m_lastModified = {"1765000000000"};
    }
    QVERIFY(runCycle());
    {
        QMutexLocker locker(&m_mutex);
        m_useListOverride = true;
        m_listOverride = HttpResponse();
        m_listOverride.status = 304;
        m_reportResponse = HttpResponse::json(R"({"status":500,"desc":"later"})");
    }
    QTest::ignoreMessage(QtWarningMsg, "Parse MsgNotifyInfos failed: ");
    QVERIFY(runCycle());
    const int firstRow = events()->selectMsgEventInfoRecords().firstKey();
    QTRY_COMPARE(events()->selectMsgEventInfoRecordById(firstRow)->retry_times, 1);
    m_notifications->close(messages()->selectMsgNotifyInfoRecordById(1)->replace_id, 3);
    QTRY_VERIFY(messages()->selectMsgNotifyInfoRecordById(1)->msg_read);

    testing::QueryRun run = testing::runQuery({QStringLiteral("--json")});
    QCOMPARE(run.exitCode, 0);
    const QJsonObject document = QJsonDocument::fromJson(run.out).object();
    QStringList listed;
    for (const QJsonValue& value : document.value(QStringLiteral("messages")).toArray()) {
        const QJsonObject m = value.toObject();
        QStringList onClick;
        for (const QJsonValue& argument : m.value(QStringLiteral("onClick")).toArray()) {
            onClick << argument.toString();
        }
        listed << QStringLiteral("%1 %2/%3 read=%4 expired=%5 %6 [%7]")
                      .arg(m.value(QStringLiteral("id")).toInt())
                      .arg(m.value(QStringLiteral("shown")).toInt())
                      .arg(m.value(QStringLiteral("maxShown")).toInt())
                      .arg(m.value(QStringLiteral("read")).toBool())
                      .arg(m.value(QStringLiteral("expired")).toBool())
                      .arg(m.value(QStringLiteral("image")).toString(), onClick.join(u','));
    }
    QCOMPARE(listed, QStringList({
                         QStringLiteral("1 2/5 read=1 expired=0 cached "
                                        "[/usr/bin/xdg-open,https://store.test/a]"),
                         QStringLiteral("2 2/5 read=0 expired=0 missing "
                                        "[/bin/bash,-c,echo hi]"),
                         QStringLiteral("3 0/5 read=0 expired=1 none []"),
                         QStringLiteral("4 2/5 read=0 expired=0 none []"),
                     }));
    QCOMPARE(document.value(QStringLiteral("messages"))
                 .toArray()
                 .at(3)[QStringLiteral("title")]
                 .toString(),
             longTitle);

    QStringList queued;
    for (const QJsonValue& value : document.value(QStringLiteral("events")).toArray()) {
        const QJsonObject e = value.toObject();
        queued << QStringLiteral("%1 %2 %3 failed %4")
                      .arg(e.value(QStringLiteral("messageId")).toInt())
                      .arg(e.value(QStringLiteral("kind")).toString())
                      .arg(e.value(QStringLiteral("eventTime")).toInteger() == 1765000000000)
                      .arg(e.value(QStringLiteral("failedUploads")).toInt());
    }
    QStringList expectedEvents;
    for (int id : {1, 2, 3, 4}) {
        expectedEvents << QStringLiteral("%1 received 1 failed 1").arg(id);
    }
    for (const char* failed : {"1", "0"}) {
        for (int id : {4, 2, 1}) {
            expectedEvents << QStringLiteral("%1 shown 0 failed %2").arg(id).arg(failed);
        }
    }
    expectedEvents << QStringLiteral("1 closed 0 failed 0");
    QCOMPARE(queued, expectedEvents);

    const QJsonObject status = document.value(QStringLiteral("status")).toObject();
    QCOMPARE(status.value(QStringLiteral("server")).toString(), m_server->baseUrl());
    QCOMPARE(status.value(QStringLiteral("enabled")).toBool(), true);
    QCOMPARE(
        QDateTime::fromString(status.value(QStringLiteral("lastFetch")).toString(), Qt::ISODate)
            .toMSecsSinceEpoch(),
        1765000000000);
    QCOMPARE(status.value(QStringLiteral("service")).toObject(),
             (QJsonObject{{QStringLiteral("bus"), true},
                          {QStringLiteral("onBus"), true},
                          {QStringLiteral("running"), false}}));
    QCOMPARE(status.value(QStringLiteral("imageCache"))[QStringLiteral("files")].toInt(), 1);

    // The readable form: 80 columns, the store's control characters defused.
    run = testing::runQuery({QStringLiteral("--list")});
    QCOMPARE(run.exitCode, 0);
    const QStringList lines = QString::fromUtf8(run.out).split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2 + 2 * 4);
    for (const QString& line : lines) {
        QVERIFY2(line.size() <= 80, qPrintable(line));
        QVERIFY(!line.contains(u'\t') && !line.contains(u'\x1b'));
    }
    QVERIFY(lines.at(8).startsWith(QStringLiteral("     4  tab here newline [31mxxxxxxxx…  2/5")));
    QVERIFY(lines.at(6).contains(QStringLiteral("expired")));
    QCOMPARE(lines.at(5), QStringLiteral("        on click: /bin/bash -c 'echo hi'"));
}

// Reading the store while a cycle writes it neither fails nor holds the service up.
void TestEngine::queryProgramWhileTheServiceWrites()
{
    {
        QMutexLocker locker(&m_mutex);
        m_pages = {testing::duePage(100, 150, m_server->baseUrl())};
        m_lastModified = {"5"};
    }
    m_notifications->setAnswerDelay(5);
    int readsWhileRunning = 0;
    QVERIFY(runCycle([&] {
        while (engine()->running()) {
            const testing::QueryRun run = testing::runQuery(
                {QStringLiteral("--list"), QStringLiteral("--events"), QStringLiteral("--json")});
            QCOMPARE(run.exitCode, 0);
            QVERIFY(QJsonDocument::fromJson(run.out).object().contains(QStringLiteral("events")));
            ++readsWhileRunning;
        }
    }));
    QVERIFY2(readsWhileRunning >= 3, qPrintable(QString::number(readsWhileRunning)));
    // Every write of the cycle landed.
    QCOMPARE(m_notifications->callCount(), 150);
    QCOMPARE(queuedEvents().size(), 300);
    QCOMPARE(messages()->selectMsgNotifyInfoRecordById(100)->notify_times, 1u);
}

// Switched off, a call does nothing at all; switched on, the next cycle goes on where it stopped.
void TestEngine::switchedOff()
{
    seed(50, now() + 3600);
    events()->insertMsgEventInfoRecord(MsgEventInfo(7, 70, 2));
    QCOMPARE(testing::runQuery({QStringLiteral("--disable")}).exitCode, 0);
    m_notifyCalls.reset();
    const qsizetype signalsBefore = m_spy->count();

    QTest::ignoreMessage(QtInfoMsg,
                         QRegularExpression(QStringLiteral("^Switched off by \"enabled\" in ")));
    QCOMPARE(testing::call(m_client,
                           QDBusMessage::createMethodCall(kService, kPath, kService,
                                                          QStringLiteral("QueryNotifications")))
                 .type(),
             QDBusMessage::ReplyMessage);
    const testing::QueryRun status = testing::runQuery({QStringLiteral("--status")});
    QVERIFY(status.out.contains("off: QueryNotifications calls do nothing"));
    QCOMPARE(m_server->requestCount(), 0);
    QCOMPARE(m_notifyCalls.calls(), 0);
    QCOMPARE(m_spy->count(), signalsBefore);
    QCOMPARE(queuedEvents(), (QList<QPair<int, int>>{{7, 2}}));
    QCOMPARE(events()->selectMsgEventInfoRecords().first().eventTime, 70);
    QCOMPARE(messages()->selectMsgNotifyInfoRecordById(50)->notify_times, 0u);

    QCOMPARE(testing::runQuery({QStringLiteral("--enable")}).exitCode, 0);
    QTest::ignoreMessage(QtWarningMsg, "Parse MsgNotifyInfos failed: ");
    QVERIFY(runCycle());
    const QList<HttpRequest> requests = m_server->requests();
    const auto upload = std::find_if(requests.cbegin(), requests.cend(),
                                     [](const HttpRequest& r) { return r.method == "POST"; });
    QVERIFY(upload != requests.cend());
    QCOMPARE(upload->body, QByteArray(R"([{"eventTime":70,"eventType":2,"id":7}])"));
    QCOMPARE(messages()->selectMsgNotifyInfoRecordById(50)->notify_times, 1u);
}

void TestEngine::failedFetchStillShowsStoredMessages_data()
{
    QTest::addColumn<HttpResponse>("response");
    QTest::addColumn<QString>("warning");

    HttpResponse down;
    down.mode = HttpResponse::Mode::Reset;
    QTest::newRow("server down") << down << QStringLiteral("^GET NetworkReply failed: ");
    QTest::newRow("garbage") << HttpResponse::json("\x01\x02 not json")
                             << QStringLiteral("^Parse MsgNotifyInfos failed: ");
    QTest::newRow("empty datas") << HttpResponse::json(
                                        R"({"status":200,"datas":[],"hasNextPage":1})")
                                 << QStringLiteral("^Parse MsgNotifyInfos failed: empty datas:");
}

void TestEngine::failedFetchStillShowsStoredMessages()
{
    QFETCH(HttpResponse, response);
    QFETCH(QString, warning);
    {
        QMutexLocker locker(&m_mutex);
        m_useListOverride = true;
        m_listOverride = response;
    }
    const qint64 stampBefore = Singleton<Config>::instance()->lastModified();
    seed(20, now() + 3600, 0, false, image(QStringLiteral("20.png")));
    seed(21, now() + 3600, 5);

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
    QVERIFY(runCycle());
    const auto calls = m_notifications->calls();
    QCOMPARE(calls.size(), 1);
    QCOMPARE(calls.first().summary, QStringLiteral("title 20"));
    QCOMPARE(calls.first().appIcon, cached(QStringLiteral("20.png")));
    // Pruned: the row shown five times.
    QVERIFY(!messages()->selectMsgNotifyInfoRecordById(21));
    QCOMPARE(Singleton<Config>::instance()->lastModified(), stampBefore);
    QCOMPARE(queuedEvents(), (QList<QPair<int, int>>{{20, 2}}));
}

// After the prune the cache keeps the images of stored messages only; links and folders stay, and
// so does whatever a link points to.
void TestEngine::imageCacheKeepsStoredImagesOnly()
{
    seed(70, now() + 3600, 0, true, image(QStringLiteral("kept.png")));
    const QDir cache(Singleton<ImgDownloadManager>::instance()->imgDir());
    const QString outside = TestEnvironment::instance()->root() + QStringLiteral("/outside.png");
    for (const QString& path :
         {cache.filePath(QStringLiteral("kept.png")), cache.filePath(QStringLiteral("gone.png")),
          cache.filePath(QStringLiteral(".hidden")), outside}) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QVERIFY(QFile::link(outside, cache.filePath(QStringLiteral("link.png"))));
    QVERIFY(cache.mkpath(QStringLiteral("folder")));
    {
        QMutexLocker locker(&m_mutex);
        m_useListOverride = true;
        m_listOverride = HttpResponse();
        m_listOverride.status = 304;
    }
    QTest::ignoreMessage(QtWarningMsg, "Parse MsgNotifyInfos failed: ");
    QVERIFY(runCycle());
    QCOMPARE(cache.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                             QDir::Name),
             QStringList({QStringLiteral("folder"), QStringLiteral("kept.png"),
                          QStringLiteral("link.png")}));
    QVERIFY(QFileInfo::exists(outside));
    QVERIFY(QDir(cache.filePath(QStringLiteral("folder"))).removeRecursively());
    QVERIFY(QFile::remove(cache.filePath(QStringLiteral("link.png"))));
}

// Two messages share an image URL: it is fetched once, and its verdict holds for both, though
// a second request for it would have failed.
void TestEngine::sharedImage()
{
    m_sharedImageRequests = 0;
    {
        QMutexLocker locker(&m_mutex);
        m_pages = {
            pageBody({message(80, 9, QString(), image(QStringLiteral("shared.png")), now() + 3600),
                      message(81, 9, QString(), image(QStringLiteral("shared.png")), now() + 3600)},
                     0)};
    }
    QVERIFY(runCycle());
    QCOMPARE(m_sharedImageRequests, 1);
    for (int id : {80, 81}) {
        QVERIFY(messages()->selectMsgNotifyInfoRecordById(id)->image_downloaded);
    }
    const auto calls = m_notifications->calls();
    QCOMPARE(calls.size(), 2);
    for (const auto& call : calls) {
        QCOMPARE(call.appIcon, cached(QStringLiteral("shared.png")));
    }
}

// A message is due up to and including the second its end time names.
void TestEngine::lastSecondOfAMessage()
{
    const auto shown = [this](int id) {
        const auto calls = m_notifications->calls();
        return std::any_of(calls.cbegin(), calls.cend(), [id](const auto& call) {
            return call.summary == QStringLiteral("title %1").arg(id);
        });
    };
    for (int id = 90; id < 95; ++id) {
        // Starts right after a second begins, so that the pass checks within it.
        const qint64 before = now();
        QVERIFY(QTest::qWaitFor([&] { return now() > before; }, 2000));
        const qint64 second = now();
        seed(id, second);
        QVERIFY(QMetaObject::invokeMethod(engine(), "slotSendMsgNotification"));
        if (now() == second) {
            QTRY_VERIFY(shown(id));
            return;
        }
        // Too late to tell: this pass ends before the next one starts.
        (void)QTest::qWaitFor([&] { return shown(id); }, 1000);
    }
    QSKIP("the pass never ran within the second it began in");
}

void TestEngine::closing_data()
{
    QTest::addColumn<uint>("reason");
    QTest::addColumn<bool>("ours");
    QTest::addColumn<bool>("read");
    QTest::newRow("expired") << 1u << true << false;
    QTest::newRow("dismissed by the user") << 2u << true << false;
    QTest::newRow("closed by CloseNotification") << 3u << true << true;
    QTest::newRow("someone else's notification") << 3u << false << false;
}

// Each closing arrives twice, for a bubble id the notification service gave out anew after a
// restart: message 29 still holds it from before, message 30 was just shown under it.
void TestEngine::closing()
{
    QFETCH(uint, reason);
    QFETCH(bool, ours);
    QFETCH(bool, read);

    seed(29, now() - 10);
    messages()->updateMsgNotifyInfoRecordFieldReplaceId(29, 500);
    seed(30, now() + 3600);
    m_notifications->setNextId(500);
    QVERIFY(runCycle());
    QCOMPARE(messages()->selectMsgNotifyInfoRecordById(30)->replace_id, 500u);

    // Message 31's closing comes last from the same sender: once it is read, the others are in.
    seed(31, now() - 10);
    messages()->updateMsgNotifyInfoRecordFieldReplaceId(31, 900);
    for (int i = 0; i < 2; ++i) {
        m_notifications->close(ours ? 500 : 501, reason);
    }
    m_notifications->close(900, 3);
    QTRY_VERIFY(messages()->selectMsgNotifyInfoRecordById(31)->msg_read);
    QCOMPARE(messages()->selectMsgNotifyInfoRecordById(30)->msg_read, read);
    QVERIFY(!messages()->selectMsgNotifyInfoRecordById(29)->msg_read);
    QList<QPair<int, int>> expected{{30, 2}};
    if (read) {
        expected.append({30, 3});
        QVERIFY(qAbs(events()->selectMsgEventInfoRecords().last().eventTime - now()) <= 5);
    }
    expected.append({31, 3});
    QCOMPARE(queuedEvents(), expected);

    // The next pass skips a read message (and the clean-up removes it).
    m_notifications->clearCalls();
    QVERIFY(runCycle());
    QCOMPARE(m_notifications->callCount(), read ? 0 : 1);
}

void TestEngine::reports()
{
    // An empty queue sends nothing (the count of requests at the end says so).
    engine()->slotReportMsgEventInfos();

    // A refused batch stays, each row counted once more.
    {
        QMutexLocker locker(&m_mutex);
        m_reportResponse = HttpResponse::json(R"({"status":500,"desc":"later"})");
    }
    events()->insertMsgEventInfoRecord(MsgEventInfo(1, 10, 1));
    events()->insertMsgEventInfoRecord(MsgEventInfo(2, 20, 2));
    QTest::ignoreMessage(QtWarningMsg, "parseReportMsgNotifyInfo failed, code: 500, msg: later");
    engine()->slotReportMsgEventInfos();
    const QList<int> rows = events()->selectMsgEventInfoRecords().keys();
    QTRY_COMPARE(events()->selectMsgEventInfoRecordById(rows.first())->retry_times, 1);
    QCOMPARE(events()->selectMsgEventInfoRecordById(rows.last())->retry_times, 1);
    QCOMPARE(
        m_server->requests().first().body,
        QByteArray(
            R"([{"eventTime":10,"eventType":1,"id":1},{"eventTime":20,"eventType":2,"id":2}])"));

    // Accepted: the rows go.
    {
        QMutexLocker locker(&m_mutex);
        m_reportResponse = HttpResponse::json(R"({"status":200})");
    }
    engine()->slotReportMsgEventInfos();
    QTRY_VERIFY(events()->selectMsgEventInfoRecords().isEmpty());
    QCOMPARE(m_server->requestCount(), 2);
}

// Calls that come before the queued cycle has started join it: one fetch, one pass.
void TestEngine::burstJoinsTheQueuedCycle()
{
    {
        QMutexLocker locker(&m_mutex);
        m_pages = {pageBody({message(40, 9, QString(), QString(), now() + 3600),
                             message(41, 9, QString(), QString(), now() + 3600)},
                            0)};
        m_lastModified = {"77"};
    }
    events()->insertMsgEventInfoRecord(MsgEventInfo(5, 5, 2));

    const qsizetype before = m_spy->count();
    for (int i = 0; i < 5; ++i) {
        m_service->QueryNotifications();
    }
    QVERIFY(waitForCycleEnd(before));
    int posts = 0;
    int gets = 0;
    for (const HttpRequest& request : m_server->requests()) {
        posts += request.method == "POST" ? 1 : 0;
        gets += request.path().endsWith("msgNotifyInfos") ? 1 : 0;
    }
    QCOMPARE(posts, 1);
    QCOMPARE(gets, 1);
    QCOMPARE(m_notifications->callCount(), 2);
    QCOMPARE(messages()->selectMsgNotifyInfoRecordById(40)->notify_times, 1u);
    QCOMPARE(messages()->selectMsgNotifyInfoRecordById(41)->notify_times, 1u);
}

// The pass waits for each answer in the event loop: in between, the service answers the bus and
// handles closings, and a bubble's rows are committed before the next bubble goes out.
void TestEngine::passLeavesTheThreadFreeBetweenBubbles()
{
    for (int id = 60; id < 64; ++id) {
        seed(id, now() + 3600);
    }
    // Row 60, shown last, still has the bubble of an earlier pass; it is closed midway.
    messages()->updateMsgNotifyInfoRecordFieldReplaceId(60, 77);
    m_notifications->setAnswerDelay(100);
    // Runs on the service's own thread, so its database connections are its own. As each bubble
    // comes in, it checks that the one before has its rows, then holds the write lock for a while
    // so that the engine's writes for this bubble wait: a next bubble sent before them is caught.
    struct Observer
    {
        QStringList sentBeforeRowsOfPrevious;
        int previous = 0;
        bool locking = false;
    };
    auto observer = std::make_shared<Observer>();
    m_notifications->setObserver([observer](uint, const RecordingNotificationServer::Call& call) {
        if (observer->previous != 0) {
            const auto row = messages()->selectMsgNotifyInfoRecordById(observer->previous);
            if (!row || row->notify_times != 1 || row->replace_id == 0 ||
                !queuedEvents().contains(qMakePair(observer->previous, 2))) {
                observer->sentBeforeRowsOfPrevious << call.summary;
            }
        }
        observer->previous = call.summary.mid(6).toInt();
        if (observer->locking) {
            return;
        }
        QSqlDatabase lock =
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("lock"));
        lock.setDatabaseName(DatabaseConnectionConfig::databaseFilePath());
        observer->locking = lock.open() && QSqlQuery(lock).exec(QStringLiteral("BEGIN IMMEDIATE"));
        QTimer::singleShot(150, [observer] {
            QSqlQuery(QSqlDatabase::database(QStringLiteral("lock")))
                .exec(QStringLiteral("ROLLBACK"));
            QSqlDatabase::removeDatabase(QStringLiteral("lock"));
            observer->locking = false;
        });
    });

    QVariant running;
    qsizetype callsWhenAnswered = -1;
    QVERIFY(runCycle([&] {
        if (!QTest::qWaitFor([&] { return m_notifications->callCount() > 0; }, 10000)) {
            return;
        }
        m_notifications->close(77, 3);
        running = property(QStringLiteral("running"));
        callsWhenAnswered = m_notifications->callCount();
    }));
    m_notifications->setObserver({});

    QCOMPARE(running, QVariant(true));
    QVERIFY2(callsWhenAnswered < 3, qPrintable(QString::number(callsWhenAnswered)));
    QStringList sent;
    for (const auto& call : m_notifications->calls()) {
        sent << call.summary;
    }
    QCOMPARE(sent, QStringList({QStringLiteral("title 63"), QStringLiteral("title 62"),
                                QStringLiteral("title 61")}));
    QCOMPARE(observer->sentBeforeRowsOfPrevious, QStringList());
    QVERIFY(messages()->selectMsgNotifyInfoRecordById(60)->msg_read);
    QList<QPair<int, int>> recorded = queuedEvents();
    std::sort(recorded.begin(), recorded.end());
    QCOMPARE(recorded, (QList<QPair<int, int>>{{60, 3}, {61, 2}, {62, 2}, {63, 2}}));
}

void TestEngine::notificationServiceFailures_data()
{
    using Mode = RecordingNotificationServer::Mode;
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QList<Mode>>("answers");
    QTest::addColumn<int>("calls");
    // Of the three messages, in the order the pass shows them.
    QTest::addColumn<QString>("shown");
    QTest::newRow("no service on the bus")
        << QStringLiteral("absent") << QList<Mode>{} << 1 << QStringLiteral("000");
    QTest::newRow("service program fails to start")
        << QStringLiteral("spawn") << QList<Mode>{} << 1 << QStringLiteral("000");
    QTest::newRow("service refuses every call")
        << QString() << QList<Mode>{Mode::Error, Mode::Error, Mode::Error} << 3
        << QStringLiteral("000");
    QTest::newRow("service refuses one call")
        << QString() << QList<Mode>{Mode::Normal, Mode::Error} << 3 << QStringLiteral("101");
    QTest::newRow("service answers 0")
        << QString() << QList<Mode>{Mode::Zero} << 3 << QStringLiteral("011");
    QTest::newRow("service leaves during a pass")
        << QStringLiteral("leave") << QList<Mode>{Mode::Normal, Mode::Normal, Mode::NeverAnswer}
        << 3 << QStringLiteral("110");
    QTest::newRow("service restarted between two passes")
        << QStringLiteral("restart") << QList<Mode>{} << 3 << QStringLiteral("111");
}

void TestEngine::notificationServiceFailures()
{
    QFETCH(QString, failure);
    QFETCH(QList<RecordingNotificationServer::Mode>, answers);
    QFETCH(int, calls);
    QFETCH(QString, shown);
    const QString serviceFile = m_serviceDir + QStringLiteral("/notifications.service");
    if (failure == QLatin1String("restart")) {
        // A pass against a working service, which then goes away and comes back.
        seed(49, now() + 3600);
        QVERIFY(runCycle());
        clearDatabase();
    }
    if (!failure.isEmpty()) {
        m_notifications->stop();
        QVERIFY(testing::waitForNameOwner(QStringLiteral("org.freedesktop.Notifications"), false));
    }
    if (failure == QLatin1String("spawn")) {
        QFile file(serviceFile);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[D-BUS Service]\nName=org.freedesktop.Notifications\nExec=/bin/false\n");
        file.close();
        QVERIFY(reloadBusConfig());
    } else if (failure == QLatin1String("leave") || failure == QLatin1String("restart")) {
        QVERIFY(m_notifications->start());
    }
    m_notifications->setAnswers(answers);
    for (int id = 50; id < 53; ++id) {
        seed(id, now() + 3600);
    }

    m_notifyCalls.reset();
    QVERIFY(runCycle([&] {
        if (failure == QLatin1String("leave")) {
            // The third call is held; the service then leaves the bus without answering it.
            if (QTest::qWaitFor([&] { return m_notifications->callCount() == 3; }, 10000)) {
                m_notifications->stop();
            }
        }
    }));
    QCOMPARE(m_notifyCalls.calls(), calls);
    // The rows the service showed record it; the others record nothing.
    QList<QPair<int, int>> shownEvents;
    for (int id = 52; id >= 50; --id) {
        const auto row = messages()->selectMsgNotifyInfoRecordById(id);
        const bool wasShown = shown.at(52 - id) == u'1';
        QCOMPARE(row->notify_times, wasShown ? 1u : 0u);
        QCOMPARE(row->replace_id != 0, wasShown);
        if (wasShown) {
            shownEvents.append({id, 2});
        }
    }
    QCOMPARE(queuedEvents(), shownEvents);

    if (QFile::exists(serviceFile)) {
        QVERIFY(QFile::remove(serviceFile));
        QVERIFY(reloadBusConfig());
    }
    if (!testing::waitForNameOwner(QStringLiteral("org.freedesktop.Notifications"), true, 0)) {
        QVERIFY(m_notifications->start());
        QVERIFY(testing::waitForNameOwner(QStringLiteral("org.freedesktop.Notifications")));
    }
}

QMN_TEST_MAIN(TestEngine)
#include "tst_engine.moc"
