#include "http/img_download_manager.h"
#include "log_capture.h"
#include "loopback_http_server.h"
#include "test_environment.h"

#include <QSignalSpy>
#include <QThreadPool>

namespace {
QByteArray imageBody(int seed, qsizetype size = 4096)
{
    QByteArray body(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i) {
        body[i] = char((i * 31 + seed * 7) & 0xff);
    }
    return body;
}
} // namespace

class TestImgDownload : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void poolSize_data();
    void poolSize();
    void fileNames_data();
    void fileNames();
    void downloadsAndCacheHits();
    void urlsWithoutFileName_data();
    void urlsWithoutFileName();
    void directoryIsNotACachedImage();
    void failures_data();
    void failures();
    void cacheDirectoryNotWritable();
    void concurrentWritesOfOneFile();
    void hostileUrlsStayInTheCache_data();
    void hostileUrlsStayInTheCache();
    void linksAreReplacedNotFollowed();
    void cacheRecoversWhenWritable();
    void manyDistinctUrls();

private:
    std::unique_ptr<ImgDownloadManager> makeManager();
    QStringList cacheFiles() const;

    std::unique_ptr<LoopbackHttpServer> m_server;
    std::unique_ptr<QTemporaryDir> m_dataHome;
    QString m_imgDir;
};

void TestImgDownload::initTestCase()
{
    m_server = std::make_unique<LoopbackHttpServer>();
    QVERIFY(m_server->isListening());
}

void TestImgDownload::init()
{
    m_dataHome = std::make_unique<QTemporaryDir>(TestEnvironment::instance()->root() +
                                                 QStringLiteral("/data-XXXXXX"));
    qputenv("XDG_DATA_HOME", m_dataHome->path().toUtf8());
    m_imgDir = m_dataHome->path() + QStringLiteral("/quorin/quorin-msg-notification/images");
    m_server->clearRequests();
    // The body names the request, so that each file can be traced to its download.
    m_server->setHandler([](const HttpRequest& request) {
        HttpResponse response;
        response.addHeader("Content-Type", "image/png");
        response.body = "image of " + request.target;
        return response;
    });
}

std::unique_ptr<ImgDownloadManager> TestImgDownload::makeManager()
{
    ImgDownloadLimits limits;
    limits.timeoutMs = 1000;
    limits.maxBytes = 1024 * 1024;
    return std::make_unique<ImgDownloadManager>(nullptr, limits);
}

QStringList TestImgDownload::cacheFiles() const
{
    return QDir(m_imgDir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                                    QDir::Name);
}

void TestImgDownload::poolSize_data()
{
    QTest::addColumn<int>("ideal");
    QTest::addColumn<int>("size");
    QTest::newRow("1") << 1 << 1;
    QTest::newRow("2") << 2 << 1;
    QTest::newRow("8") << 8 << 4;
    QTest::newRow("21") << 21 << 10;
    QTest::newRow("22") << 22 << 10;
    QTest::newRow("64") << 64 << 10;
}

void TestImgDownload::poolSize()
{
    QFETCH(int, ideal);
    QTEST(ImgDownloadManager::poolSize(ideal), "size");
}

void TestImgDownload::fileNames_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("name");
    QTest::newRow("plain") << QStringLiteral("https://img.test/a/b.png") << QStringLiteral("b.png");
    QTest::newRow("trailing slash")
        << QStringLiteral("https://img.test/a/b.png/") << QStringLiteral("b.png");
    QTest::newRow("query kept") << QStringLiteral("https://img.test/a/b.png?size=2&v=3")
                                << QStringLiteral("b.png?size=2&v=3");
    QTest::newRow("fragment kept")
        << QStringLiteral("https://img.test/b.png#x") << QStringLiteral("b.png#x");
    QTest::newRow("empty") << QString() << QString();
    QTest::newRow("only slashes") << QStringLiteral("///") << QString();
    QTest::newRow("dot") << QStringLiteral("https://img.test/a/.") << QString();
    QTest::newRow("dot dot") << QStringLiteral("https://img.test/a/../") << QString();
}

void TestImgDownload::fileNames()
{
    QFETCH(QString, url);
    QFETCH(QString, name);
    QCOMPARE(ImgDownload::imageFileName(url), name);
    const auto manager = makeManager();
    QCOMPARE(manager->imgDir(), m_imgDir);
    QCOMPARE(manager->localImagePath(url),
             name.isEmpty() ? QString() : m_imgDir + QLatin1Char('/') + name);
}

void TestImgDownload::downloadsAndCacheHits()
{
    const auto manager = makeManager();
    QVERIFY(QFileInfo(m_imgDir).isDir());
    QSignalSpy results(manager.get(), &ImgDownloadManager::sigImgDownloaded);
    const QString first = m_server->baseUrl() + QStringLiteral("/a/pic.png/");
    const QString sameName = m_server->baseUrl() + QStringLiteral("/other/pic.png");

    manager->downloadImage(first);
    QVERIFY(results.wait());
    QCOMPARE(results.takeFirst(), QVariantList({first, true}));
    QFile file(m_imgDir + QStringLiteral("/pic.png"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("image of /a/pic.png/"));
    QCOMPARE(m_server->requestCount(), 1);
    QVERIFY(!m_server->requests().first().hasHeader("Authorization"));

    // From the cache, without a request: the same URL and another one with the same last segment.
    manager->downloadImage(first);
    manager->downloadImage(sameName);
    QTRY_COMPARE(results.size(), 2);
    QCOMPARE(results.at(0).at(1).toBool(), true);
    QCOMPARE(results.at(1).at(1).toBool(), true);
    QCOMPARE(m_server->requestCount(), 1);
    QCOMPARE(m_server->connectionCount(), 1);
}

void TestImgDownload::urlsWithoutFileName_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("onOurServer");
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("only slashes") << QStringLiteral("///") << false;
    QTest::newRow("dot") << QStringLiteral("/.") << true;
    QTest::newRow("dot dot at the end") << QStringLiteral("/img/..") << true;
}

void TestImgDownload::urlsWithoutFileName()
{
    QFETCH(QString, url);
    QFETCH(bool, onOurServer);
    const auto manager = makeManager();
    QSignalSpy results(manager.get(), &ImgDownloadManager::sigImgDownloaded);
    // Aimed at our server where possible, so that any request would be seen.
    manager->downloadImage(onOurServer ? m_server->baseUrl() + url : url);
    QVERIFY(results.wait());
    QTest::qWait(50);
    QCOMPARE(results.size(), 1);
    QCOMPARE(results.first().at(1).toBool(), false);
    QCOMPARE(m_server->connectionCount(), 0);
    QCOMPARE(cacheFiles(), QStringList());
}

void TestImgDownload::directoryIsNotACachedImage()
{
    const auto manager = makeManager();
    QVERIFY(QDir().mkpath(m_imgDir + QStringLiteral("/taken.png")));
    QSignalSpy results(manager.get(), &ImgDownloadManager::sigImgDownloaded);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(
                                           "^Failed to save image to file: .*/taken.png$")));
    manager->downloadImage(m_server->baseUrl() + QStringLiteral("/taken.png"));
    QVERIFY(results.wait());
    QCOMPARE(results.first().at(1).toBool(), false);
    QCOMPARE(m_server->requestCount(), 1);
}

void TestImgDownload::failures_data()
{
    QTest::addColumn<HttpResponse>("response");

    HttpResponse notFound;
    notFound.status = 404;
    notFound.reason = "Not Found";
    notFound.body = "no such image";
    QTest::newRow("404") << notFound;
    HttpResponse silent;
    silent.mode = HttpResponse::Mode::NeverAnswer;
    QTest::newRow("never answers") << silent;
    HttpResponse reset;
    reset.mode = HttpResponse::Mode::Reset;
    QTest::newRow("connection reset") << reset;
    HttpResponse huge;
    huge.mode = HttpResponse::Mode::Streamed;
    huge.size = 3 * 1024 * 1024;
    QTest::newRow("oversized, unannounced") << huge;
    huge.announceSize = true;
    QTest::newRow("oversized, announced") << huge;
}

void TestImgDownload::failures()
{
    QFETCH(HttpResponse, response);
    m_server->setHandler([=](const HttpRequest&) { return response; });
    const auto manager = makeManager();
    QSignalSpy results(manager.get(), &ImgDownloadManager::sigImgDownloaded);
    const QString url = m_server->baseUrl() + QStringLiteral("/broken.png");

    QTest::ignoreMessage(QtWarningMsg, qPrintable(QStringLiteral("Image download failed: ") + url));
    QElapsedTimer timer;
    timer.start();
    manager->downloadImage(url);
    QVERIFY(results.wait(5000));
    QVERIFY(timer.elapsed() < 1000 + 2000);
    QCOMPARE(results.first(), QVariantList({url, false}));
    QCOMPARE(cacheFiles(), QStringList());
}

void TestImgDownload::cacheDirectoryNotWritable()
{
    // The data home is a regular file: nothing can be created under it, even by root.
    const QString blocker = m_dataHome->filePath(QStringLiteral("file"));
    QFile file(blocker);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    qputenv("XDG_DATA_HOME", blocker.toUtf8());
    const QString dir = blocker + QStringLiteral("/quorin/quorin-msg-notification/images");

    QTest::ignoreMessage(QtWarningMsg,
                         qPrintable(QStringLiteral("Image dir created failed: ") + dir));
    const auto manager = makeManager();
    QSignalSpy results(manager.get(), &ImgDownloadManager::sigImgDownloaded);
    QTest::ignoreMessage(QtWarningMsg, qPrintable(QStringLiteral("Failed to save image to file: ") +
                                                  dir + QStringLiteral("/x.png")));
    manager->downloadImage(m_server->baseUrl() + QStringLiteral("/x.png"));
    QVERIFY(results.wait());
    QCOMPARE(results.first().at(1).toBool(), false);
}

void TestImgDownload::concurrentWritesOfOneFile()
{
    const auto manager = makeManager();
    const QString path = m_imgDir + QStringLiteral("/same.png");

    // Through the manager: 20 URLs, one file name, each body different.
    QSignalSpy results(manager.get(), &ImgDownloadManager::sigImgDownloaded);
    for (int i = 0; i < 20; ++i) {
        manager->downloadImage(m_server->baseUrl() + QStringLiteral("/%1/same.png").arg(i));
    }
    QTRY_COMPARE(results.size(), 20);
    for (const QVariantList& result : std::as_const(results)) {
        QCOMPARE(result.at(1).toBool(), true);
    }
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(QRegularExpression(QStringLiteral("^image of /\\d+/same.png$"))
                .match(QString::fromLatin1(file.readAll()))
                .hasMatch());
    file.close();

    // Writers really at the same time, with large bodies so that writes overlap.
    QList<QByteArray> bodies;
    for (int i = 0; i < 20; ++i) {
        bodies.append(imageBody(i, 512 * 1024));
    }
    QThreadPool writers;
    writers.setMaxThreadCount(20);
    std::atomic<int> failures{0};
    for (int i = 0; i < 20; ++i) {
        writers.start([&, i] {
            ImgDownload task(QStringLiteral("http://127.0.0.1/w/same.png"), m_imgDir);
            task.setAutoDelete(false);
            failures += task.saveToFile(bodies.at(i)) ? 0 : 1;
        });
    }
    writers.waitForDone();
    QCOMPARE(failures.load(), 0);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(bodies.contains(file.readAll()));
    // Nothing but the image is left behind.
    QCOMPARE(cacheFiles(), QStringList{QStringLiteral("same.png")});
}

void TestImgDownload::manyDistinctUrls()
{
    const auto manager = makeManager();
    QSignalSpy results(manager.get(), &ImgDownloadManager::sigImgDownloaded);
    QSet<QString> urls;
    for (int i = 0; i < 100; ++i) {
        const QString url = m_server->baseUrl() + QStringLiteral("/many/%1.png").arg(i);
        urls.insert(url);
        manager->downloadImage(url);
    }
    QTRY_COMPARE_WITH_TIMEOUT(results.size(), 100, 30000);
    QTest::qWait(50);
    QCOMPARE(results.size(), 100);
    QSet<QString> reported;
    for (const QVariantList& result : std::as_const(results)) {
        reported.insert(result.at(0).toString());
        QCOMPARE(result.at(1).toBool(), true);
    }
    QCOMPARE(reported, urls);
    QCOMPARE(cacheFiles().size(), 100);
}

void TestImgDownload::hostileUrlsStayInTheCache_data()
{
    QTest::addColumn<QString>("url");
    QTest::newRow("dot dot") << QStringLiteral("https://a.test/img/../../../../etc/passwd/..");
    QTest::newRow("encoded dot dot") << QStringLiteral("https://a.test/img/%2E%2E");
    QTest::newRow("encoded slash") << QStringLiteral("https://a.test/img/..%2F..%2Fetc%2Fpasswd");
    QTest::newRow("backslashes") << QStringLiteral("https://a.test/img/..\\..\\evil.png");
    QTest::newRow("NUL") << QStringLiteral("https://a.test/img/a.png") + QChar(0) +
                                QStringLiteral("../../x");
    QTest::newRow("300 characters") << QStringLiteral("https://a.test/") + QString(300, u'a');
    QTest::newRow("same name, host a") << QStringLiteral("https://a.test/logo.png");
    QTest::newRow("same name, host b") << QStringLiteral("https://b.test/logo.png");
    QTest::newRow("absolute path") << QStringLiteral("/etc/passwd");
}

void TestImgDownload::hostileUrlsStayInTheCache()
{
    QFETCH(QString, url);
    const auto manager = makeManager();
    const QString path = manager->localImagePath(url);
    if (path.isEmpty()) {
        return; // no file at all
    }
    const QFileInfo file(path);
    QCOMPARE(file.absolutePath(), QDir(m_imgDir).absolutePath());
    QVERIFY(!file.fileName().isEmpty());
    QVERIFY(file.fileName() != QLatin1String(".."));
    QVERIFY(!file.fileName().contains(QLatin1Char('/')));
    QVERIFY(!file.fileName().contains(QChar(0)));
}

void TestImgDownload::linksAreReplacedNotFollowed()
{
    const auto manager = makeManager();
    const QString outside = m_dataHome->filePath(QStringLiteral("precious.txt"));
    QFile precious(outside);
    QVERIFY(precious.open(QIODevice::WriteOnly));
    precious.write("keep me");
    precious.close();
    QVERIFY(QFile::link(outside, m_imgDir + QStringLiteral("/link.png")));

    // Not a cached image: it is downloaded, and the link itself replaced.
    QSignalSpy results(manager.get(), &ImgDownloadManager::sigImgDownloaded);
    manager->downloadImage(m_server->baseUrl() + QStringLiteral("/link.png"));
    QVERIFY(results.wait());
    QCOMPARE(results.first().at(1).toBool(), true);
    QCOMPARE(m_server->requestCount(), 1);
    QVERIFY(!QFileInfo(m_imgDir + QStringLiteral("/link.png")).isSymLink());
    QVERIFY(precious.open(QIODevice::ReadOnly));
    QCOMPARE(precious.readAll(), QByteArray("keep me"));
}

void TestImgDownload::cacheRecoversWhenWritable()
{
    const QString blocker = m_dataHome->filePath(QStringLiteral("file"));
    QFile file(blocker);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    qputenv("XDG_DATA_HOME", blocker.toUtf8());
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("^Image dir created failed: ")));
    const auto manager = makeManager();
    QSignalSpy results(manager.get(), &ImgDownloadManager::sigImgDownloaded);
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("^Failed to save image to file: ")));
    manager->downloadImage(m_server->baseUrl() + QStringLiteral("/later.png"));
    QVERIFY(results.wait());
    QCOMPARE(results.takeFirst().at(1).toBool(), false);

    // The cause goes: the next download stores the image.
    QVERIFY(QFile::remove(blocker));
    manager->downloadImage(m_server->baseUrl() + QStringLiteral("/later.png"));
    QVERIFY(results.wait());
    QCOMPARE(results.takeFirst().at(1).toBool(), true);
    QVERIFY(QFileInfo(manager->imgDir() + QStringLiteral("/later.png")).isFile());
}

QMN_TEST_MAIN(TestImgDownload)
#include "tst_img_download.moc"
