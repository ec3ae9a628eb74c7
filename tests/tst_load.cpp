#include "common/config.h"
#include "common/singleton.h"
#include "database/msg_event_info_table.h"
#include "dbus/dbus_interface.h"
#include "http/img_download_manager.h"
#include "loopback_http_server.h"
#include "notification/notification_interface.h"
#include "recording_notification_server.h"
#include "test_environment.h"

#include <QDBusPendingCall>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QTimer>

namespace {
const QString kService = QStringLiteral("com.quorin.MsgNotification");
const QString kPath = QStringLiteral("/com/quorin/MsgNotification");

NotificationInterface* engine()
{
    return Singleton<NotificationInterface>::instance();
}
qint64 rssKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) {
            return line.mid(6).simplified().split(' ').first().toLongLong();
        }
    }
    return -1;
}
} // namespace

class TestLoad : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void burstOfCalls();
    void tenThousandEventsInOneReport();
    void thousandCycles();

private:
    bool cycle();

    std::unique_ptr<LoopbackHttpServer> m_server;
    std::unique_ptr<RecordingNotificationServer> m_notifications;
    std::unique_ptr<DBusInterface> m_service;
    QAtomicInt m_nextId{1};
};

void TestLoad::initTestCase()
{
    // Five new due messages with an image each on every fetch, as a store that keeps changing.
    m_server = std::make_unique<LoopbackHttpServer>();
    const QString base = m_server->baseUrl();
    m_server->setHandler([this, base](const HttpRequest& request) {
        if (request.method == "POST") {
            return HttpResponse::json(R"({"status":200})");
        }
        if (request.path().startsWith("/img/")) {
            HttpResponse image;
            image.body = QByteArray(2048, 'i');
            return image;
        }
        const int first = m_nextId.fetchAndAddRelaxed(5);
        HttpResponse response = HttpResponse::json(testing::duePage(first, 5, base));
        response.addHeader("Last-Modified", QByteArray::number(first));
        return response;
    });
    QSettings(Config::configFilePath(), QSettings::IniFormat)
        .setValue(QStringLiteral("server"), m_server->baseUrl());
    m_notifications = std::make_unique<RecordingNotificationServer>();
    QVERIFY(m_notifications->start());
    m_service = std::make_unique<DBusInterface>("");
    QVERIFY(m_service->registerDBus());
    // The service logs a line or two per cycle; keep the output to the figures.
    QLoggingCategory::setFilterRules(QStringLiteral("com.quorin.MsgNotification*=false"));
}

// Waits in an event loop, not in qWaitFor's sleeps: the display pass goes on from each answer.
bool TestLoad::cycle()
{
    QEventLoop loop;
    QTimer::singleShot(20000, &loop, [&loop] { loop.exit(1); });
    connect(engine(), &NotificationInterface::runningChanged, &loop, [&loop](bool running) {
        if (!running) {
            loop.exit(0);
        }
    });
    m_service->QueryNotifications();
    return loop.exec() == 0;
}

void TestLoad::burstOfCalls()
{
    QDBusConnection client = testing::clientConnection(QStringLiteral("burst"));
    QList<QDBusPendingCall> calls;
    const QDBusMessage query = QDBusMessage::createMethodCall(kService, kPath, kService,
                                                              QStringLiteral("QueryNotifications"));
    for (int i = 0; i < 1000; ++i) {
        calls.append(client.asyncCall(query));
    }
    QVERIFY(QTest::qWaitFor(
        [&] {
            return std::all_of(calls.cbegin(), calls.cend(),
                               [](const QDBusPendingCall& call) { return call.isFinished(); });
        },
        60000));
    for (const QDBusPendingCall& call : std::as_const(calls)) {
        QVERIFY(!call.isError());
    }
    QTRY_VERIFY_WITH_TIMEOUT(!engine()->running(), 30000);
    // Still answering.
    const QDBusMessage version = testing::call(
        client, QDBusMessage::createMethodCall(kService, kPath,
                                               QStringLiteral("org.freedesktop.DBus.Properties"),
                                               QStringLiteral("Get"))
                    << kService << QStringLiteral("version"));
    QCOMPARE(version.type(), QDBusMessage::ReplyMessage);
    int fetches = 0;
    for (const HttpRequest& request : m_server->requests()) {
        fetches += request.path().endsWith("msgNotifyInfos") ? 1 : 0;
    }
    qInfo("1000 calls started %d fetches", fetches);
    QVERIFY(fetches <= 2);
}

void TestLoad::tenThousandEventsInOneReport()
{
    MsgEventInfoTable* events = Singleton<MsgEventInfoTable>::instance();
    const QList<int> before = events->selectMsgEventInfoRecords().keys();
    for (int row : before) {
        events->deleteMsgEventInfoRecordById(row);
    }
    for (int i = 0; i < 10000; ++i) {
        events->insertMsgEventInfoRecord(MsgEventInfo(i, 1765000000 + i, 1 + i % 3));
    }
    m_server->clearRequests();
    QElapsedTimer clock;
    clock.start();
    engine()->slotReportMsgEventInfos();
    QTRY_VERIFY_WITH_TIMEOUT(events->selectMsgEventInfoRecords().isEmpty(), 60000);
    qInfo("10000 events uploaded and deleted in %lld ms", clock.elapsed());
    QCOMPARE(m_server->requestCount(), 1);
    QCOMPARE(QJsonDocument::fromJson(m_server->requests().first().body).array().size(), 10000);
}

void TestLoad::thousandCycles()
{
    qint64 after50 = 0;
    QElapsedTimer clock;
    clock.start();
    for (int i = 1; i <= 1000; ++i) {
        QVERIFY2(cycle(), qPrintable(QString::number(i)));
        // What the peers record is the test's memory, not the service's.
        m_server->clearRequests();
        m_notifications->clearCalls();
        if (i == 50) {
            after50 = rssKb();
        }
    }
    const qint64 after1000 = rssKb();
    // Images of pruned messages go with them: the cache holds at most the stored messages'.
    const QFileInfoList images =
        QDir(Singleton<ImgDownloadManager>::instance()->imgDir()).entryInfoList(QDir::Files);
    qint64 imageBytes = 0;
    for (const QFileInfo& image : images) {
        imageBytes += image.size();
    }
    qInfo("1000 cycles in %lld ms; resident %lld KiB after 50, %lld KiB after 1000; %lld images "
          "of %lld bytes cached, %d fetched in all",
          clock.elapsed(), after50, after1000, qint64(images.size()), imageBytes,
          m_nextId.loadRelaxed() - 1);
    QVERIFY(images.size() <= 25);
#ifndef __SANITIZE_ADDRESS__
    // AddressSanitizer holds freed memory back for a while: resident size says nothing there.
    QVERIFY(after1000 - after50 <= 4 * 1024);
#endif
}

QMN_TEST_MAIN(TestLoad)
#include "tst_load.moc"
