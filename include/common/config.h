#pragma once

#include <QObject>
#include <QString>

class QSettings;

// The two persistent settings: the message server's base URL and the last-modified stamp of the
// last complete fetch, kept in <config home>/<organisation or "quorin">/quorin-msg-notification/
// quorin-msg-notification.conf.
class Config : public QObject
{
    Q_OBJECT

public:
    Config();

    QString server() const { return m_server; }
    qint64 lastModified() const { return m_lastModified; }
    // 0 changes the in-memory value only, so the next start reads the last non-zero stamp again.
    void setLastModified(qint64 value);

    static QString defaultServer();
    static QString configDirPath();
    static QString configFilePath();

private:
    QSettings* m_settings = nullptr;
    QString m_server;
    qint64 m_lastModified = 0;
};
