#include "common/config.h"
#include "common/data.h"
#include "http/img_download.h"
#include "loopback_http_server.h"
#include "recording_notification_server.h"
#include "test_environment.h"

#include <QDBusConnectionInterface>
#include <QDBusPendingCall>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlQuery>

#include <csignal>

// Kills the stand-alone service with SIGKILL at random moments of its cycles and checks what
// it leaves behind after each kill.
namespace {
const QString kService = "com.quorin.MsgNotification";
constexpr int kKills = 100;

// 200 KiB of the image's digit: a torn file is short, a mixed-up one shows.
QByteArray imageBytes(const QByteArray& name)
{
    return QByteArray(200 * 1024, name.at(0));
}

// A last page of five due messages with an image each, as the message server sends it.
QByteArray duePage(const QString& imageBase)
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    QJsonArray datas;
    for (int id = 1; id <= 5; ++id) {
        datas.append(QJsonObject{{"id", id},
                                 {"title", QStringLiteral("t%1").arg(id)},
                                 {"startTime", now - 60},
                                 {"endTime", now + 86400},
                                 {"imgUrl", imageBase + QStringLiteral("/img/%1.png").arg(id)}});
    }
    return QJsonDocument(QJsonObject{{"status", 200}, {"datas", datas}, {"hasNextPage", 0}})
        .toJson(QJsonDocument::Compact);
}

// The rows of a query on the service's database, as strings joined by '|'.
QStringList rows(const QString& sql)
{
    QStringList result;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "check");
        db.setDatabaseName(qEnvironmentVariable("XDG_DATA_HOME") +
                           "/quorin/quorin-msg-notification/msg_notify.db");
        QSqlQuery query(db);
        if (db.open() && query.exec(sql)) {
            while (query.next()) {
                result << query.value(0).toString() + '|' + query.value(1).toString();
            }
        }
    }
    QSqlDatabase::removeDatabase("check");
    return result;
}
} // namespace

class TestCrash : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void killedAtRandomMoments();
    void endsWithItsBus_data();
    void endsWithItsBus();

private:
    std::unique_ptr<LoopbackHttpServer> m_server;
    std::unique_ptr<RecordingNotificationServer> m_notifications;
    QMutex m_mutex;
    QSet<QString> m_accepted;               // event bodies
    QList<QPair<QString, uint>> m_answered; // summary, id: what the service answered this run
    // Every other run is killed the moment the service receives this bubble (0 = first).
    int m_killAtBubble = -1;
    qint64 m_pid = 0;
};

void TestCrash::initTestCase()
{
    m_server = std::make_unique<LoopbackHttpServer>();
    const QString base = m_server->baseUrl();
    m_server->setHandler([this, base](const HttpRequest& request) {
        if (request.path().startsWith("/img/")) {
            HttpResponse image;
            image.body = imageBytes(request.path().mid(5));
            return image;
        }
        if (request.method == "POST") {
            QMutexLocker locker(&m_mutex);
            for (const QJsonValue& event : QJsonDocument::fromJson(request.body).array()) {
                m_accepted.insert(QString::fromUtf8(
                    QJsonDocument(event.toObject()).toJson(QJsonDocument::Compact)));
            }
            return HttpResponse::json(R"({"status":200})");
        }
        // Always news, so that every cycle stores, records and shows.
        HttpResponse page = HttpResponse::json(duePage(base));
        page.addHeader("Last-Modified", QByteArray::number(QDateTime::currentMSecsSinceEpoch()));
        return page;
    });
    QSettings(Config::configFilePath(), QSettings::IniFormat).setValue("server", base);
    m_notifications = std::make_unique<RecordingNotificationServer>();
    // A pass of five bubbles then takes long enough for many kills to land inside it.
    m_notifications->setAnswerDelay(20);
    m_notifications->setObserver([this](uint id, const RecordingNotificationServer::Call& call) {
        QMutexLocker locker(&m_mutex);
        m_answered.append({call.summary, id});
        if (m_answered.size() - 1 == m_killAtBubble && m_pid > 0) {
            ::kill(pid_t(std::exchange(m_pid, 0)), SIGKILL);
        }
    });
    QVERIFY(m_notifications->start());
}

void TestCrash::killedAtRandomMoments()
{
    QRandomGenerator random(20261206);
    int snapshotEvents = 0;
    int images = 0;
    int midPass = 0;
    for (int kill = 0; kill < kKills; ++kill) {
        // Whatever the last child sent the notification service before it died has been
        // handled before the count starts again.
        QVERIFY(testing::notificationRoundTrip());
        m_notifications->clearCalls();
        const bool atBubble = kill % 2 == 1;
        {
            QMutexLocker locker(&m_mutex);
            m_answered.clear();
            m_killAtBubble = atBubble ? 1 + int(random.bounded(4)) : -1;
        }
        // The bubble ids a run leaves are the same service's: the next run replaces them.
        QHash<QString, uint> bubbles;
        for (const QString& row : rows("SELECT id, replace_id FROM msg_notify_info")) {
            bubbles.insert('t' + row.section('|', 0, 0), row.section('|', 1).toUInt());
        }
        // A process killed as it took the settings file's lock leaves it empty behind.
        if (kill == 1) {
            QFile(Config::configFilePath() + ".lock").open(QIODevice::WriteOnly);
        }
        const qint64 childStart = QDateTime::currentSecsSinceEpoch();
        auto service = testing::makeProcess(QMN_STANDALONE_PATH, {});
        // Its log tells where a run that does not reach its bubble stalled; each statement's
        // debug line would hide it.
        const QString log = TestEnvironment::instance()->root() + "/service.log";
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_LOGGING_RULES", "com.quorin.MsgNotification.database.debug=false");
        service->setProcessEnvironment(environment);
        service->setProcessChannelMode(QProcess::MergedChannels);
        service->setStandardOutputFile(log);
        service->start();
        QVERIFY(service->waitForStarted());
        {
            QMutexLocker locker(&m_mutex);
            m_pid = service->processId();
        }
        QVERIFY(testing::waitForNameOwner(kService));
        QDBusConnection::sessionBus().asyncCall(QDBusMessage::createMethodCall(
            kService, "/com/quorin/MsgNotification", kService, "QueryNotifications"));
        // What is committed at the moment of the kill must survive it.
        QStringList committed;
        if (atBubble) {
            // A pass takes a tenth of a second, even on a busy machine: one that has not come
            // by far has stalled.
            const bool killed = testing::waitFor(
                [&] { return service->state() == QProcess::NotRunning; }, testing::kCycleMs);
            QFile file(log);
            file.open(QIODevice::ReadOnly);
            QMutexLocker locker(&m_mutex);
            QVERIFY2(killed,
                     qPrintable(QStringLiteral("run %1: %2 bubbles of %3 answered; log:\n%4")
                                    .arg(kill)
                                    .arg(m_answered.size())
                                    .arg(m_killAtBubble + 1)
                                    .arg(QString::fromUtf8(file.readAll().right(700)))));
        } else {
            QTest::qWait(int(random.bounded(250)));
            committed = rows("SELECT id, body FROM msg_event_info");
            ::kill(pid_t(service->processId()), SIGKILL);
            QVERIFY(service->waitForFinished());
        }
        QVERIFY(testing::waitForNameOwner(kService, false));

        // Afterwards: an intact file and every committed event still queued or accepted.
        QCOMPARE(rows("PRAGMA integrity_check"), QStringList{"ok|"});
        const QStringList queued = rows("SELECT id, body FROM msg_event_info");
        QMutexLocker locker(&m_mutex);
        for (const QString& event : std::as_const(committed)) {
            QVERIFY2(queued.contains(event) || m_accepted.contains(event.section('|', 1)),
                     qPrintable(event));
        }
        snapshotEvents += int(committed.size());

        // Every bubble the service answered and that was followed by another one has its rows
        // and its shown event: the next bubble only goes out once they are committed. Only the
        // last one may have been killed between its answer and its rows.
        const auto calls = m_notifications->calls();
        for (const auto& call : calls) {
            QCOMPARE(call.replacesId, bubbles.value(call.summary));
        }
        const qsizetype received = calls.size();
        midPass += received > 0 && received < 5 ? 1 : 0;
        const QStringList stored = rows("SELECT id, notify_times || ' ' || replace_id "
                                        "FROM msg_notify_info");
        for (qsizetype i = 0; i + 1 < received; ++i) {
            const int id = m_answered.at(i).first.mid(1).toInt();
            QVERIFY(
                stored.contains(QStringLiteral("%1|1 %2").arg(id).arg(m_answered.at(i).second)));
            const auto shown = [&](const QString& body) {
                const QJsonObject event = QJsonDocument::fromJson(body.toUtf8()).object();
                return event.value("id").toInt() == id &&
                       event.value("eventType").toInt() == int(EventKind::Shown) &&
                       event.value("eventTime").toInteger() >= childStart;
            };
            QVERIFY(std::any_of(queued.cbegin(), queued.cend(),
                                [&](const QString& row) { return shown(row.section('|', 1)); }) ||
                    std::any_of(m_accepted.cbegin(), m_accepted.cend(), shown));
        }

        // Only whole images under their final names.
        const QDir cache(qEnvironmentVariable("XDG_DATA_HOME") +
                         "/quorin/quorin-msg-notification/images");
        for (int id = 1; id <= 5; ++id) {
            const QByteArray name = QByteArray::number(id) + ".png";
            QFile file(
                ImgDownload::localImagePath(cache.path(), m_server->baseUrl() + "/img/" + name));
            if (file.open(QIODevice::ReadOnly)) {
                QVERIFY2(file.readAll() == imageBytes(name), name.constData());
                ++images;
            }
        }
    }
    qInfo("%d kills, %d within a pass; %d committed events kept through a kill; %d images whole",
          kKills, midPass, snapshotEvents, images);
    QVERIFY(midPass > 0);
}

void TestCrash::endsWithItsBus_data()
{
    QTest::addColumn<bool>("nameTaken");
    QTest::addColumn<int>("runs");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("the bus goes away") << false << 1 << 0;
    // Its workers start with it and must end with it: a crash at exit shows in some runs only.
    QTest::newRow("another process has the name") << true << 20 << 1;
}

// A stand-alone service that nobody can reach any more ends, cleanly.
void TestCrash::endsWithItsBus()
{
    QFETCH(bool, nameTaken);
    QFETCH(int, runs);
    QFETCH(int, exitCode);
    std::unique_ptr<QProcess> bus;
    QString address;
    QVERIFY(TestEnvironment::instance()->startSpareBus(bus, &address));
    const QString name = QString::fromLatin1(QTest::currentDataTag());
    QDBusConnection other = QDBusConnection::connectToBus(address, name);
    const auto cleanup = qScopeGuard([&] {
        QDBusConnection::disconnectFromBus(name);
        bus->kill();
        bus->waitForFinished();
    });
    QVERIFY(!nameTaken || other.registerService(kService));

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DBUS_SESSION_BUS_ADDRESS", address);
    for (int run = 0; run < runs; ++run) {
        auto service = testing::makeProcess(QMN_STANDALONE_PATH, {});
        service->setProcessEnvironment(environment);
        service->setStandardOutputFile(QProcess::nullDevice());
        service->setStandardErrorFile(QProcess::nullDevice());
        service->start();
        QVERIFY(service->waitForStarted());
        if (!nameTaken) {
            QMN_TRY_VERIFY(other.interface()->isServiceRegistered(kService).value(),
                           testing::kAtOnceMs);
            bus->kill();
        }
        QVERIFY(service->waitForFinished(testing::kAtOnceMs));
        QCOMPARE(service->exitStatus(), QProcess::NormalExit);
        QCOMPARE(service->exitCode(), exitCode);
    }
}

QMN_TEST_MAIN(TestCrash)
#include "tst_crash.moc"
