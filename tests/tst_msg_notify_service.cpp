#include "common/config.h"
#include "http/msg_notify_service.h"
#include "log_capture.h"
#include "loopback_http_server.h"
#include "test_environment.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QSysInfo>
#include <QThread>

// Built twice: over plain HTTP, and over TLS with a base URL that ends in "/".
#ifndef QMN_TLS
#define QMN_TLS 0
#endif

namespace {
constexpr bool kTls = QMN_TLS;
// On the wire: Qt's HTTP layer collapses the doubled slash of a base URL ending in "/".
const QByteArray kListPath = "/store-dist-message/operActivity/msgNotifyInfos";
const QByteArray kReportPath = "/store-dist-message/operActivity/report/msgNotifyInfo";

using Page = std::optional<MsgNotifyInfos>;

QByteArray pageBody(int firstId, int count, const QJsonValue& hasNextPage, int status = 200)
{
    QJsonArray datas;
    for (int i = 0; i < count; ++i) {
        datas.append(QJsonObject{{QStringLiteral("id"), firstId + i},
                                 {QStringLiteral("title"), QStringLiteral("t%1").arg(firstId + i)},
                                 {QStringLiteral("startTime"), 1733000000},
                                 {QStringLiteral("endTime"), 1733999999}});
    }
    return QJsonDocument(QJsonObject{{QStringLiteral("status"), status},
                                     {QStringLiteral("desc"), QStringLiteral("ok")},
                                     {QStringLiteral("datas"), datas},
                                     {QStringLiteral("total"), 120},
                                     {QStringLiteral("hasNextPage"), hasNextPage}})
        .toJson(QJsonDocument::Compact);
}

int pageNumber(const HttpRequest& request)
{
    for (const QByteArray& item : request.query().split('&')) {
        if (item.startsWith("reqPage=")) {
            return item.mid(8).toInt();
        }
    }
    return -1;
}

HttpResponse okReport()
{
    return HttpResponse::json(R"({"status":200,"desc":"accepted","extra":[1,2]})");
}

Page pageOf(const QSignalSpy& spy, int index)
{
    return spy.at(index).at(0).value<Page>();
}
} // namespace

class TestMsgNotifyService : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void productionLimits();
    void requestShape_data();
    void requestShape();
    void requestsRunOnTheWorkerThread();
    void paging_data();
    void paging();
    void endlessPagingStops();
    void lastModified_data();
    void lastModified();
    void failures_data();
    void failures();
    void uploadBody_data();
    void uploadBody();
    void failureNamesTheConfiguredUrl();

private:
    std::unique_ptr<MsgNotifyService> makeService(const QString& osVersionPath = QString());
    QString writeOsVersion(const QByteArray& content);

    std::unique_ptr<LoopbackHttpServer> m_server;
    QString m_osVersion;
};

void TestMsgNotifyService::initTestCase()
{
    m_server = std::make_unique<LoopbackHttpServer>(kTls);
    QVERIFY(m_server->isListening());
    if (kTls) {
        // Trust our own certificate, in this process only.
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.addCaCertificate(m_server->certificate());
        QSslConfiguration::setDefaultConfiguration(configuration);
    }
    QVERIFY(QDir().mkpath(Config::configDirPath()));
    QSettings settings(Config::configFilePath(), QSettings::IniFormat);
    settings.setValue(QStringLiteral("server"),
                      m_server->baseUrl() + (kTls ? QStringLiteral("/") : QString()));
    settings.sync();
    m_osVersion = writeOsVersion("[Version]\nMajorVersion=20\nMinorVersion=1070\n"
                                 "EditionName=Profi\nEditionName[en_US]=Professional\n"
                                 "OsBuild=11018.101\n");
}

void TestMsgNotifyService::init()
{
    m_server->clearRequests();
    m_server->setHandler([](const HttpRequest& request) {
        return request.method == "POST" ? okReport() : HttpResponse::json(pageBody(1, 2, 0));
    });
}

std::unique_ptr<MsgNotifyService> TestMsgNotifyService::makeService(const QString& osVersionPath)
{
    MsgNotifyServiceOptions options;
    options.requestTimeoutMs = 1500;
    options.osVersionPath = osVersionPath.isEmpty() ? m_osVersion : osVersionPath;
    options.osReleasePath = QStringLiteral("/nonexistent/os-release");
    return std::make_unique<MsgNotifyService>(nullptr, options);
}

QString TestMsgNotifyService::writeOsVersion(const QByteArray& content)
{
    static int counter = 0;
    const QString path =
        TestEnvironment::instance()->root() + QStringLiteral("/os-version-%1").arg(++counter);
    QFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(content);
    }
    return path;
}

void TestMsgNotifyService::productionLimits()
{
    const MsgNotifyServiceOptions production;
    QCOMPARE(production.requestTimeoutMs, 30000);
    QCOMPARE(production.maxResponseBytes, 16 * 1024 * 1024);
    QCOMPARE(production.maxPages, 100);
    QCOMPARE(production.osVersionPath, QStringLiteral("/etc/os-version"));
}

void TestMsgNotifyService::requestShape_data()
{
    QTest::addColumn<qint64>("ifModifiedSince");
    QTest::addColumn<QByteArray>("timeZone");
    QTest::addColumn<QByteArray>("region");
    QTest::addColumn<QByteArray>("osVersion");
    QTest::addColumn<QByteArray>("osBuild");
    QTest::addColumn<QByteArray>("platform");
    QTest::addColumn<QByteArray>("baseVersion");

    const QByteArray full = "[Version]\nMajorVersion=20\nMinorVersion=1070\n"
                            "EditionName=Profi\nEditionName[en_US]=Professional\n";
    QTest::newRow("no stamp, Hong Kong, plain OsBuild")
        << qint64(0) << QByteArray("Asia/Hong_Kong") << QByteArray("CN")
        << full + "OsBuild=11018.101\n"
        << QByteArray("11018.101") << QByteArray("Professional") << QByteArray("20|1070");
    QTest::newRow("stamp 42, UTC, English OsBuild wins")
        << qint64(42) << QByteArray("UTC") << QByteArray("OTHER")
        << full + "OsBuild=11018.101\nOsBuild[en_US]=11018.101 en\nOsBuild[de]=x\n"
        << QByteArray("11018.101 en") << QByteArray("Professional") << QByteArray("20|1070");
    QTest::newRow("negative stamp, Taipei, unlocalised edition")
        << qint64(-5) << QByteArray("Asia/Taipei") << QByteArray("CN")
        << QByteArray("[Version]\nMajorVersion=21\nMinorVersion=0%1\nEditionName=Home\n")
        << QByteArray() << QByteArray("Home") << QByteArray("21|0%1");
    QTest::newRow("missing file: empty os_build")
        << qint64(7) << QByteArray("Europe/Berlin") << QByteArray("OTHER") << QByteArray()
        << QByteArray() << QByteArray() << QByteArray("|");
}

void TestMsgNotifyService::requestShape()
{
    QFETCH(qint64, ifModifiedSince);
    QFETCH(QByteArray, timeZone);
    QFETCH(QByteArray, osVersion);

    const QString path =
        osVersion.isEmpty() ? QStringLiteral("/nonexistent/os-version") : writeOsVersion(osVersion);
    qputenv("TZ", timeZone);
    auto service = makeService(path);
    QSignalSpy pages(service.get(), &MsgNotifyService::sigGetMsgNotifyInfosFinished);
    if (osVersion.isEmpty()) {
        QTest::ignoreMessage(
            QtWarningMsg, "KeyfileEntry /etc/os-version Status Error: KeyfileEntry::FileNotFound");
    }
    service->getMsgNotifyInfos(ifModifiedSince);
    QVERIFY(pages.wait());
    qunsetenv("TZ");

    QCOMPARE(m_server->requestCount(), 1);
    const HttpRequest request = m_server->requests().first();
    QCOMPARE(request.method, QByteArray("GET"));
    QCOMPARE(request.target, kListPath + "?reqPage=1&maxResults=50");
    QCOMPARE(request.header("Authorization"), QByteArray("3b9f1e07d2c84a6d95e0f4a718c26b5d"));
    const QByteArray cpu = QSysInfo::currentCpuArchitecture().toUtf8();
    QCOMPARE(request.header("arch"), cpu == "x86_64"    ? QByteArray("amd64")
                                     : cpu == "aarch64" ? QByteArray("arm64")
                                                        : cpu);
    QTEST(request.header("platform"), "platform");
    QTEST(request.header("region"), "region");
    QCOMPARE(request.header("language"), QLocale::system().name().toUtf8());
    QTEST(request.header("baseVersion"), "baseVersion");
    QVERIFY(request.hasHeader("os_build"));
    QTEST(request.header("os_build"), "osBuild");
    QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
    QCOMPARE(request.hasHeader("If-Modified-Since"), ifModifiedSince >= 1);
    if (ifModifiedSince >= 1) {
        QCOMPARE(request.header("If-Modified-Since"), QByteArray::number(ifModifiedSince));
    }
}

void TestMsgNotifyService::requestsRunOnTheWorkerThread()
{
    auto service = makeService();
    QThread* deliveredOn = nullptr;
    connect(service.get(), &MsgNotifyService::sigGetMsgNotifyInfosFinished, this,
            [&] { deliveredOn = QThread::currentThread(); });
    service->getMsgNotifyInfos(0);
    // This thread runs no event loop while the request goes out and is answered.
    for (int i = 0; i < 500 && m_server->requestCount() == 0; ++i) {
        QThread::msleep(10);
    }
    QCOMPARE(m_server->requestCount(), 1);
    QTRY_VERIFY(deliveredOn);
    QCOMPARE(deliveredOn, QThread::currentThread());
}

void TestMsgNotifyService::paging_data()
{
    QTest::addColumn<QList<QJsonValue>>("hasNextPage");
    QTest::addColumn<int>("failOnPage");
    QTest::addColumn<int>("requests");
    QTest::addColumn<QList<bool>>("delivered");

    QTest::newRow("three pages, the last says no more")
        << QList<QJsonValue>{1, 7, 0} << 0 << 3 << QList<bool>{true, true, true};
    QTest::newRow("a JSON boolean reads as no more")
        << QList<QJsonValue>{true, 1} << 0 << 1 << QList<bool>{true};
    QTest::newRow("failure on page 2 keeps page 1")
        << QList<QJsonValue>{1, 1, 0} << 2 << 2 << QList<bool>{true, false};
}

void TestMsgNotifyService::paging()
{
    QFETCH(QList<QJsonValue>, hasNextPage);
    QFETCH(int, failOnPage);
    QFETCH(int, requests);
    QFETCH(QList<bool>, delivered);

    m_server->setHandler([=](const HttpRequest& request) {
        const int page = pageNumber(request);
        if (page == failOnPage) {
            HttpResponse failure = HttpResponse::json("{}", 500);
            failure.reason = "Internal Server Error";
            return failure;
        }
        HttpResponse response =
            HttpResponse::json(pageBody(page * 100, 3, hasNextPage.value(page - 1)));
        response.addHeader("Last-Modified", QByteArray::number(1000 + page));
        return response;
    });
    if (failOnPage) {
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("^GET NetworkReply failed: ")));
    }

    auto service = makeService();
    QSignalSpy pages(service.get(), &MsgNotifyService::sigGetMsgNotifyInfosFinished);
    service->getMsgNotifyInfos(99);
    QTRY_COMPARE(pages.size(), delivered.size());
    QCOMPARE(m_server->requestCount(), requests);

    const QList<HttpRequest> sent = m_server->requests();
    for (int i = 0; i < sent.size(); ++i) {
        QCOMPARE(sent.at(i).target,
                 kListPath + "?reqPage=" + QByteArray::number(i + 1) + "&maxResults=50");
        QCOMPARE(sent.at(i).header("If-Modified-Since"), QByteArray("99"));
    }
    for (int i = 0; i < delivered.size(); ++i) {
        const Page page = pageOf(pages, i);
        QCOMPARE(page.has_value(), delivered.at(i));
        if (page) {
            QCOMPARE(page->datas.size(), 3);
            QCOMPARE(page->datas.first().id, (i + 1) * 100);
            QCOMPARE(page->total, 120);
            QCOMPARE(page->lastModified, 1001 + i);
        }
    }
    // Nothing further arrives.
    QTest::qWait(100);
    QCOMPARE(pages.size(), delivered.size());
}

void TestMsgNotifyService::endlessPagingStops()
{
    m_server->setHandler([](const HttpRequest& request) {
        return HttpResponse::json(pageBody(pageNumber(request), 1, 1));
    });
    QTest::ignoreMessage(
        QtWarningMsg, QRegularExpression(QStringLiteral("^GET msgNotifyInfos stopped after 100")));
    auto service = makeService();
    QSignalSpy pages(service.get(), &MsgNotifyService::sigGetMsgNotifyInfosFinished);
    service->getMsgNotifyInfos(0);
    QTRY_COMPARE_WITH_TIMEOUT(pages.size(), 101, 30000);
    QCOMPARE(m_server->requestCount(), 100);
    QVERIFY(pageOf(pages, 99).has_value());
    QVERIFY(!pageOf(pages, 100).has_value());
}

void TestMsgNotifyService::lastModified_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<qint64>("expected");
    QTest::newRow("decimal") << QByteArray("43") << qint64(43);
    QTest::newRow("64-bit") << QByteArray("1733000000123") << qint64(1733000000123);
    QTest::newRow("HTTP date") << QByteArray("Wed, 21 Oct 2015 07:28:00 GMT") << qint64(0);
    QTest::newRow("sign") << QByteArray("+43") << qint64(0);
    QTest::newRow("negative") << QByteArray("-43") << qint64(0);
    QTest::newRow("missing") << QByteArray() << qint64(0);
}

void TestMsgNotifyService::lastModified()
{
    QFETCH(QByteArray, header);
    m_server->setHandler([=](const HttpRequest&) {
        HttpResponse response = HttpResponse::json(pageBody(1, 1, 0));
        if (!header.isEmpty()) {
            response.addHeader("Last-Modified", header);
        }
        return response;
    });
    auto service = makeService();
    QSignalSpy pages(service.get(), &MsgNotifyService::sigGetMsgNotifyInfosFinished);
    service->getMsgNotifyInfos(0);
    QVERIFY(pages.wait());
    QVERIFY(pageOf(pages, 0));
    QTEST(pageOf(pages, 0)->lastModified, "expected");
}

void TestMsgNotifyService::failures_data()
{
    QTest::addColumn<HttpResponse>("response");
    QTest::addColumn<QString>("fetchWarning");
    QTest::addColumn<QString>("uploadWarning");

    HttpResponse http500 = HttpResponse::json(R"({"status":200})", 500);
    http500.reason = "Internal Server Error";
    QTest::newRow("HTTP 500") << http500 << QStringLiteral("^GET NetworkReply failed: .*")
                              << QStringLiteral("^POST NetworkReply failed: .*");
    QTest::newRow("status 500 in the envelope")
        << HttpResponse::json(R"({"status":500,"desc":"boom","datas":[{"id":1}]})")
        << QStringLiteral("^parseMsgNotifyInfos failed, code: 500, msg: boom$")
        << QStringLiteral("^parseReportMsgNotifyInfo failed, code: 500, msg: boom$");
    QTest::newRow("status missing")
        << HttpResponse::json(R"({"desc":"?","datas":[{"id":1}]})")
        << QStringLiteral("^parseMsgNotifyInfos failed, code: 0, msg: \\?$")
        << QStringLiteral("^parseReportMsgNotifyInfo failed, code: 0, msg: \\?$");
    QTest::newRow("not JSON") << HttpResponse::json("<html>oops</html>")
                              << QStringLiteral("^Parse MsgNotifyInfos failed: <html>oops</html>$")
                              << QStringLiteral(
                                     "^Parse ReportMsgNotifyInfo failed: <html>oops</html>$");
    HttpResponse notModified;
    notModified.status = 304;
    notModified.reason = "Not Modified";
    QTest::newRow("empty 304") << notModified << QStringLiteral("^Parse MsgNotifyInfos failed: $")
                               << QStringLiteral("^Parse ReportMsgNotifyInfo failed: $");
    HttpResponse silent;
    silent.mode = HttpResponse::Mode::NeverAnswer;
    QTest::newRow("never answers") << silent << QStringLiteral("^GET NetworkReply failed: .*")
                                   << QStringLiteral("^POST NetworkReply failed: .*");
    HttpResponse reset;
    reset.mode = HttpResponse::Mode::Reset;
    QTest::newRow("connection reset") << reset << QStringLiteral("^GET NetworkReply failed: .*")
                                      << QStringLiteral("^POST NetworkReply failed: .*");
    HttpResponse announcedHuge;
    announcedHuge.mode = HttpResponse::Mode::Streamed;
    announcedHuge.size = 20 * 1024 * 1024;
    announcedHuge.announceSize = true;
    QTest::newRow("oversized body, announced")
        << announcedHuge << QStringLiteral("^GET NetworkReply failed: .* response larger than")
        << QStringLiteral("^POST NetworkReply failed: .* response larger than");
    HttpResponse streamedHuge = announcedHuge;
    streamedHuge.announceSize = false;
    QTest::newRow("oversized body, unannounced")
        << streamedHuge << QStringLiteral("^GET NetworkReply failed: .* response larger than")
        << QStringLiteral("^POST NetworkReply failed: .* response larger than");
}

void TestMsgNotifyService::failures()
{
    QFETCH(HttpResponse, response);
    QFETCH(QString, fetchWarning);
    QFETCH(QString, uploadWarning);

    auto service = makeService();
    QSignalSpy pages(service.get(), &MsgNotifyService::sigGetMsgNotifyInfosFinished);
    QSignalSpy reports(service.get(), &MsgNotifyService::sigReportMsgNotifyInfoFinished);

    m_server->setHandler([=](const HttpRequest&) { return response; });
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(fetchWarning));
    service->getMsgNotifyInfos(0);
    QTRY_COMPARE_WITH_TIMEOUT(pages.size(), 1, 10000);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(uploadWarning));
    service->reportMsgNotifyInfo(MsgEventInfos{MsgEventInfo(1, 2, 3)});
    QTRY_COMPARE_WITH_TIMEOUT(reports.size(), 1, 10000);

    // The service keeps working, and the failed requests said nothing more.
    init();
    service->getMsgNotifyInfos(0);
    service->reportMsgNotifyInfo(MsgEventInfos{});
    QTRY_COMPARE(pages.size(), 2);
    QTRY_COMPARE(reports.size(), 2);
    QCOMPARE(pageOf(pages, 0).has_value(), false);
    QCOMPARE(pageOf(pages, 1).has_value(), true);
    QCOMPARE(reports.at(0).at(0).toBool(), false);
    QCOMPARE(reports.at(1).at(0).toBool(), true);
}

void TestMsgNotifyService::uploadBody_data()
{
    QTest::addColumn<MsgEventInfos>("events");
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("two events") << MsgEventInfos{MsgEventInfo(7, 1000, 1), MsgEventInfo(9, 2000, 3)}
                                << QByteArray(R"([{"eventTime":1000,"eventType":1,"id":7},)"
                                              R"({"eventTime":2000,"eventType":3,"id":9}])");
    QTest::newRow("no events") << MsgEventInfos{} << QByteArray("[]");
    QTest::newRow("64-bit stamp") << MsgEventInfos{MsgEventInfo(1, 1733000000123, 1)}
                                  << QByteArray(
                                         R"([{"eventTime":1733000000123,"eventType":1,"id":1}])");
}

void TestMsgNotifyService::uploadBody()
{
    QFETCH(MsgEventInfos, events);
    auto service = makeService();
    QSignalSpy reports(service.get(), &MsgNotifyService::sigReportMsgNotifyInfoFinished);
    service->reportMsgNotifyInfo(events);
    QVERIFY(reports.wait());
    QCOMPARE(reports.size(), 1);
    QCOMPARE(reports.first().first().toBool(), true);

    QCOMPARE(m_server->requestCount(), 1);
    const HttpRequest request = m_server->requests().first();
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.target, kReportPath);
    QTEST(request.body, "body");
    QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
    QCOMPARE(request.header("Authorization"), QByteArray("3b9f1e07d2c84a6d95e0f4a718c26b5d"));
    QVERIFY(!request.hasHeader("If-Modified-Since"));
}

void TestMsgNotifyService::failureNamesTheConfiguredUrl()
{
    HttpResponse failure = HttpResponse::json("{}", 503);
    failure.reason = "Service Unavailable";
    m_server->setHandler([=](const HttpRequest&) { return failure; });

    // The address as sent: a configured base ending in "/" (the TLS run's) loses it.
    const QString base = m_server->baseUrl();
    QTest::ignoreMessage(
        QtWarningMsg,
        QRegularExpression(QStringLiteral("^GET NetworkReply failed: %1 .*Service Unavailable")
                               .arg(QRegularExpression::escape(
                                   base + QStringLiteral("/store-dist-message/operActivity/"
                                                         "msgNotifyInfos")))));
    QTest::ignoreMessage(
        QtWarningMsg,
        QRegularExpression(QStringLiteral("^POST NetworkReply failed: %1 ")
                               .arg(QRegularExpression::escape(
                                   base + QStringLiteral("/store-dist-message/operActivity/"
                                                         "report/msgNotifyInfo")))));
    auto service = makeService();
    QSignalSpy pages(service.get(), &MsgNotifyService::sigGetMsgNotifyInfosFinished);
    QSignalSpy reports(service.get(), &MsgNotifyService::sigReportMsgNotifyInfoFinished);
    service->getMsgNotifyInfos(0);
    service->reportMsgNotifyInfo({});
    QTRY_COMPARE(pages.size(), 1);
    QTRY_COMPARE(reports.size(), 1);
}

QMN_TEST_MAIN(TestMsgNotifyService)
#include "tst_msg_notify_service.moc"
