// A fetch of 4 pages of 50 messages from a loopback server through MsgNotifyService, against the
// same 4 GETs done by hand with a fresh network access manager each (the raw exchange). Prints
// the time per page of both and the worker's overhead per page.

#include "common/config.h"
#include "http/msg_notify_service.h"
#include "loopback_http_server.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSettings>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

namespace {
constexpr int kPages = 4;
constexpr int kRounds = 25;

QByteArray page(int number)
{
    QJsonArray datas;
    for (int i = 0; i < 50; ++i) {
        const int id = number * 100 + i;
        datas.append(QJsonObject{
            {QStringLiteral("id"), id},
            {QStringLiteral("name"), QStringLiteral("activity %1").arg(id)},
            {QStringLiteral("startTime"), 1733000000 + id},
            {QStringLiteral("endTime"), 1733999999},
            {QStringLiteral("title"), QStringLiteral("Spring sale %1").arg(id)},
            {QStringLiteral("content"), QStringLiteral("Up to 50% off on selected applications.")},
            {QStringLiteral("type"), 1},
            {QStringLiteral("imgUrl"), QStringLiteral("https://img.store.test/%1.png").arg(id)},
            {QStringLiteral("linkType"), int(LinkKind::ShellCommand)},
            {QStringLiteral("linkInfo"), QStringLiteral("store://app/%1").arg(id)}});
    }
    return QJsonDocument(QJsonObject{{QStringLiteral("status"), 200},
                                     {QStringLiteral("desc"), QStringLiteral("ok")},
                                     {QStringLiteral("datas"), datas},
                                     {QStringLiteral("total"), kPages * 50},
                                     {QStringLiteral("hasNextPage"), number < kPages ? 1 : 0}})
        .toJson(QJsonDocument::Compact);
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("com.quorin.MsgNotification*.debug=false"));
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", home.path().toUtf8());

    QList<QByteArray> bodies;
    for (int number = 1; number <= kPages; ++number) {
        bodies.append(page(number));
    }
    LoopbackHttpServer server;
    server.setHandler([&bodies](const HttpRequest& request) {
        const QByteArray query = request.query();
        const int number = query.mid(query.indexOf("reqPage=") + 8).split('&').first().toInt();
        HttpResponse response = HttpResponse::json(bodies.value(number - 1));
        response.addHeader("Last-Modified", "1733000000123");
        return response;
    });
    QDir().mkpath(Config::configDirPath());
    QSettings(Config::configFilePath(), QSettings::IniFormat)
        .setValue(QStringLiteral("server"), server.baseUrl());

    // As on the platform the service is made for: the file exists.
    MsgNotifyServiceOptions options;
    options.osVersionPath = home.filePath(QStringLiteral("os-version"));
    QFile osVersion(options.osVersionPath);
    if (osVersion.open(QIODevice::WriteOnly)) {
        osVersion.write("[Version]\nMajorVersion=20\nMinorVersion=1070\nEditionName=Pro\n"
                        "OsBuild=11018.101\n");
        osVersion.close();
    }
    MsgNotifyService service(nullptr, options);
    int delivered = 0;
    QEventLoop serviceLoop;
    QObject::connect(&service, &MsgNotifyService::sigGetMsgNotifyInfosFinished, &serviceLoop,
                     [&](const std::optional<MsgNotifyInfos>& page) {
                         if (!page || ++delivered == kPages) {
                             serviceLoop.quit();
                         }
                     });

    QList<double> raw;
    QList<double> worker;
    for (int round = 0; round < kRounds; ++round) {
        QElapsedTimer timer;
        timer.start();
        for (int number = 1; number <= kPages; ++number) {
            QNetworkAccessManager manager;
            QNetworkReply* reply = manager.get(QNetworkRequest(
                QUrl(server.baseUrl() +
                     QStringLiteral(
                         "/store-dist-message/operActivity/msgNotifyInfos?reqPage=%1&maxResults=50")
                         .arg(number))));
            QEventLoop loop;
            QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
            loop.exec();
            reply->readAll();
            delete reply;
        }
        raw.append(timer.nsecsElapsed() / 1e6);

        delivered = 0;
        timer.restart();
        service.getMsgNotifyInfos(0);
        serviceLoop.exec();
        worker.append(timer.nsecsElapsed() / 1e6);
        if (delivered != kPages) {
            std::fprintf(stderr, "fetch failed\n");
            return 1;
        }
    }
    const double rawPage = median(raw) / kPages;
    const double workerPage = median(worker) / kPages;
    std::printf("fetch of %d pages x 50 messages (median of %d)\n", kPages, kRounds);
    std::printf("  raw HTTP exchange            %7.3f ms per page\n", rawPage);
    std::printf("  MsgNotifyService             %7.3f ms per page\n", workerPage);
    std::printf("  worker overhead              %7.3f ms per page\n", workerPage - rawPage);
    return 0;
}
