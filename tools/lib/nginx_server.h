#pragma once

#include "loopback_daemon.h"

#include <QList>
#include <QSslCertificate>

// nginx serving the store's listing as static files, over TLS (HTTP/2 and HTTP/1.1) with a
// certificate made when it starts: page N of the listing is <root>/pages/N.json, the upload of
// events gets a fixed success, any other path is a file under <root>. nginx answers
// If-Modified-Since and If-None-Match itself. Its access log names each request's connection.
class NginxServer : public LoopbackDaemon
{
public:
    // With `etag` false, nginx sends no ETag, and only Last-Modified remains.
    explicit NginxServer(const QString& root, bool etag = true);

    // "https://<host>:<port>"; the certificate names 127.0.0.1, localhost and 0.0.0.0.
    QString baseUrl(const QString& host = QStringLiteral("127.0.0.1")) const;
    QSslCertificate certificate() const { return m_certificate; }

    struct Request
    {
        int connection = 0;
        QByteArray method;
        QByteArray target;
        int status = 0;
        QByteArray ifModifiedSince; // empty when not sent
        QByteArray ifNoneMatch;
        QByteArray protocol; // "HTTP/2.0", "HTTP/1.1"
    };
    // What the access log holds so far, oldest first.
    QList<Request> requests() const;

private:
    QSslCertificate m_certificate;
};
