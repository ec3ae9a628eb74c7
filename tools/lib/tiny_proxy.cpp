#include "tiny_proxy.h"

#include <QFile>
#include <QRegularExpression>

#include <unistd.h>

TinyProxy::TinyProxy()
{
    start(QStringLiteral("tinyproxy"), [&](quint16 port) {
        QFile configuration(filePath(QStringLiteral("tinyproxy.conf")));
        if (configuration.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            QString text = QStringLiteral("Port %1\nListen 127.0.0.1\nAllow 127.0.0.1\n"
                                          "Timeout 60\nMaxClients 50\nLogLevel Connect\n"
                                          "LogFile \"%2\"\nPidFile \"%3\"\n")
                               .arg(port)
                               .arg(filePath(QStringLiteral("tinyproxy.log")),
                                    filePath(QStringLiteral("tinyproxy.pid")));
            // As root it would otherwise turn into "nobody", who cannot write its log here.
            if (::geteuid() == 0) {
                text += QStringLiteral("User root\nGroup root\n");
            }
            configuration.write(text.toUtf8());
        }
        return QStringList{QStringLiteral("-d"), QStringLiteral("-c"), configuration.fileName()};
    });
}

QString TinyProxy::url() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

QStringList TinyProxy::tunnels() const
{
    static const QRegularExpression request(QStringLiteral(R"(: CONNECT (\S+) HTTP/)"));
    QStringList tunnels;
    for (const QString& line :
         QString::fromUtf8(readFile(QStringLiteral("tinyproxy.log"))).split(u'\n')) {
        const QRegularExpressionMatch match = request.match(line);
        if (match.hasMatch()) {
            tunnels << match.captured(1);
        }
    }
    return tunnels;
}
