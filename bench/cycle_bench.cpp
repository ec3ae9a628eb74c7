// Whole cycles through the bus: 200 new messages in 4 pages, with 200 images of 50 KB (or none
// with "--no-images"), against a loopback message server and an in-process fake notification
// service on a private bus; beside them the floor, the same I/O done alone. Prints the time from
// the QueryNotifications call to running false, the engine thread's longest block, the peak
// resident memory, a 304 cycle that shows the 200 again, and a 304 cycle with nothing to show.

#include "block_meter.h"
#include "common/config.h"
#include "common/singleton.h"
#include "dbus/dbus_interface.h"
#include "http/img_download_manager.h"
#include "loopback_http_server.h"
#include "notification/notification_interface.h"
#include "properties_changed_spy.h"
#include "recording_notification_server.h"
#include "test_environment.h"

#include <QDBusPendingCall>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSaveFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTimer>

#include <cstdio>

namespace {
constexpr int kPages = 4;
constexpr int kPageSize = 50;

QByteArray pageBody(int page, const QString& imageBase)
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    QJsonArray datas;
    for (int i = 0; i < kPageSize; ++i) {
        const int id = page * 1000 + i;
        datas.append(QJsonObject{
            {QStringLiteral("id"), id},
            {QStringLiteral("name"), QStringLiteral("activity %1").arg(id)},
            {QStringLiteral("startTime"), now - 60},
            {QStringLiteral("endTime"), now + 86400},
            {QStringLiteral("title"), QStringLiteral("Spring sale %1").arg(id)},
            {QStringLiteral("content"), QStringLiteral("Up to 50% off on selected applications.")},
            {QStringLiteral("type"), 1},
            {QStringLiteral("imgUrl"),
             imageBase.isEmpty() ? QString() : imageBase + QStringLiteral("/%1.png").arg(id)},
            {QStringLiteral("linkType"), 2},
            {QStringLiteral("linkInfo"), QStringLiteral("store://app/%1").arg(id)}});
    }
    return QJsonDocument(QJsonObject{{QStringLiteral("status"), 200},
                                     {QStringLiteral("desc"), QStringLiteral("ok")},
                                     {QStringLiteral("datas"), datas},
                                     {QStringLiteral("total"), kPages * kPageSize},
                                     {QStringLiteral("hasNextPage"), page < kPages ? 1 : 0}})
        .toJson(QJsonDocument::Compact);
}

// Four page GETs one after the other, the images on a pool of the service's size, then one
// Notify per message, waited for one after the other.
double ioFloorMs(const QString& base, bool images, int messages)
{
    QTemporaryDir files;
    QElapsedTimer clock;
    clock.start();
    auto get = [](const QString& url) {
        QNetworkAccessManager manager;
        QNetworkReply* reply = manager.get(QNetworkRequest(QUrl(url)));
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        loop.exec();
        const QByteArray body = reply->readAll();
        delete reply;
        return body;
    };
    for (int page = 1; page <= kPages; ++page) {
        get(base + QStringLiteral(
                       "/store-dist-message/operActivity/msgNotifyInfos?reqPage=%1&maxResults=50")
                       .arg(page));
    }
    if (images) {
        QThreadPool pool;
        pool.setMaxThreadCount(ImgDownloadManager::poolSize(QThread::idealThreadCount()));
        for (int i = 0; i < messages; ++i) {
            pool.start([&, i] {
                QSaveFile file(files.filePath(QStringLiteral("%1.png").arg(i)));
                if (file.open(QIODevice::WriteOnly)) {
                    file.write(get(base + QStringLiteral("/img/%1.png").arg(i)));
                    file.commit();
                }
            });
        }
        pool.waitForDone();
    }
    for (int i = 0; i < messages; ++i) {
        QDBusMessage notify = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.Notifications"),
            QStringLiteral("/org/freedesktop/Notifications"),
            QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
        notify.setArguments({QStringLiteral("quorin-msg-notification"), 0u, QString(),
                             QStringLiteral("Spring sale"), QStringLiteral("Up to 50% off."),
                             QStringList{QStringLiteral("default"), QString()},
                             QVariantMap{{QStringLiteral("x-quorin-action-default"), QString()}},
                             -1});
        QDBusConnection::sessionBus().call(notify);
    }
    return clock.nsecsElapsed() / 1e6;
}

QByteArray peakRss()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("VmHWM:")) {
                return line.mid(6).simplified();
            }
        }
    }
    return "?";
}
} // namespace

int main(int argc, char** argv)
{
    const bool images = !(argc > 1 && qstrcmp(argv[1], "--no-images") == 0);
    TestEnvironment environment;
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("com.quorin.MsgNotification*.debug=false"));
    if (!environment.start()) {
        return 1;
    }

    LoopbackHttpServer server;
    const QString imageBase = images ? server.baseUrl() + QStringLiteral("/img") : QString();
    QList<QByteArray> pages;
    for (int page = 1; page <= kPages; ++page) {
        pages.append(pageBody(page, imageBase));
    }
    const QByteArray image(50 * 1024, 'i');
    server.setHandler([&](const HttpRequest& request) {
        if (request.path().startsWith("/img/")) {
            HttpResponse response;
            response.addHeader("Content-Type", "image/png");
            response.body = image;
            return response;
        }
        if (request.method == "POST") {
            return HttpResponse::json(R"({"status":200})");
        }
        if (request.header("If-Modified-Since") == "1733000000123") {
            HttpResponse notModified;
            notModified.status = 304;
            notModified.reason = "Not Modified";
            return notModified;
        }
        const QByteArray query = request.query();
        const int page = query.mid(query.indexOf("reqPage=") + 8).split('&').first().toInt();
        HttpResponse response = HttpResponse::json(pages.value(page - 1));
        response.addHeader("Last-Modified", "1733000000123");
        return response;
    });
    QSettings(Config::configFilePath(), QSettings::IniFormat)
        .setValue(QStringLiteral("server"), server.baseUrl());

    RecordingNotificationServer notifications;
    if (!notifications.start()) {
        return 1;
    }
    DBusInterface service("");
    if (!service.registerDBus()) {
        return 1;
    }
    const QString name = QStringLiteral("com.quorin.MsgNotification");
    const QString path = QStringLiteral("/com/quorin/MsgNotification");
    QDBusConnection client = testing::clientConnection(QStringLiteral("bench-client"));
    PropertiesChangedSpy spy(client, name, path);

    // The floor: the same I/O alone, with nothing of the service around it.
    const double floorMs = ioFloorMs(server.baseUrl(), images, kPages * kPageSize);
    const qsizetype floorCalls = notifications.callCount();

    BlockMeter blocks;
    auto runCycle = [&]() -> double {
        const qsizetype before = spy.count();
        QElapsedTimer cycle;
        cycle.start();
        client.asyncCall(
            QDBusMessage::createMethodCall(name, path, name, QStringLiteral("QueryNotifications")));
        const bool done = QTest::qWaitFor(
            [&] {
                return spy.count() >= before + 2 &&
                       !spy.signalList().last().changed.value(QStringLiteral("running")).toBool();
            },
            120000);
        return done ? cycle.nsecsElapsed() / 1e6 : -1;
    };

    blocks.start();
    const double newMs = runCycle();
    blocks.stop();
    const qsizetype shownFirst = notifications.callCount() - floorCalls;
    const double reshowMs = runCycle();
    const qsizetype shownAgain = notifications.callCount() - floorCalls - shownFirst;
    for (int i = 0; i < 3; ++i) {
        runCycle(); // until every message has been shown five times
    }
    const qsizetype before = notifications.callCount();
    const double idleMs = runCycle();
    const bool done = newMs >= 0 && reshowMs >= 0 && idleMs >= 0;

    std::printf("cycle of %d new messages%s\n", kPages * kPageSize,
                images ? " with 200 images of 50 KB" : " without images");
    std::printf("  the same I/O alone (floor)    %8.1f ms\n", floorMs);
    std::printf("  bus call to running false     %8.1f ms (%.2f x floor)\n", newMs,
                newMs / floorMs);
    std::printf("  notifications shown           %8lld\n", qlonglong(shownFirst));
    std::printf("  engine thread longest block   %8.1f ms\n", blocks.longestMs());
    std::printf("  peak RSS of the process       %s\n", peakRss().constData());
    std::printf("  304, %lld shown again          %8.1f ms\n", qlonglong(shownAgain), reshowMs);
    std::printf("  304, nothing to show (%lld)     %8.1f ms\n",
                qlonglong(notifications.callCount() - before), idleMs);
    return done ? 0 : 1;
}
