// A demo message server on loopback: pages the sample messages of a JSON file, answers
// If-Modified-Since with an empty 304 while the data is current, serves the sample images and
// prints every uploaded event.
//
//   quorin-msg-notification-demo-server [--port N] [--data FILE] [--tls]
//
// Messages whose startTime/endTime are missing run from an hour ago to a week ahead; imgUrl
// values without a scheme are served from the data file's folder.

#include "loopback_http_server.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <csignal>
#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

void say(const QString& line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

QByteArray envelope(QJsonObject object, int status = 200, const QString& desc = u"ok"_s)
{
    object.insert("status"_L1, status);
    object.insert("desc"_L1, desc);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

int queryValue(const QByteArray& query, const QByteArray& name, int fallback)
{
    for (const QByteArray& item : query.split('&')) {
        if (item.startsWith(name + '=')) {
            bool ok = false;
            const int value = item.mid(name.size() + 1).toInt(&ok);
            return ok ? value : fallback;
        }
    }
    return fallback;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(u"quorin-msg-notification-demo-server"_s);
    std::signal(SIGTERM, [](int) { QCoreApplication::quit(); });
    std::signal(SIGINT, [](int) { QCoreApplication::quit(); });

    QCommandLineParser parser;
    parser.setApplicationDescription(u"Demo message server for quorin-msg-notification."_s);
    parser.addHelpOption();
    const QCommandLineOption portOption(u"port"_s, u"Port on 127.0.0.1; 0 takes a free one."_s,
                                        u"port"_s, u"8642"_s);
    const QCommandLineOption dataOption(u"data"_s, u"Sample messages (JSON)."_s, u"file"_s,
                                        QStringLiteral(QMN_DEMO_DATA_DIR "/messages.json"));
    const QCommandLineOption tlsOption(
        u"tls"_s, u"Serve HTTPS with a self-signed certificate made at start (printed)."_s);
    parser.addOptions({portOption, dataOption, tlsOption});
    parser.process(app);

    QFile dataFile(parser.value(dataOption));
    if (!dataFile.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(dataFile.fileName()));
        return 1;
    }
    const QJsonObject data = QJsonDocument::fromJson(dataFile.readAll()).object();
    const QDir dataDir = QFileInfo(dataFile).absoluteDir();

    LoopbackHttpServer server(parser.isSet(tlsOption), quint16(parser.value(portOption).toUInt()));
    if (!server.isListening()) {
        std::fprintf(stderr, "cannot listen on port %s\n", qPrintable(parser.value(portOption)));
        return 1;
    }
    const QString base = server.baseUrl();
    QTemporaryDir certificateDir;
    if (parser.isSet(tlsOption)) {
        QFile certificate(certificateDir.filePath(u"demo-server.pem"_s));
        if (certificate.open(QIODevice::WriteOnly)) {
            certificate.write(server.certificate().toPem());
            say(u"certificate: %1 (trust it to let the service connect)"_s.arg(certificate.fileName()));
        }
    }

    // The messages as the server sends them.
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    QJsonArray messages;
    for (const QJsonValue& value : data.value("messages"_L1).toArray()) {
        QJsonObject message = value.toObject();
        if (!message.contains("startTime"_L1)) {
            message.insert("startTime"_L1, now - 3600);
        }
        if (!message.contains("endTime"_L1)) {
            message.insert("endTime"_L1, now + 7 * 86400);
        }
        const QString image = message.value("imgUrl"_L1).toString();
        if (!image.isEmpty() && !image.contains("://"_L1)) {
            message.insert("imgUrl"_L1, base + u'/' + image);
        }
        messages.append(message);
    }
    const qint64 stamp = data.value("lastModified"_L1).toVariant().toLongLong();

    server.setHandler([=](const HttpRequest& request) {
        const QByteArray path = request.path();
        if (request.method == "GET" && path.endsWith("/store-dist-message/operActivity/msgNotifyInfos")) {
            const qint64 since = request.header("If-Modified-Since").toLongLong();
            if (since >= stamp && stamp > 0) {
                say(u"GET messages: not modified since %1"_s.arg(since));
                HttpResponse notModified;
                notModified.status = 304;
                notModified.reason = "Not Modified";
                return notModified;
            }
            const int page = qMax(1, queryValue(request.query(), "reqPage", 1));
            const int size = qBound(1, queryValue(request.query(), "maxResults", 50), 500);
            const QJsonArray slice = QJsonArray::fromVariantList(
                messages.toVariantList().mid((page - 1) * size, size));
            const bool more = qsizetype(page) * size < messages.size();
            say(u"GET messages: page %1, %2 messages%3"_s.arg(page).arg(slice.size())
                    .arg(more ? u", more to come"_s : QString()));
            HttpResponse response = HttpResponse::json(envelope(
                {{"datas"_L1, slice}, {"total"_L1, messages.size()}, {"hasNextPage"_L1, more ? 1 : 0}}));
            response.addHeader("Last-Modified", QByteArray::number(stamp));
            return response;
        }
        if (request.method == "POST" &&
            path.endsWith("/store-dist-message/operActivity/report/msgNotifyInfo")) {
            const QJsonArray events = QJsonDocument::fromJson(request.body).array();
            for (const QJsonValue& value : events) {
                const QJsonObject event = value.toObject();
                say(u"event: id %1, type %2, time %3"_s
                        .arg(event.value("id"_L1).toInt())
                        .arg(event.value("eventType"_L1).toInt())
                        .arg(event.value("eventTime"_L1).toVariant().toLongLong()));
            }
            say(u"POST events: %1 uploaded"_s.arg(events.size()));
            return HttpResponse::json(envelope({}));
        }
        if (request.method == "GET" && path.startsWith("/images/")) {
            QFile image(dataDir.filePath(QString::fromUtf8(path.mid(1)).section(u'/', 0, 1)));
            if (!path.contains("..") && image.open(QIODevice::ReadOnly)) {
                HttpResponse response;
                response.addHeader("Content-Type", "image/png");
                response.body = image.readAll();
                return response;
            }
        }
        HttpResponse notFound;
        notFound.status = 404;
        notFound.reason = "Not Found";
        return notFound;
    });

    say(u"listening on %1"_s.arg(base));
    return QCoreApplication::exec();
}
