// 200 images of 50 KB from a loopback server through ImgDownloadManager with its production pool
// size. Prints the wall time, the pool size and the longest time the calling (engine) thread was
// kept from its event loop while the downloads ran.

#include "block_meter.h"
#include "http/img_download_manager.h"
#include "loopback_http_server.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

int main(int argc, char** argv)
{
    constexpr int kImages = 200;
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("com.quorin.MsgNotification*.debug=false"));
    QTemporaryDir home(QDir::currentPath() + QStringLiteral("/image-bench-XXXXXX"));
    qputenv("XDG_DATA_HOME", home.path().toUtf8());

    const QByteArray image(50 * 1024, 'i');
    LoopbackHttpServer server;
    server.setHandler([&image](const HttpRequest&) {
        HttpResponse response;
        response.addHeader("Content-Type", "image/png");
        response.body = image;
        return response;
    });

    ImgDownloadManager manager;
    int done = 0;
    int failed = 0;
    QEventLoop loop;
    QObject::connect(&manager, &ImgDownloadManager::sigImgDownloaded, &loop,
                     [&](const QString&, bool ret) {
                         failed += ret ? 0 : 1;
                         if (++done == kImages) {
                             loop.quit();
                         }
                     });

    // A tick every millisecond: the longest gap is the longest block of this thread.
    BlockMeter blocks;

    QElapsedTimer wall;
    wall.start();
    QElapsedTimer queueing;
    queueing.start();
    for (int i = 0; i < kImages; ++i) {
        manager.downloadImage(server.baseUrl() + QStringLiteral("/images/%1.png").arg(i));
    }
    const double queueingMs = queueing.nsecsElapsed() / 1e6;
    blocks.start();
    loop.exec();
    const double wallMs = wall.nsecsElapsed() / 1e6;

    std::printf("image download: %d images of 50 KB, pool of %d threads\n", kImages,
                manager.maxThreadCount());
    std::printf("  wall time                    %8.1f ms (%d failed)\n", wallMs, failed);
    std::printf("  queueing the %d calls       %8.3f ms\n", kImages, queueingMs);
    std::printf("  engine thread longest block  %8.3f ms\n", blocks.longestMs());
    return failed == 0 ? 0 : 1;
}
