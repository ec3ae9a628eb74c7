#include "common/config.h"
#include "common/singleton.h"
#include "database/msg_event_info_table.h"
#include "database/msg_notify_info_table.h"
#include "dbus/dbus_interface.h"
#include "http/img_download_manager.h"
#include "loopback_http_server.h"
#include "notification/notification_interface.h"
#include "properties_changed_spy.h"
#include "recording_notification_server.h"
#include "test_environment.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>

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

// Counts the queued slot invocations that reach an object.
class QueuedCallCounter : public QObject
{
public:
    explicit QueuedCallCounter(QObject* target) { target->installEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        count += event->type() == QEvent::MetaCall ? 1 : 0;
        return false;
    }
};
} // namespace

class TestEngine : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void wholeCycleThroughTheBus();
    void failedFetchStillShowsStoredMessages_data();
    void failedFetchStillShowsStoredMessages();
    void closing_data();
    void closing();
    void reports();
    void reportInFlightKeepsItsOwnBatch();
    void queriesWhileRunningAndInQuickSuccession();
    void notifyByName();
    void notificationServiceFailures_data();
    void notificationServiceFailures();
    void serviceFallsSilentDuringAPass();

private:
    void clearDatabase();
    bool runCycle(int timeoutMs = 20000);
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
    QDBusConnection m_client{QString()};
    QList<qsizetype> m_notifyCountAtRunningFalse;

    // What the message server answers.
    QMutex m_mutex;
    QList<QByteArray> m_pages;
    QList<QByteArray> m_lastModified;
    HttpResponse m_listOverride;
    bool m_useListOverride = false;
    HttpResponse m_reportResponse;
};

void TestEngine::initTestCase()
{
    m_server = std::make_unique<LoopbackHttpServer>();
    QVERIFY(m_server->isListening());
    m_server->setHandler([this](const HttpRequest& request) {
        QMutexLocker locker(&m_mutex);
        if (request.path().startsWith("/img/")) {
            if (request.path().contains("missing")) {
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
    // Outstanding verdicts of an earlier case land before this one starts.
    QTest::qWait(100);
    clearDatabase();
    m_notifications->setMode(RecordingNotificationServer::Mode::Normal);
    m_notifications->setAnswerLimit(-1);
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

bool TestEngine::runCycle(int timeoutMs)
{
    const qsizetype before = m_spy->count();
    const QDBusMessage reply = testing::call(
        m_client, QDBusMessage::createMethodCall(kService, kPath, kService,
                                                 QStringLiteral("QueryNotifications")));
    if (reply.type() != QDBusMessage::ReplyMessage) {
        return false;
    }
    return QTest::qWaitFor([&] { return m_spy->count() >= before + 2 && !engine()->running(); },
                           timeoutMs);
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

void TestEngine::closing_data()
{
    QTest::addColumn<bool>("knownId");
    QTest::addColumn<uint>("reason");
    QTest::addColumn<bool>("read");
    QTest::newRow("expired") << true << 1u << false;
    QTest::newRow("dismissed by the user") << true << 2u << false;
    QTest::newRow("closed by CloseNotification") << true << 3u << true;
    QTest::newRow("reserved reason") << true << 4u << false;
    QTest::newRow("someone else's notification") << false << 3u << false;
}

void TestEngine::closing()
{
    QFETCH(bool, knownId);
    QFETCH(uint, reason);
    QFETCH(bool, read);

    seed(30, now() + 3600);
    QVERIFY(runCycle());
    const uint bubble = messages()->selectMsgNotifyInfoRecordById(30)->replace_id;
    QVERIFY(bubble != 0);
    clearDatabase();
    seed(30, now() + 3600);
    messages()->updateMsgNotifyInfoRecordFieldReplaceId(30, bubble);

    m_notifications->close(knownId ? bubble : bubble + 1000, reason);
    // A later signal from the same sender, as a marker that the first has been handled.
    m_notifications->close(999999, 3);
    QTest::qWait(200);
    QCOMPARE(messages()->selectMsgNotifyInfoRecordById(30)->msg_read, read);
    QCOMPARE(queuedEvents().size(), read ? 1 : 0);
    if (read) {
        QCOMPARE(queuedEvents().first(), qMakePair(30, 3));
        QVERIFY(qAbs(events()->selectMsgEventInfoRecords().first().eventTime - now()) <= 5);
    }

    // The next pass skips a read message (and the clean-up removes it).
    m_notifications->clearCalls();
    QVERIFY(runCycle());
    QCOMPARE(m_notifications->callCount(), read ? 0 : 1);
}

void TestEngine::reports()
{
    // An empty queue sends nothing.
    engine()->slotReportMsgEventInfos();
    QTest::qWait(200);
    QCOMPARE(m_server->requestCount(), 0);

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

void TestEngine::reportInFlightKeepsItsOwnBatch()
{
    {
        QMutexLocker locker(&m_mutex);
        m_reportResponse = HttpResponse::json(R"({"status":200})");
        m_reportResponse.delayMs = 800;
    }
    events()->insertMsgEventInfoRecord(MsgEventInfo(1, 10, 1));
    engine()->slotReportMsgEventInfos();
    QTRY_COMPARE(m_server->requestCount(), 1);
    // Recorded while the first batch is unanswered: a second report sends nothing.
    events()->insertMsgEventInfoRecord(MsgEventInfo(2, 20, 3));
    engine()->slotReportMsgEventInfos();
    QTRY_COMPARE(queuedEvents().size(), 1);
    QCOMPARE(queuedEvents().first(), qMakePair(2, 3));
    QTest::qWait(300);
    QCOMPARE(m_server->requestCount(), 1);
    QCOMPARE(events()->selectMsgEventInfoRecords().first().eventType, 3);

    // The next report carries what waited.
    engine()->slotReportMsgEventInfos();
    QTRY_VERIFY(queuedEvents().isEmpty());
    QCOMPARE(m_server->requestCount(), 2);
}

void TestEngine::queriesWhileRunningAndInQuickSuccession()
{
    {
        QMutexLocker locker(&m_mutex);
        m_pages = {pageBody({message(40, 9, QString(), QString(), now() + 3600)}, 0)};
        m_lastModified = {"77"};
    }
    events()->insertMsgEventInfoRecord(MsgEventInfo(5, 5, 2));

    // While a cycle runs, nothing is queued.
    engine()->setRunning(true);
    QueuedCallCounter whileRunning(engine());
    m_service->QueryNotifications();
    QCoreApplication::sendPostedEvents(engine(), QEvent::MetaCall);
    QCOMPARE(whileRunning.count, 0);
    engine()->setRunning(false);

    // Two calls before the first queued slot runs: two reports and two fetches.
    QueuedCallCounter burst(engine());
    const qsizetype postsBefore = m_server->requestCount();
    m_service->QueryNotifications();
    m_service->QueryNotifications();
    QCoreApplication::sendPostedEvents(engine(), QEvent::MetaCall);
    QVERIFY(burst.count >= 4);
    QTRY_VERIFY_WITH_TIMEOUT(!engine()->running(), 20000);
    QTest::qWait(300);
    int posts = 0;
    int gets = 0;
    const QList<HttpRequest> requests = m_server->requests().mid(postsBefore);
    for (const HttpRequest& request : requests) {
        posts += request.method == "POST" ? 1 : 0;
        gets += request.path().endsWith("msgNotifyInfos") ? 1 : 0;
    }
    // The second report found the first one unanswered and sent nothing.
    QCOMPARE(posts, 1);
    QCOMPARE(gets, 2);
}

void TestEngine::notifyByName()
{
    uint id = 0;
    QVERIFY(QMetaObject::invokeMethod(engine(), "Notify", Q_RETURN_ARG(uint, id),
                                      Q_ARG(QString, QStringLiteral("s")),
                                      Q_ARG(QString, QStringLiteral("b"))));
    QVERIFY(id != 0);
    QVERIFY(QMetaObject::invokeMethod(
        engine(), "Notify", Q_RETURN_ARG(uint, id), Q_ARG(QString, QStringLiteral("s2")),
        Q_ARG(QString, QStringLiteral("b2")), Q_ARG(QString, QString()), Q_ARG(uint, 0u),
        Q_ARG(QStringList, QStringList({QStringLiteral("/usr/bin/xdg-open"),
                                        QStringLiteral("https://a.test/x?y=1")}))));
    const auto calls = m_notifications->calls();
    QCOMPARE(calls.size(), 2);
    QCOMPARE(calls.at(0).appIcon, QStringLiteral("quorin-msg-notification"));
    QCOMPARE(calls.at(0).replacesId, 0u);
    QVERIFY(calls.at(0).hints.contains(QStringLiteral("x-quorin-action-default")));
    QCOMPARE(calls.at(0).hint(), QString());
    QCOMPARE(calls.at(1).appIcon, QString());
    QCOMPARE(calls.at(1).hint(), QStringLiteral("/usr/bin/xdg-open,https://a.test/x?y=1"));
}

void TestEngine::notificationServiceFailures_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("received");
    QTest::newRow("no service on the bus") << -1 << 0;
    QTest::newRow("service answers with an error")
        << int(RecordingNotificationServer::Mode::Error) << 3;
    QTest::newRow("service never answers")
        << int(RecordingNotificationServer::Mode::NeverAnswer) << 1;
    QTest::newRow("service restarted between two passes") << -2 << 3;
}

void TestEngine::notificationServiceFailures()
{
    QFETCH(int, mode);
    QFETCH(int, received);
    const bool restart = mode == -2;
    if (restart) {
        // A pass against a working service, which then goes away and comes back.
        seed(49, now() + 3600);
        QVERIFY(runCycle());
        m_notifications->stop();
        QVERIFY(testing::waitForNameOwner(QStringLiteral("org.freedesktop.Notifications"), false));
        m_notifications->clearCalls();
        clearDatabase();
        QVERIFY(m_notifications->start());
    } else if (mode < 0) {
        m_notifications->stop();
        QVERIFY(testing::waitForNameOwner(QStringLiteral("org.freedesktop.Notifications"), false));
    } else {
        m_notifications->setMode(RecordingNotificationServer::Mode(mode));
    }
    for (int id = 50; id < 53; ++id) {
        seed(id, now() + 3600);
    }

    QElapsedTimer pass;
    pass.start();
    QVERIFY(runCycle(30000));
    // A silent service holds the engine's thread once per pass, for at most its 5 s limit.
    QVERIFY(pass.elapsed() < 5000 + 3000);
    QCOMPARE(m_notifications->callCount(), received);
    // The service keeps answering its own bus methods.
    const QDBusMessage version = testing::call(
        m_client, QDBusMessage::createMethodCall(kService, kPath,
                                                 QStringLiteral("org.freedesktop.DBus.Properties"),
                                                 QStringLiteral("Get"))
                      << kService << QStringLiteral("version"));
    QCOMPARE(version.type(), QDBusMessage::ReplyMessage);
    if (restart) {
        // The restarted service shows everything again.
        for (int id = 50; id < 53; ++id) {
            QCOMPARE(messages()->selectMsgNotifyInfoRecordById(id)->notify_times, 1u);
        }
        QCOMPARE(queuedEvents().size(), 3);
        return;
    }
    for (int id = 50; id < 53; ++id) {
        const auto row = messages()->selectMsgNotifyInfoRecordById(id);
        QCOMPARE(row->notify_times, 0u);
        QCOMPARE(row->replace_id, 0u);
    }
    QCOMPARE(queuedEvents().size(), 0);

    uint id = 1;
    QVERIFY(QMetaObject::invokeMethod(engine(), "Notify", Q_RETURN_ARG(uint, id),
                                      Q_ARG(QString, QStringLiteral("s")),
                                      Q_ARG(QString, QStringLiteral("b"))));
    QCOMPARE(id, 0u);

    if (mode < 0) {
        QVERIFY(m_notifications->start());
        QVERIFY(testing::waitForNameOwner(QStringLiteral("org.freedesktop.Notifications")));
    }
}

// The next bubble goes out before the rows of the one just answered are written: those rows must
// still be written when the next call is never answered.
void TestEngine::serviceFallsSilentDuringAPass()
{
    const int answered = 2;
    for (int id = 60; id < 64; ++id) {
        seed(id, now() + 3600);
    }
    m_notifications->setAnswerLimit(answered);
    QVERIFY(runCycle(30000));
    QCOMPARE(m_notifications->callCount(), answered + 1);

    QList<QPair<int, int>> shown;
    for (int id = 63; id >= 60; --id) {
        const auto row = messages()->selectMsgNotifyInfoRecordById(id);
        const bool wasShown = id > 63 - answered;
        QCOMPARE(row->notify_times, wasShown ? 1u : 0u);
        QCOMPARE(row->replace_id != 0, wasShown);
        if (wasShown) {
            shown.append({id, 2});
        }
    }
    QCOMPARE(queuedEvents(), shown);
}

QMN_TEST_MAIN(TestEngine)
#include "tst_engine.moc"
