#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <functional>

// A server program of the distribution run in the foreground on a free loopback port, with its
// configuration and logs in a folder of its own; it dies with this object, or with the process
// that started it.
class LoopbackDaemon
{
public:
    virtual ~LoopbackDaemon();
    LoopbackDaemon(const LoopbackDaemon&) = delete;
    LoopbackDaemon& operator=(const LoopbackDaemon&) = delete;

    bool isRunning() const { return m_port != 0; }
    quint16 port() const { return m_port; }
    // What the program said when it would not start.
    QString errorString() const { return m_error; }
    QString filePath(const QString& name) const { return m_dir.filePath(name); }

protected:
    LoopbackDaemon() = default;
    // Runs the program with the arguments `configure` gives for a port (after writing its
    // configuration), until it accepts connections on 127.0.0.1; another port if it exits
    // first (a port taken meanwhile).
    bool start(const QString& program, const std::function<QStringList(quint16)>& configure);
    QByteArray readFile(const QString& name) const;

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_error;
};
