#include "loopback_http_server.h"

#include <QHostAddress>
#include <QProcess>
#include <QSemaphore>
#include <QSslSocket>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <sys/socket.h>

QByteArray HttpRequest::header(const QByteArray& name) const
{
    for (const auto& header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0) {
            return header.second;
        }
    }
    return QByteArray();
}

bool HttpRequest::hasHeader(const QByteArray& name) const
{
    for (const auto& header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0) {
            return true;
        }
    }
    return false;
}

QByteArray HttpRequest::query() const
{
    const qsizetype mark = target.indexOf('?');
    return mark < 0 ? QByteArray() : target.mid(mark + 1);
}

HttpResponse HttpResponse::misbehaving(Mode mode, const QByteArray& body, qint64 size)
{
    HttpResponse response = json(body);
    response.mode = mode;
    response.size = size;
    return response;
}

HttpResponse HttpResponse::json(const QByteArray& body, int status)
{
    HttpResponse response;
    response.status = status;
    response.reason = status == 200 ? "OK" : "Status";
    response.addHeader("Content-Type", "application/json");
    response.body = body;
    return response;
}

namespace {

// One connection: reads a request, answers it as the handler says; with keep-alive, the next
// request after a normal answer.
class Connection : public QObject
{
public:
    Connection(QTcpSocket* socket, LoopbackHttpServer* server, int id)
        : QObject(socket)
        , m_socket(socket)
        , m_server(server)
        , m_id(id)
    {
        connect(socket, &QTcpSocket::readyRead, this, &Connection::onReadyRead);
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::bytesWritten, this, &Connection::onBytesWritten);
    }

private:
    void onReadyRead()
    {
        m_buffer += m_socket->readAll();
        if (!m_answered) {
            takeRequest();
        }
    }

    void takeRequest()
    {
        const qsizetype headerEnd = m_buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0) {
            return;
        }
        HttpRequest request;
        request.connection = m_id;
        const QList<QByteArray> lines = m_buffer.left(headerEnd).split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        request.method = requestLine.value(0);
        request.target = requestLine.value(1);
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines.at(i).trimmed();
            const qsizetype colon = line.indexOf(':');
            if (colon > 0) {
                request.headers.append(
                    qMakePair(line.left(colon).trimmed(), line.mid(colon + 1).trimmed()));
            }
        }
        const qsizetype length = request.header("Content-Length").toLongLong();
        if (m_buffer.size() < headerEnd + 4 + length) {
            return;
        }
        request.body = m_buffer.mid(headerEnd + 4, length);
        m_buffer.remove(0, headerEnd + 4 + length);
        m_answered = true;
        m_keepAlive = m_server->keepAlive() &&
                      request.header("Connection").compare("close", Qt::CaseInsensitive) != 0;
        const HttpResponse response = m_server->handle(request);
        if (response.mode == HttpResponse::Mode::Normal && response.delayMs > 0) {
            QTimer::singleShot(response.delayMs, this, [this, response] { answer(response); });
        } else {
            answer(response);
        }
    }

    void answer(const HttpResponse& response)
    {
        m_response = response;
        using Mode = HttpResponse::Mode;
        switch (response.mode) {
        case Mode::NeverAnswer:
            return;
        case Mode::Reset: {
            const linger reset{1, 0};
            ::setsockopt(int(m_socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset,
                         sizeof(reset));
            m_socket->abort();
            return;
        }
        default:
            break;
        }

        QByteArray head =
            "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + response.reason + "\r\n";
        for (const auto& header : response.headers) {
            head += header.first + ": " + header.second + "\r\n";
        }
        if (response.mode == Mode::Streamed) {
            m_remaining = response.size;
            if (response.announceSize) {
                head += "Content-Length: " + QByteArray::number(response.size) + "\r\n";
            }
        } else {
            head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
        }
        const bool keepAlive = m_keepAlive && response.mode == Mode::Normal;
        head += keepAlive ? "\r\n" : "Connection: close\r\n\r\n";
        m_socket->write(head);

        if (keepAlive) {
            m_socket->write(response.body);
            m_answered = false;
            takeRequest();
        } else if (response.mode == Mode::Normal) {
            m_socket->write(response.body);
            m_closeWhenWritten = true;
        } else if (response.mode == Mode::Truncated) {
            m_socket->write(response.body.left(response.body.size() / 2));
            m_closeWhenWritten = true;
        } else if (response.mode == Mode::Streamed) {
            onBytesWritten();
        } else if (response.mode == Mode::Trickle) {
            auto* timer = new QTimer(this);
            connect(timer, &QTimer::timeout, this, [this, timer] {
                if (m_trickled >= m_response.body.size()) {
                    timer->stop();
                    m_socket->disconnectFromHost();
                    return;
                }
                m_socket->write(m_response.body.mid(m_trickled++, 1));
            });
            timer->start(response.intervalMs);
        }
    }

    void onBytesWritten()
    {
        if (m_response.mode == HttpResponse::Mode::Streamed) {
            // Keep a little in flight only, so a client that stops reading stops us too.
            if (m_socket->bytesToWrite() > 256 * 1024) {
                return;
            }
            if (m_remaining <= 0) {
                m_socket->disconnectFromHost();
                return;
            }
            const qint64 chunk = qMin<qint64>(m_remaining, 64 * 1024);
            m_socket->write(QByteArray(chunk, 'x'));
            m_remaining -= chunk;
            return;
        }
        if (m_closeWhenWritten && m_socket->bytesToWrite() == 0) {
            m_socket->disconnectFromHost();
        }
    }

    QTcpSocket* m_socket;
    LoopbackHttpServer* m_server;
    int m_id;
    QByteArray m_buffer;
    bool m_answered = false;
    bool m_keepAlive = false;
    bool m_closeWhenWritten = false;
    HttpResponse m_response;
    qint64 m_remaining = 0;
    qsizetype m_trickled = 0;
};

class Listener : public QTcpServer
{
public:
    Listener(LoopbackHttpServer* server, bool tls, const QSslCertificate& certificate,
             const QSslKey& key)
        : m_server(server)
        , m_tls(tls)
        , m_certificate(certificate)
        , m_key(key)
    {
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        const int id = m_server->noteConnection();
        QTcpSocket* socket = nullptr;
        if (m_tls) {
            auto* ssl = new QSslSocket(this);
            ssl->setSocketDescriptor(descriptor);
            ssl->setLocalCertificate(m_certificate);
            ssl->setPrivateKey(m_key);
            ssl->setPeerVerifyMode(QSslSocket::VerifyNone);
            // A client that rejects the certificate just goes away.
            connect(ssl, &QSslSocket::sslErrors, ssl, [ssl] { ssl->abort(); });
            connect(ssl, &QSslSocket::encrypted, ssl,
                    [server = m_server] { server->noteHandshake(); });
            ssl->startServerEncryption();
            socket = ssl;
        } else {
            socket = new QTcpSocket(this);
            socket->setSocketDescriptor(descriptor);
        }
        new Connection(socket, m_server, id);
    }

private:
    LoopbackHttpServer* m_server;
    bool m_tls;
    QSslCertificate m_certificate;
    QSslKey m_key;
};

} // namespace

LoopbackHttpServer::LoopbackHttpServer(bool tls, quint16 port, const QString& address)
    : m_tls(tls)
    , m_address(address)
{
    if (tls && !makeCertificate()) {
        return;
    }
    m_thread = new QThread;
    m_thread->start();
    QSemaphore ready;
    auto* listener = new Listener(this, tls, m_certificate, m_key);
    listener->moveToThread(m_thread);
    m_listener = listener;
    const QHostAddress host(address);
    QMetaObject::invokeMethod(listener, [this, listener, port, host, &ready] {
        if (host.isLoopback() && listener->listen(host, port)) {
            m_port = listener->serverPort();
        }
        ready.release();
    });
    ready.acquire();
}

LoopbackHttpServer::~LoopbackHttpServer()
{
    if (!m_thread) {
        return;
    }
    QMetaObject::invokeMethod(
        m_listener, [listener = m_listener] { delete listener; }, Qt::BlockingQueuedConnection);
    m_thread->quit();
    m_thread->wait();
    delete m_thread;
}

bool LoopbackHttpServer::makeCertificate(const QString& keyPath, const QString& certPath,
                                         const QStringList& addresses)
{
    QString names = QStringLiteral("subjectAltName=IP:127.0.0.1,DNS:localhost");
    for (const QString& address : addresses) {
        names += QStringLiteral(",IP:") + address;
    }
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                   QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                   QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                   QStringLiteral("-days"), QStringLiteral("1"), QStringLiteral("-subj"),
                   QStringLiteral("/CN=127.0.0.1"), QStringLiteral("-addext"), names,
                   QStringLiteral("-keyout"), keyPath, QStringLiteral("-out"), certPath});
    if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0) {
        qWarning("openssl failed: %s", openssl.readAllStandardError().constData());
        return false;
    }
    return true;
}

bool LoopbackHttpServer::makeCertificate()
{
    QTemporaryDir dir;
    const QString keyPath = dir.filePath(QStringLiteral("key.pem"));
    const QString certPath = dir.filePath(QStringLiteral("cert.pem"));
    QFile keyFile(keyPath);
    QFile certFile(certPath);
    if (!makeCertificate(keyPath, certPath, {m_address}) || !keyFile.open(QIODevice::ReadOnly) ||
        !certFile.open(QIODevice::ReadOnly)) {
        return false;
    }
    m_key = QSslKey(keyFile.readAll(), QSsl::Ec);
    m_certificate = QSslCertificate(certFile.readAll());
    return !m_key.isNull() && !m_certificate.isNull();
}

QString LoopbackHttpServer::baseUrl() const
{
    return QStringLiteral("%1://%2:%3")
        .arg(m_tls ? QStringLiteral("https") : QStringLiteral("http"), m_address)
        .arg(m_port);
}

void LoopbackHttpServer::setHandler(Handler handler)
{
    QMutexLocker locker(&m_mutex);
    m_handler = std::move(handler);
}

void LoopbackHttpServer::setKeepAlive(bool keepAlive)
{
    QMutexLocker locker(&m_mutex);
    m_keepAlive = keepAlive;
}

bool LoopbackHttpServer::keepAlive() const
{
    QMutexLocker locker(&m_mutex);
    return m_keepAlive;
}

void LoopbackHttpServer::closeConnections()
{
    QMetaObject::invokeMethod(
        m_listener,
        [listener = m_listener] {
            for (QTcpSocket* socket : listener->findChildren<QTcpSocket*>()) {
                socket->disconnectFromHost();
            }
        },
        Qt::BlockingQueuedConnection);
}

QList<HttpRequest> LoopbackHttpServer::requests() const
{
    QMutexLocker locker(&m_mutex);
    return m_requests;
}

qsizetype LoopbackHttpServer::requestCount() const
{
    QMutexLocker locker(&m_mutex);
    return m_requests.size();
}

void LoopbackHttpServer::clearRequests()
{
    QMutexLocker locker(&m_mutex);
    m_requests.clear();
    m_connections = 0;
    m_handshakes = 0;
}

int LoopbackHttpServer::connectionCount() const
{
    QMutexLocker locker(&m_mutex);
    return m_connections;
}

int LoopbackHttpServer::handshakeCount() const
{
    QMutexLocker locker(&m_mutex);
    return m_handshakes;
}

HttpResponse LoopbackHttpServer::handle(const HttpRequest& request)
{
    Handler handler;
    {
        QMutexLocker locker(&m_mutex);
        m_requests.append(request);
        handler = m_handler;
    }
    if (!handler) {
        HttpResponse response;
        response.status = 404;
        response.reason = "Not Found";
        return response;
    }
    return handler(request);
}

int LoopbackHttpServer::noteConnection()
{
    QMutexLocker locker(&m_mutex);
    ++m_connections;
    return ++m_lastConnectionId;
}

void LoopbackHttpServer::noteHandshake()
{
    QMutexLocker locker(&m_mutex);
    ++m_handshakes;
}
