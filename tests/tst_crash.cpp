#include "common/config.h"
#include "loopback_http_server.h"
#include "recording_notification_server.h"
#include "test_environment.h"

#include <QDBusConnectionInterface>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlQuery>

#include <csignal>

namespace {
const QString kService = "com.quorin.MsgNotification";
const QString kPath = "/com/quorin/MsgNotification";
constexpr int kKills = 100;

QByteArray imageBytes(const QByteArray& name)
{
    QByteArray bytes(200 * 1024, Qt::Uninitialized);
    const uint seed = qHash(name);
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        bytes[i] = char((i * 131 + seed) & 0xff);
    }
    return bytes;
}
} // namespace

// Kills the stand-alone service with SIGKILL at random moments of its cycles and checks what
// it leaves behind after each kill.
class TestCrash : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void killedAtRandomMoments();

private:
    void checkAnsweredBubbles(QSqlDatabase& db, qint64 childStart, const QList<QByteArray>& queued,
                              int& midPass);

    QString dataDir() const
    {
        return qEnvironmentVariable("XDG_DATA_HOME") + "/quorin/quorin-msg-notification";
    }

    std::unique_ptr<LoopbackHttpServer> m_server;
    std::unique_ptr<RecordingNotificationServer> m_notifications;
    QMutex m_mutex;
    QMultiMap<QByteArray, int> m_accepted;  // event body -> count
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
                m_accepted.insert(QJsonDocument(event.toObject()).toJson(QJsonDocument::Compact),
                                  1);
            }
            return HttpResponse::json(R"({"status":200})");
        }
        // Always news, so that every cycle stores, records and shows.
        HttpResponse page = HttpResponse::json(testing::duePage(1, 5, base));
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

// Every bubble the service answered and that was followed by another one has its rows: the
// next bubble only goes out once they are committed. Only the last one may have been killed
// between its answer and its rows.
void TestCrash::checkAnsweredBubbles(QSqlDatabase& db, qint64 childStart,
                                     const QList<QByteArray>& queued, int& midPass)
{
    QMutexLocker locker(&m_mutex);
    const qsizetype received = m_notifications->callCount();
    midPass += received > 0 && received < 5 ? 1 : 0;
    for (qsizetype i = 0; i + 1 < received; ++i) {
        const QString summary = m_answered.at(i).first;
        const int id = summary.mid(1).toInt();
        QSqlQuery row(db);
        row.prepare("SELECT notify_times, replace_id FROM msg_notify_info WHERE id = ?");
        row.addBindValue(id);
        QVERIFY(row.exec() && row.next());
        QVERIFY2(row.value(0).toInt() == 1 && row.value(1).toUInt() == m_answered.at(i).second,
                 qPrintable(summary));
        auto shownSince = [&](const QByteArray& body) {
            const QJsonObject event = QJsonDocument::fromJson(body).object();
            return event.value("id").toInt() == id && event.value("eventType").toInt() == 2 &&
                   event.value("eventTime").toInteger() >= childStart;
        };
        const QList<QByteArray> accepted = m_accepted.keys();
        QVERIFY2(std::any_of(queued.cbegin(), queued.cend(), shownSince) ||
                     std::any_of(accepted.cbegin(), accepted.cend(), shownSince),
                 qPrintable(summary));
    }
}

void TestCrash::killedAtRandomMoments()
{
    QRandomGenerator random(20261206);
    int snapshotEvents = 0;
    int stillQueued = 0;
    int images = 0;
    int midPass = 0;
    for (int kill = 0; kill < kKills; ++kill) {
        // A round trip to the notification service: whatever the last child sent it before it
        // died has been handled before the count starts again.
        QCOMPARE(testing::call(QDBusConnection::sessionBus(),
                               QDBusMessage::createMethodCall("org.freedesktop.Notifications",
                                                              "/org/freedesktop/Notifications",
                                                              "org.freedesktop.Notifications",
                                                              "GetCapabilities"))
                     .type(),
                 QDBusMessage::ReplyMessage);
        m_notifications->clearCalls();
        const bool atBubble = kill % 2 == 1;
        {
            QMutexLocker locker(&m_mutex);
            m_answered.clear();
            m_killAtBubble = atBubble ? 1 + int(random.bounded(4)) : -1;
        }
        const qint64 childStart = QDateTime::currentSecsSinceEpoch();
        auto service = testing::makeProcess(QStringLiteral(QMN_STANDALONE_PATH), {});
        service->setStandardOutputFile(QProcess::nullDevice());
        service->setStandardErrorFile(QProcess::nullDevice());
        service->start();
        QVERIFY(service->waitForStarted());
        {
            QMutexLocker locker(&m_mutex);
            m_pid = service->processId();
        }
        QVERIFY(testing::waitForNameOwner(kService));
        QDBusConnection::sessionBus().asyncCall(
            QDBusMessage::createMethodCall(kService, kPath, kService, "QueryNotifications"));
        QMap<qint64, QByteArray> committed;
        if (atBubble) {
            QVERIFY(
                QTest::qWaitFor([&] { return service->state() == QProcess::NotRunning; }, 20000));
        } else {
            QTest::qWait(int(random.bounded(250)));
        }

        // What is committed now must survive the kill.
        if (!atBubble) {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "snapshot");
            db.setDatabaseName(dataDir() + "/msg_notify.db");
            if (db.open()) {
                QSqlQuery query(db);
                if (query.exec("SELECT id, body FROM msg_event_info")) {
                    while (query.next()) {
                        committed.insert(query.value(0).toLongLong(), query.value(1).toByteArray());
                    }
                }
            }
        }
        QSqlDatabase::removeDatabase("snapshot");
        if (!atBubble) {
            ::kill(pid_t(service->processId()), SIGKILL);
            QVERIFY(service->waitForFinished());
        }
        QVERIFY(testing::waitForNameOwner(kService, false));

        // Afterwards: an intact file, every committed event still queued or accepted, and only
        // whole images under their final names.
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "check");
        db.setDatabaseName(dataDir() + "/msg_notify.db");
        QVERIFY(db.open());
        QSqlQuery query(db);
        QVERIFY(query.exec("PRAGMA integrity_check"));
        QVERIFY(query.next());
        QCOMPARE(query.value(0).toString(), "ok");
        QSet<qint64> queued;
        QList<QByteArray> queuedBodies;
        if (query.exec("SELECT id, body FROM msg_event_info")) {
            while (query.next()) {
                queued.insert(query.value(0).toLongLong());
                queuedBodies.append(query.value(1).toByteArray());
            }
        }
        query.finish();
        checkAnsweredBubbles(db, childStart, queuedBodies, midPass);
        if (QTest::currentTestFailed()) {
            return;
        }
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase("check");
        {
            QMutexLocker locker(&m_mutex);
            for (auto it = committed.cbegin(); it != committed.cend(); ++it) {
                const bool kept = queued.contains(it.key());
                QVERIFY2(kept || m_accepted.contains(it.value()), it.value().constData());
                stillQueued += kept ? 1 : 0;
            }
        }
        snapshotEvents += int(committed.size());
        const QDir cache(dataDir() + "/images");
        for (const QString& name : cache.entryList({"*.png"}, QDir::Files)) {
            QFile file(cache.filePath(name));
            QVERIFY(file.open(QIODevice::ReadOnly));
            QVERIFY2(file.readAll() == imageBytes(name.toUtf8()), qPrintable(name));
            ++images;
        }
    }
    QMutexLocker locker(&m_mutex);
    qInfo("%d kills, %d of them within a display pass: %d committed events seen before a kill, "
          "%d of them still queued after it, the others accepted; %d accepted in all; %d image "
          "files checked whole",
          kKills, midPass, snapshotEvents, stillQueued, int(m_accepted.size()), images);
    QVERIFY(midPass > 0);
}

QMN_TEST_MAIN(TestCrash)
#include "tst_crash.moc"
