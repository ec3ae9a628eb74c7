// One whole cycle through the bus: 200 new messages in 4 pages, with 200 images of 50 KB (or
// none with "--no-images"), against a loopback message server and an in-process fake
// notification service on a private bus. Prints the time from the QueryNotifications call to
// running false, the engine thread's longest block and the peak resident memory.

#include "block_meter.h"
#include "common/config.h"
#include "common/singleton.h"
#include "dbus/dbus_interface.h"
#include "loopback_http_server.h"
#include "notification/notification_interface.h"
#include "properties_changed_spy.h"
#include "recording_notification_server.h"
#include "test_environment.h"

#include <QDBusPendingCall>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QSettings>
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

    BlockMeter blocks;

    QElapsedTimer cycle;
    cycle.start();
    client.asyncCall(
        QDBusMessage::createMethodCall(name, path, name, QStringLiteral("QueryNotifications")));
    blocks.start();
    const bool done = QTest::qWaitFor(
        [&] {
            return spy.count() == 2 &&
                   !spy.signalList().last().changed.value(QStringLiteral("running")).toBool();
        },
        120000);
    const double cycleMs = cycle.nsecsElapsed() / 1e6;
    blocks.stop();

    std::printf("cycle of %d new messages%s\n", kPages * kPageSize,
                images ? " with 200 images of 50 KB" : " without images");
    std::printf("  bus call to running false     %8.1f ms%s\n", cycleMs,
                done ? "" : " (timed out)");
    std::printf("  notifications shown           %8lld\n", qlonglong(notifications.callCount()));
    std::printf("  engine thread longest block   %8.1f ms\n", blocks.longestMs());
    std::printf("  peak RSS of the process       %s\n", peakRss().constData());
    return done ? 0 : 1;
}
