#include "loopback_daemon.h"

#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

LoopbackDaemon::~LoopbackDaemon()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }
}

bool LoopbackDaemon::start(const QString& program,
                           const std::function<QStringList(quint16)>& configure)
{
    m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    for (int attempt = 0; attempt < 5; ++attempt) {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost)) {
            m_error = probe.errorString();
            return false;
        }
        const quint16 port = probe.serverPort();
        probe.close();
        m_process.start(program, configure(port));
        if (!m_process.waitForStarted()) {
            m_error = m_process.errorString();
            return false;
        }
        for (int wait = 0; wait < 100 && m_process.state() == QProcess::Running; ++wait) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, port);
            if (socket.waitForConnected(100)) {
                m_port = port;
                return true;
            }
            m_process.waitForFinished(100);
        }
        m_error = QString::fromLocal8Bit(m_process.readAll());
        m_process.kill();
        m_process.waitForFinished();
    }
    return false;
}

QByteArray LoopbackDaemon::readFile(const QString& name) const
{
    QFile file(filePath(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
