#include "common/config.h"
#include "common/singleton.h"
#include "database/database_adaptor.h"
#include "database/msg_event_info_table.h"
#include "database/msg_notify_info_table.h"
#include "http/img_download_manager.h"
#include "nginx_server.h"
#include "notification/notification_interface.h"
#include "recording_notification_server.h"
#include "test_environment.h"
#include "tiny_proxy.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QSettings>
#include <QSignalSpy>
#include <QSslConfiguration>

// The service in this process against the distribution's nginx, which serves the listing as
// static files and answers conditional requests itself, directly and through tinyproxy.
class TestStandardServers : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void twoCycles_data();
    void twoCycles();

private:
    void writeFile(const QString& name, const QByteArray& content);

    QTemporaryDir m_files;
    std::unique_ptr<NginxServer> m_nginx;
    std::unique_ptr<RecordingNotificationServer> m_notifications;
};

void TestStandardServers::writeFile(const QString& name, const QByteArray& content)
{
    QVERIFY(QDir(m_files.path()).mkpath(QFileInfo(name).path()));
    QFile file(m_files.filePath(name));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
}

void TestStandardServers::initTestCase()
{
    m_nginx = std::make_unique<NginxServer>(m_files.path());
    QVERIFY2(m_nginx->isRunning(), qPrintable(m_nginx->errorString()));
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificate(m_nginx->certificate());
    QSslConfiguration::setDefaultConfiguration(configuration);
    // Qt never sends a loopback host through a proxy; 0.0.0.0 reaches this machine's loopback
    // all the same.
    QSettings(Config::configFilePath(), QSettings::IniFormat)
        .setValue("server", m_nginx->baseUrl("0.0.0.0"));
    // Without NetworkManager on its system bus, the service takes the network as up.
    QVERIFY(TestEnvironment::instance()->startSystemBus());
    m_notifications = std::make_unique<RecordingNotificationServer>();
    QVERIFY(m_notifications->start());
    // The tables exist from their first use on.
    Singleton<MsgEventInfoTable>::instance()->selectMsgEventInfoRecords();
    Singleton<MsgNotifyInfoTable>::instance()->selectMsgNotifyInfoRecords(-1, -1);
}

void TestStandardServers::twoCycles_data()
{
    QTest::addColumn<bool>("proxied");
    QTest::addColumn<int>("firstId");
    QTest::newRow("direct") << false << 10;
    QTest::newRow("https_proxy") << true << 20;
}

// A new listing, then nothing new: nginx's own 304 to the date and ETag it sent; a cycle's
// upload and pages on one connection, the images on at most one per pool thread; with a proxy,
// every connection through it.
void TestStandardServers::twoCycles()
{
    QFETCH(bool, proxied);
    QFETCH(int, firstId);
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    QJsonArray pages[2];
    for (int i = 0; i < 12; ++i) {
        const QString image = QStringLiteral("img/%1.png").arg(firstId + i);
        writeFile(image, "png " + image.toUtf8());
        pages[i / 6].append(QJsonObject{{"id", firstId + i},
                                        {"startTime", now - 60},
                                        {"endTime", now + 86400},
                                        {"title", QStringLiteral("title %1").arg(firstId + i)},
                                        {"imgUrl", m_nginx->baseUrl("0.0.0.0") + '/' + image}});
    }
    for (int page = 0; page < 2; ++page) {
        writeFile(QStringLiteral("pages/%1.json").arg(page + 1),
                  QJsonDocument(QJsonObject{{"status", 200},
                                            {"datas", pages[page]},
                                            {"hasNextPage", page == 0 ? 1 : 0}})
                      .toJson(QJsonDocument::Compact));
    }
    Singleton<Config>::instance()->setLastModified(0);
    QVERIFY(DatabaseAdaptor::update("DELETE FROM msg_notify_info"));
    QVERIFY(DatabaseAdaptor::update("DELETE FROM msg_event_info"));
    m_notifications->clearCalls();

    std::unique_ptr<TinyProxy> proxy;
    if (proxied) {
        proxy = std::make_unique<TinyProxy>();
        QVERIFY2(proxy->isRunning(), qPrintable(proxy->errorString()));
        qputenv("https_proxy", proxy->url().toUtf8());
    }
    auto unset = qScopeGuard([] { qunsetenv("https_proxy"); });
    NotificationInterface* engine = Singleton<NotificationInterface>::instance();
    const qsizetype before = m_nginx->requests().size();
    QList<qsizetype> ends;
    for (int cycle = 0; cycle < 2; ++cycle) {
        QSignalSpy running(engine, &NotificationInterface::runningChanged);
        engine->queueCycle();
        QMN_TRY_VERIFY(running.contains({false}), testing::kCycleMs);
        ends << m_nginx->requests().size();
    }
    QCOMPARE(m_notifications->callCount(), 24);

    // Each cycle's listing requests, "method target status" on its connection, and the
    // connections of the images.
    const QList<NginxServer::Request> requests = m_nginx->requests();
    QList<QStringList> listing(2);
    QList<QSet<int>> listingConnections(2);
    QSet<int> imageConnections;
    QSet<int> connections;
    for (qsizetype i = before; i < requests.size(); ++i) {
        const NginxServer::Request& request = requests.at(i);
        connections << request.connection;
        if (request.target.startsWith("/img/")) {
            QCOMPARE(request.status, 200);
            imageConnections << request.connection;
            continue;
        }
        const int cycle = i < ends.first() ? 0 : 1;
        listing[cycle] << QString::fromLatin1(request.method + ' ' +
                                              request.target.split('&').first() + ' ' +
                                              QByteArray::number(request.status));
        listingConnections[cycle] << request.connection;
        if (cycle == 1 && request.method == "GET") {
            // Page 1's date and ETag as nginx makes them from the file.
            const QFileInfo page(m_files.filePath("pages/1.json"));
            const QDateTime modified = page.lastModified().toUTC();
            QCOMPARE(request.ifModifiedSince,
                     QLocale::c().toString(modified, "ddd, dd MMM yyyy hh:mm:ss 'GMT'").toLatin1());
            QCOMPARE(request.ifNoneMatch, QStringLiteral("\"%1-%2\"")
                                              .arg(modified.toSecsSinceEpoch(), 0, 16)
                                              .arg(page.size(), 0, 16)
                                              .toLatin1());
        }
    }
    const QString list = "GET /store-dist-message/operActivity/msgNotifyInfos?reqPage=";
    QCOMPARE(listing[0], QStringList({list + "1 200", list + "2 200"}));
    QCOMPARE(listing[1],
             QStringList({"POST /store-dist-message/operActivity/report/msgNotifyInfo 200",
                          list + "1 304"}));
    QCOMPARE(listingConnections[0].size(), 1);
    QCOMPARE(listingConnections[1].size(), 1);
    QVERIFY(imageConnections.size() <= ImgDownloadManager::poolSize(QThread::idealThreadCount()));
    // A restarted service sends them too: they are kept in the configuration file.
    const testing::QueryRun status = testing::runQuery({"--status"});
    QVERIFY2(status.out.contains(", If-None-Match: " + requests.last().ifNoneMatch + '\n'),
             status.out);
    if (proxied) {
        QCOMPARE(proxy->tunnels(), QStringList(connections.size(),
                                               QStringLiteral("0.0.0.0:%1").arg(m_nginx->port())));
    }
}

QMN_TEST_MAIN(TestStandardServers)
#include "tst_standard_servers.moc"
