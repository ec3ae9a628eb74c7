#pragma once

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QPair>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>

#include <functional>
#include <memory>

class QThread;

struct HttpRequest
{
    QByteArray method;
    QByteArray target;                            // path and query, as sent
    QList<QPair<QByteArray, QByteArray>> headers; // in the order sent
    QByteArray body;
    int connection = 0; // the server's number of the connection it came on, from 1

    QByteArray header(const QByteArray& name) const;
    bool hasHeader(const QByteArray& name) const;
    QByteArray path() const
    {
        const qsizetype mark = target.indexOf('?');
        return mark < 0 ? target : target.left(mark);
    }
    QByteArray query() const;
};

struct HttpResponse
{
    enum class Mode {
        Normal,             // status line, headers, Content-Length, body, close (or keep-alive)
        NeverAnswer,        // read the request and say nothing
        HeadersThenSilence, // headers announcing the body, then nothing
        Reset,              // close the connection with a TCP reset
        Streamed,           // `size` bytes of filler, without Content-Length unless `announceSize`
        Trickle,            // the body one byte every `intervalMs`
        Truncated,          // headers announcing the body, half of it, then the end
    };

    int status = 200;
    QByteArray reason = "OK";
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    Mode mode = Mode::Normal;
    qint64 size = 0;
    bool announceSize = false;
    int intervalMs = 500;
    // Normal mode: answer only after this long.
    int delayMs = 0;

    void addHeader(const QByteArray& name, const QByteArray& value)
    {
        headers.append(qMakePair(name, value));
    }
    static HttpResponse json(const QByteArray& body, int status = 200);
    // A JSON answer given in this mode: with this body, or `size` bytes of filler.
    static HttpResponse misbehaving(Mode mode, const QByteArray& body = {}, qint64 size = 0);
};

// A loopback HTTP/1.1 server on a thread of its own, optionally over TLS with a self-signed
// certificate made when it starts. It records every request and answers through a handler that
// runs on its thread. It closes each connection after its answer, unless keep-alive is on, as
// standard servers have it: then normal answers leave the connection open for the next request.
class LoopbackHttpServer
{
public:
    using Handler = std::function<HttpResponse(const HttpRequest&)>;

    // Port 0 takes any free port; the address must be a loopback one (127.0.0.0/8).
    explicit LoopbackHttpServer(bool tls = false, quint16 port = 0,
                                const QString& address = QStringLiteral("127.0.0.1"));
    ~LoopbackHttpServer();

    bool isListening() const { return m_port != 0; }
    quint16 port() const { return m_port; }
    // "http://<address>:<port>" or "https://<address>:<port>".
    QString baseUrl() const;
    QSslCertificate certificate() const { return m_certificate; }

    void setHandler(Handler handler);
    void setKeepAlive(bool keepAlive);
    bool keepAlive() const;
    // Closes every open connection, as a server does with idle ones after its keep-alive time.
    void closeConnections();
    QList<HttpRequest> requests() const;
    qsizetype requestCount() const;
    void clearRequests();
    // Connections the server has accepted, answered or not, and TLS handshakes completed.
    int connectionCount() const;
    int handshakeCount() const;

    // A self-signed certificate for 127.0.0.1, localhost and these addresses, and its key, as
    // PEM files; false when openssl failed.
    static bool makeCertificate(const QString& keyPath, const QString& certPath,
                                const QStringList& addresses = {});

    // Called on the server's thread.
    HttpResponse handle(const HttpRequest& request);
    int noteConnection();
    void noteHandshake();

private:
    bool makeCertificate();

    bool m_tls;
    QString m_address;
    quint16 m_port = 0;
    QSslCertificate m_certificate;
    QSslKey m_key;
    mutable QMutex m_mutex;
    Handler m_handler;
    QList<HttpRequest> m_requests;
    int m_connections = 0;
    int m_lastConnectionId = 0;
    int m_handshakes = 0;
    bool m_keepAlive = false;
    QThread* m_thread = nullptr;
    QObject* m_listener = nullptr;
};

Q_DECLARE_METATYPE(HttpResponse)
