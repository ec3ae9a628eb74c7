#include "common/config.h"
#include "http/img_download_manager.h"
#include "http/msg_notify_service.h"
#include "http/server_gate.h"
#include "loopback_http_server.h"
#include "test_environment.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSettings>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QSysInfo>
#include <QTimeZone>

// Everything the service asks of the store's server and of image hosts, over TLS as in production.
namespace {
constexpr int kLimitMs = 1500;
const QByteArray kListPath = "/store-dist-message/operActivity/msgNotifyInfos";

using Page = std::optional<MsgNotifyInfos>;

QByteArray pageBody(int firstId, int count, const QJsonValue& hasNextPage)
{
    QJsonArray datas;
    for (int i = 0; i < count; ++i) {
        datas.append(QJsonObject{{"id", firstId + i},
                                 {"title", QStringLiteral("t%1").arg(firstId + i)},
                                 {"endTime", 1733999999}});
    }
    return QJsonDocument(
               QJsonObject{
                   {"status", 200}, {"datas", datas}, {"total", 120}, {"hasNextPage", hasNextPage}})
        .toJson(QJsonDocument::Compact);
}

Page pageOf(const QSignalSpy& spy, int index)
{
    return spy.at(index).at(0).value<Page>();
}

} // namespace

class TestServer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void fetch_data();
    void fetch();
    void brokenServer_data();
    void brokenServer();
    void redirects();
    void imageCache();
    void backoff_data();
    void backoff();
    void oneFailurePerCycle();

private:
    std::unique_ptr<MsgNotifyService> makeService(const QString& osVersionPath = QString());

    std::unique_ptr<LoopbackHttpServer> m_server;
    std::unique_ptr<LoopbackHttpServer> m_otherHost;
    QSslConfiguration m_untrusting;
    QString m_osVersion;
};

void TestServer::initTestCase()
{
    // Each server makes its own certificate, trusted in this process only.
    m_server = std::make_unique<LoopbackHttpServer>(true);
    m_otherHost = std::make_unique<LoopbackHttpServer>(true, 0, "127.0.0.2");
    QVERIFY(m_server->isListening() && m_otherHost->isListening());
    m_untrusting = QSslConfiguration::defaultConfiguration();
    QSslConfiguration configuration = m_untrusting;
    configuration.addCaCertificate(m_server->certificate());
    configuration.addCaCertificate(m_otherHost->certificate());
    QSslConfiguration::setDefaultConfiguration(configuration);

    // As integrators write it, with a trailing slash: one slash reaches the server.
    QSettings(Config::configFilePath(), QSettings::IniFormat)
        .setValue("server", m_server->baseUrl() + "/");
    m_osVersion = TestEnvironment::instance()->root() + "/os-version";
    QFile file(m_osVersion);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("[Version]\nMajorVersion=20\n") > 0);
}

void TestServer::init()
{
    m_server->clearRequests();
    m_server->setHandler([](const HttpRequest& request) {
        return HttpResponse::json(request.method == "POST" ? QByteArray(R"({"status":200})")
                                                           : pageBody(1, 2, 0));
    });
}

std::unique_ptr<MsgNotifyService> TestServer::makeService(const QString& osVersionPath)
{
    MsgNotifyServiceOptions options;
    options.requestTimeoutMs = kLimitMs;
    options.maxResponseBytes = 1024 * 1024;
    options.osVersionPath = osVersionPath.isEmpty() ? m_osVersion : osVersionPath;
    options.osReleasePath = "/nonexistent/os-release";
    return std::make_unique<MsgNotifyService>(nullptr, options);
}

void TestServer::fetch_data()
{
    // The stamp asked with, the time zone and /etc/os-version of the machine, and what the
    // first request's headers say: platform|region|baseVersion|os_build.
    QTest::addColumn<qint64>("ifModifiedSince");
    QTest::addColumn<QByteArray>("timeZone");
    QTest::addColumn<QByteArray>("osVersion");
    QTest::addColumn<QByteArray>("headers");
    // hasNextPage of each page (an empty list: always 1), the page that fails, what arrives, the
    // Last-Modified header sent and the stamp read from it.
    QTest::addColumn<QList<QJsonValue>>("hasNextPage");
    QTest::addColumn<int>("failOnPage");
    QTest::addColumn<QList<bool>>("delivered");
    QTest::addColumn<QByteArray>("lastModified");
    QTest::addColumn<qint64>("stamp");

    const QByteArray full = "[Version]\nMajorVersion=20\nMinorVersion=1070\n"
                            "EditionName=Profi\nEditionName[en_US]=Professional\n";
    QTest::newRow("three pages, Hong Kong, plain OsBuild")
        << qint64(0) << QByteArray("Asia/Hong_Kong") << full + "OsBuild=11018.101\n"
        << QByteArray("Professional|CN|20|1070|11018.101") << QList<QJsonValue>{1, 7, 0} << 0
        << QList<bool>{true, true, true} << QByteArray("1733000000123") << qint64(1733000000123);
    QTest::newRow("stamp 1, UTC, English OsBuild wins, a JSON boolean reads as no more")
        << qint64(1) << QByteArray("UTC")
        << full + "OsBuild=11018.101\nOsBuild[en_US]=11018.101 en\nOsBuild[de]=x\n"
        << QByteArray("Professional|OTHER|20|1070|11018.101 en") << QList<QJsonValue>{true, 1} << 0
        << QList<bool>{true} << QByteArray("43") << qint64(43);
    QTest::newRow("negative stamp, Taipei, unlocalised edition, failure on page 2")
        << qint64(-5) << QByteArray("Asia/Taipei")
        << QByteArray("[Version]\nMajorVersion=21\nMinorVersion=0%1\nEditionName=Home\n")
        << QByteArray("Home|CN|21|0%1|") << QList<QJsonValue>{1, 1, 0} << 2
        << QList<bool>{true, false} << QByteArray("Wed, 21 Oct 2015 07:28:00 GMT")
        << qint64(1445412480000);
    QList<bool> hundred(100, true);
    QTest::newRow("no os-version, endless paging stops after 100")
        << qint64(1733000000123) << QByteArray("Europe/Berlin") << QByteArray()
        << QByteArray("|OTHER|||") << QList<QJsonValue>{} << 0 << (hundred << false)
        << QByteArray("+43") << qint64(0);
}

void TestServer::fetch()
{
    QFETCH(qint64, ifModifiedSince);
    QFETCH(QByteArray, timeZone);
    QFETCH(QByteArray, osVersion);
    QFETCH(QList<QJsonValue>, hasNextPage);
    QFETCH(int, failOnPage);
    QFETCH(QList<bool>, delivered);
    QFETCH(QByteArray, lastModified);

    QString path = "/nonexistent/os-version";
    if (!osVersion.isEmpty()) {
        QFile file(path = m_osVersion);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(osVersion) == osVersion.size());
    }
    m_server->setHandler([=](const HttpRequest& request) {
        const int page = request.query().split('&').first().mid(8).toInt();
        if (page == failOnPage) {
            return HttpResponse::json("{}", 500);
        }
        HttpResponse response = HttpResponse::json(
            pageBody(page * 100, 3, hasNextPage.isEmpty() ? 1 : hasNextPage.value(page - 1)));
        response.addHeader("Last-Modified", lastModified);
        return response;
    });
    if (failOnPage) {
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^GET NetworkReply failed: "));
    } else if (hasNextPage.isEmpty()) {
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("^GET msgNotifyInfos stopped after 100"));
    }
    qputenv("TZ", timeZone);
    auto service = makeService(path);
    QSignalSpy pages(service.get(), &MsgNotifyService::sigGetMsgNotifyInfosFinished);
    service->getMsgNotifyInfos(ifModifiedSince);
    QMN_TRY_VERIFY(pages.size() == delivered.size(), testing::kCycleMs);
    qunsetenv("TZ");

    const QList<HttpRequest> sent = m_server->requests();
    QCOMPARE(sent.size(), qMin(delivered.size(), 100));
    for (int i = 0; i < sent.size(); ++i) {
        const HttpRequest& request = sent.at(i);
        QCOMPARE(request.method + ' ' + request.target,
                 "GET " + kListPath + "?reqPage=" + QByteArray::number(i + 1) + "&maxResults=50");
        QCOMPARE(request.header("If-Modified-Since"),
                 ifModifiedSince >= 1 ? QByteArray::number(ifModifiedSince) : QByteArray());
    }
    const HttpRequest request = sent.first();
    QCOMPARE(request.header("Authorization"), QByteArray("3b9f1e07d2c84a6d95e0f4a718c26b5d"));
    const QByteArray cpu = QSysInfo::currentCpuArchitecture().toUtf8();
    QCOMPARE(request.header("arch"), cpu == "x86_64"    ? QByteArray("amd64")
                                     : cpu == "aarch64" ? QByteArray("arm64")
                                                        : cpu);
    QVERIFY(request.hasHeader("os_build"));
    QTEST(request.header("platform") + '|' + request.header("region") + '|' +
              request.header("baseVersion") + '|' + request.header("os_build"),
          "headers");
    for (int i = 0; i < delivered.size(); ++i) {
        const Page page = pageOf(pages, i);
        QCOMPARE(page.has_value(), delivered.at(i));
        if (page) {
            QCOMPARE(page->datas.size(), 3);
            QCOMPARE(page->datas.first().id, (i + 1) * 100);
            QCOMPARE(page->total, 120);
            QTEST(page->lastModified, "stamp");
        }
    }
}

// Each row is one way a server breaks, met by a page fetch, an upload and an image download at
// once: each ends once, within its time limit, with nothing taken from the broken answer.
void TestServer::brokenServer_data()
{
    QTest::addColumn<bool>("untrusted");
    QTest::addColumn<HttpResponse>("response");
    // An image is bytes: a body that is bad JSON is still an image.
    QTest::addColumn<bool>("imageStored");

    const QByteArray valid = R"({"status":200,"datas":[{"id":1}],"hasNextPage":0})";
    using Mode = HttpResponse::Mode;
    QTest::newRow("untrusted self-signed certificate")
        << true << HttpResponse::json(valid) << false;
    QTest::newRow("never answers")
        << false << HttpResponse::misbehaving(Mode::NeverAnswer) << false;
    QTest::newRow("headers then silence")
        << false << HttpResponse::misbehaving(Mode::HeadersThenSilence, valid) << false;
    QTest::newRow("one byte every half second")
        << false << HttpResponse::misbehaving(Mode::Trickle, QByteArray(200, ' ') + valid) << false;
    QTest::newRow("truncated body")
        << false << HttpResponse::misbehaving(Mode::Truncated, valid) << false;
    QTest::newRow("connection reset") << false << HttpResponse::misbehaving(Mode::Reset) << false;
    QTest::newRow("200 MiB body, unannounced")
        << false << HttpResponse::misbehaving(Mode::Streamed, {}, 200LL * 1024 * 1024) << false;

    QTest::newRow("malformed JSON")
        << false << HttpResponse::json(R"({"status":200,"datas":[{"id":)") << true;
    QTest::newRow("status 500 in the envelope")
        << false << HttpResponse::json(R"({"status":500,"desc":"boom","datas":[{"id":1}]})")
        << true;

    QTest::newRow("empty 304") << false << HttpResponse::json({}, 304) << false;

    QTest::newRow("500") << false << HttpResponse::json(valid, 500) << false;
}

void TestServer::brokenServer()
{
    QFETCH(bool, untrusted);
    QFETCH(HttpResponse, response);
    QFETCH(bool, imageStored);
    m_server->setHandler([=](const HttpRequest&) { return response; });
    const QSslConfiguration trusting = QSslConfiguration::defaultConfiguration();
    if (untrusted) {
        QSslConfiguration::setDefaultConfiguration(m_untrusting);
    }
    const auto restore = qScopeGuard([&] { QSslConfiguration::setDefaultConfiguration(trusting); });
    auto service = makeService();
    ImgDownloadLimits limits;
    limits.timeoutMs = kLimitMs;
    limits.maxBytes = 1024 * 1024;
    ImgDownloadManager images(nullptr, limits);
    const QString imagePath = images.localImagePath(m_server->baseUrl() + "/faulty.png");
    QFile::remove(imagePath);

    QSignalSpy pages(service.get(), &MsgNotifyService::sigGetMsgNotifyInfosFinished);
    QSignalSpy reports(service.get(), &MsgNotifyService::sigReportMsgNotifyInfoFinished);
    QSignalSpy downloads(&images, &ImgDownloadManager::sigImgDownloaded);
    if (response.mode == HttpResponse::Mode::NeverAnswer) {
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("POST .* timed out after 1.5 s$"));
    }
    // As a cycle sends them: the upload, then the fetch, which a failed upload holds back.
    service->reportMsgNotifyInfo(MsgEventInfos{MsgEventInfo(1, 2, EventKind::Closed)});
    service->getMsgNotifyInfos(0);
    images.downloadImage(m_server->baseUrl() + "/faulty.png");
    QMN_TRY_VERIFY(!pages.isEmpty() && !reports.isEmpty() && !downloads.isEmpty(), kLimitMs * 4);
    QCOMPARE(pageOf(pages, 0).has_value(), false);
    QCOMPARE(reports.first().first().toBool(), false);
    QCOMPARE(downloads.first().at(1).toBool(), imageStored);
    QCOMPARE(QFileInfo::exists(imagePath), imageStored);

    // The same service goes on working once the server has answered well again (here: the
    // backoff is passed), and the broken requests said nothing more. The trust its connection to
    // a server was made with stays that connection's.
    if (untrusted) {
        return;
    }
    service->gate()->record(200, {}, {});
    init();
    service->getMsgNotifyInfos(0);
    service->reportMsgNotifyInfo(MsgEventInfos{});
    QMN_TRY_VERIFY(pages.size() == 2 && reports.size() == 2, testing::kAtOnceMs);
    QVERIFY(pageOf(pages, 1).has_value());
    QCOMPARE(reports.at(1).at(0).toBool(), true);
    QCOMPARE(downloads.size(), 1);
}

// A redirect within the server is followed; one to another host is refused, so that the token
// never leaves the server.
void TestServer::redirects()
{
    m_server->setHandler([this](const HttpRequest& request) {
        if (request.path().startsWith("/moved")) {
            return HttpResponse::json(R"({"status":200,"datas":[{"id":1}]})");
        }
        HttpResponse redirect = HttpResponse::json({}, request.method == "POST" ? 307 : 302);
        const QString target =
            request.method == "POST" ? m_otherHost->baseUrl() : m_server->baseUrl();
        redirect.addHeader("Location", (target + "/moved" + request.target).toUtf8());
        return redirect;
    });
    m_otherHost->setHandler(
        [](const HttpRequest&) { return HttpResponse::json(R"({"status":200})"); });
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression("^POST NetworkReply failed: .* redirected to " +
                                            QRegularExpression::escape(m_otherHost->baseUrl())));
    auto service = makeService();
    QSignalSpy pages(service.get(), &MsgNotifyService::sigGetMsgNotifyInfosFinished);
    QSignalSpy reports(service.get(), &MsgNotifyService::sigReportMsgNotifyInfoFinished);
    service->getMsgNotifyInfos(0);
    service->reportMsgNotifyInfo(MsgEventInfos{MsgEventInfo(1, 2, EventKind::Closed)});
    QMN_TRY_VERIFY(!pages.isEmpty() && !reports.isEmpty(), testing::kAtOnceMs);
    QVERIFY(pageOf(pages, 0).has_value());
    QCOMPARE(reports.first().first().toBool(), false);
    QCOMPARE(m_otherHost->requestCount(), 0);
}

// Two images that end alike are two files; hits need no request; a link in the cache is
// replaced, never written through; a cache that cannot be made fails each download; the pool
// leaves half the cores free.
void TestServer::imageCache()
{
    QCOMPARE(ImgDownloadManager::poolSize(1), 1);
    QCOMPARE(ImgDownloadManager::poolSize(8), 4);
    QCOMPARE(ImgDownloadManager::poolSize(64), 10);

    m_server->setHandler([](const HttpRequest& request) {
        return HttpResponse::json("image of " + request.target);
    });
    ImgDownloadManager images;
    QSignalSpy results(&images, &ImgDownloadManager::sigImgDownloaded);
    const QString outside = TestEnvironment::instance()->root() + "/precious";
    QFile precious(outside);
    QVERIFY(precious.open(QIODevice::WriteOnly) && precious.write("keep me") == 7);
    precious.close();
    const QString base = m_server->baseUrl();
    QVERIFY(QFile::link(outside, images.localImagePath(base + "/link.png")));
    for (const char* path : {"/a/banner.png", "/b/banner.png", "/a/banner.png", "/link.png"}) {
        images.downloadImage(base + path);
        QVERIFY(results.wait());
        QVERIFY(results.last().at(1).toBool());
    }
    QCOMPARE(m_server->requestCount(), 3);
    QVERIFY(!m_server->requests().first().hasHeader("Authorization"));
    for (const char* path : {"/a/banner.png", "/b/banner.png"}) {
        QFile file(images.localImagePath(base + path));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), "image of " + QByteArray(path));
    }
    QVERIFY(!QFileInfo(images.localImagePath(base + "/link.png")).isSymLink());
    QVERIFY(precious.open(QIODevice::ReadOnly));
    QCOMPARE(precious.readAll(), QByteArray("keep me"));

    // The data home is a regular file: nothing can be made under it, even by root.
    const QByteArray dataHome = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", outside.toUtf8());
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Image dir created"));
    ImgDownloadManager blocked;
    qputenv("XDG_DATA_HOME", dataHome);
    QSignalSpy failed(&blocked, &ImgDownloadManager::sigImgDownloaded);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Failed to save image"));
    blocked.downloadImage(m_server->baseUrl() + "/x.png");
    QVERIFY(failed.wait());
    QCOMPARE(failed.first().at(1).toBool(), false);
}

void TestServer::backoff_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("retryAfter");
    QTest::addColumn<int>("failuresBefore");
    // How far ahead the wait was before this answer, in seconds; 0: passed.
    QTest::addColumn<qint64>("heldBefore");
    QTest::addColumn<int>("failures");
    // The wait that follows, in seconds: exactly, or the range a jittered one must fill.
    QTest::addColumn<qint64>("least");
    QTest::addColumn<qint64>("most");
    const qint64 day = 86400;
    const qint64 halfHour = 1800;
    QTest::newRow("503, seconds") << 503 << QByteArray("120") << 2 << 0LL << 2 << 120LL << 120LL;
    // Measured on the server's clock, which is an hour behind the local one here.
    QTest::newRow("429, HTTP date")
        << 429 << QByteArray("Sun, 06 Dec 2026 10:10:00 GMT") << 0 << 0LL << 0 << 600LL << 600LL;
    QTest::newRow("503, a date already past")
        << 503 << QByteArray("Sun, 06 Dec 2026 09:00:00 GMT") << 0 << 0LL << 0 << 0LL << 0LL;
    QTest::newRow("503, huge: clamped")
        << 503 << QByteArray("9999999999") << 0 << 0LL << 0 << day << day;
    QTest::newRow("503, garbage") << 503 << QByteArray("soon") << 0 << 0LL << 1 << 0LL << halfHour;
    QTest::newRow("429, negative") << 429 << QByteArray("-5") << 0 << 0LL << 1 << 0LL << halfHour;
    QTest::newRow("500 without the header")
        << 500 << QByteArray() << 2 << 0LL << 3 << 0LL << 4 * halfHour;
    // Past the cap every client still draws from the whole day, so that a fleet that failed
    // together does not come back together.
    QTest::newRow("500 far past the cap") << 500 << QByteArray() << 30 << 0LL << 31 << 0LL << day;
    QTest::newRow("network failure") << 0 << QByteArray() << 0 << 0LL << 1 << 0LL << halfHour;
    QTest::newRow("404 changes nothing")
        << 404 << QByteArray("60") << 3 << 60LL << 3 << 60LL << 60LL;
    QTest::newRow("a clock set back")
        << 404 << QByteArray() << 3 << 400 * day << 3 << 400 * day << 400 * day;
    QTest::newRow("success resets") << 200 << QByteArray() << 7 << 60LL << 0 << 0LL << 0LL;
    // The server's "nothing new" is an answer too: the next failure waits as a first one.
    QTest::newRow("304 resets") << 304 << QByteArray() << 3 << 60LL << 0 << 0LL << 0LL;
}

// The server's word where it gave one; otherwise a jittered wait that doubles per failure.
void TestServer::backoff()
{
    QFETCH(int, status);
    QFETCH(QByteArray, retryAfter);
    QFETCH(int, failuresBefore);
    QFETCH(qint64, heldBefore);
    QFETCH(int, failures);
    QFETCH(qint64, least);
    QFETCH(qint64, most);
    // An hour ahead of the server's Date.
    const qint64 now =
        QDateTime(QDate(2026, 12, 6), QTime(11, 0), QTimeZone::utc()).toMSecsSinceEpoch();
    QRandomGenerator random(7);
    QList<qint64> waits;
    for (int run = 0; run < 50; ++run) {
        ServerBackoff backoff{now + heldBefore * 1000, failuresBefore, false};
        const std::optional<qint64> asked =
            ServerBackoff::retryAfterMs(retryAfter, "Sun, 06 Dec 2026 10:00:00 GMT", now);
        backoff.record(status, asked, now, random);
        QCOMPARE(backoff.failures, failures);
        waits << std::max<qint64>(backoff.notBefore - now, 0);
        // Whatever was stored, the gate opens within a day.
        QCOMPARE(backoff.allows(now), backoff.notBefore <= now);
        QVERIFY(backoff.notBefore - now <= ServerBackoff::kMaxDelayMs);
    }
    std::sort(waits.begin(), waits.end());
    const qint64 spread = least == most ? 0 : (most - least) * 1000 / 3;
    QVERIFY2(waits.first() >= least * 1000 && waits.first() <= least * 1000 + spread &&
                 waits.last() <= most * 1000 && waits.last() >= most * 1000 - spread,
             qPrintable(QStringLiteral("%1..%2").arg(waits.first()).arg(waits.last())));
}

// A cycle whose upload fails sends nothing more; and should a request of it go out all the
// same, its failure is not counted again. The server's own word always holds.
void TestServer::oneFailurePerCycle()
{
    m_server->setHandler([](const HttpRequest&) { return HttpResponse::json("{}", 500); });
    auto service = makeService();
    QSignalSpy pages(service.get(), &MsgNotifyService::sigGetMsgNotifyInfosFinished);
    service->gate()->beginCycle();
    service->reportMsgNotifyInfo(MsgEventInfos{MsgEventInfo(1, 2, EventKind::Closed)});
    service->getMsgNotifyInfos(0);
    QVERIFY(pages.wait());
    QCOMPARE(m_server->requestCount(), 1);
    QCOMPARE(service->gate()->backoff().failures, 1);

    ServerGate gate;
    gate.beginCycle();
    gate.record(500, {}, {});
    gate.record(0, {}, {});
    QCOMPARE(gate.backoff().failures, 1);
    gate.record(503, "120", {});
    QVERIFY(gate.backoff().serverAsked);
    gate.beginCycle();
    gate.record(500, {}, {});
    QCOMPARE(gate.backoff().failures, 2);
}

QMN_TEST_MAIN(TestServer)
#include "tst_server.moc"
