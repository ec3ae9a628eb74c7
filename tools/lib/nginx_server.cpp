#include "nginx_server.h"

#include "loopback_http_server.h"

#include <QFile>

#include <unistd.h>

namespace {
// Every path nginx writes to lies in its own folder; its compiled-in temporary folders do not
// exist for a user, and belong to the distribution's nginx.
const char* const kConfiguration = R"(%1
pid %2/nginx.pid;
daemon off;
master_process off;
error_log %2/error.log notice;
events { worker_connections 64; }
http {
    log_format qmn escape=none '$connection	$request_method	$request_uri	$status	$http_if_modified_since	$http_if_none_match	$server_protocol';
    access_log %2/access.log qmn;
    client_body_temp_path %2/body;
    proxy_temp_path %2/proxy;
    fastcgi_temp_path %2/fastcgi;
    uwsgi_temp_path %2/uwsgi;
    scgi_temp_path %2/scgi;
    types { application/json json; image/png png; }
    default_type application/octet-stream;
    etag %3;
    server {
        listen 127.0.0.1:%4 ssl http2;
        ssl_certificate %2/cert.pem;
        ssl_certificate_key %2/key.pem;
        root %5;
        location = /store-dist-message/operActivity/msgNotifyInfos {
            try_files /pages/$arg_reqPage.json =404;
        }
        location = /store-dist-message/operActivity/report/msgNotifyInfo {
            default_type application/json;
            return 200 '{"status":200}';
        }
    }
}
)";
} // namespace

NginxServer::NginxServer(const QString& root, bool etag)
{
    const QString folder = filePath(QString());
    const QString certPath = filePath(QStringLiteral("cert.pem"));
    if (!LoopbackHttpServer::makeCertificate(filePath(QStringLiteral("key.pem")), certPath,
                                             {QStringLiteral("0.0.0.0")})) {
        return;
    }
    QFile cert(certPath);
    m_certificate =
        cert.open(QIODevice::ReadOnly) ? QSslCertificate(cert.readAll()) : QSslCertificate();
    start(QStringLiteral("nginx"), [&](quint16 port) {
        QFile configuration(filePath(QStringLiteral("nginx.conf")));
        if (configuration.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            // Root would hand the work to "nobody", who cannot read the test's folders.
            configuration.write(
                QString::fromLatin1(kConfiguration)
                    .arg(::geteuid() == 0 ? QStringLiteral("user root;") : QString(), folder,
                         etag ? QStringLiteral("on") : QStringLiteral("off"))
                    .arg(port)
                    .arg(root)
                    .toUtf8());
        }
        return QStringList{QStringLiteral("-e"), filePath(QStringLiteral("error.log")),
                           QStringLiteral("-p"), folder,
                           QStringLiteral("-c"), configuration.fileName()};
    });
}

QString NginxServer::baseUrl(const QString& host) const
{
    return QStringLiteral("https://%1:%2").arg(host).arg(port());
}

QList<NginxServer::Request> NginxServer::requests() const
{
    QList<Request> requests;
    const QByteArray log = readFile(QStringLiteral("access.log"));
    for (const QByteArray& line : log.split('\n')) {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() != 7) {
            continue;
        }
        auto value = [&](int i) {
            return fields.at(i) == "-" ? QByteArray() : fields.at(i);
        };
        requests.append({fields.at(0).toInt(), fields.at(1), fields.at(2), fields.at(3).toInt(),
                         value(4), value(5), fields.at(6)});
    }
    return requests;
}
