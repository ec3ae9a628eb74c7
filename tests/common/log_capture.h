#pragma once

#include <QList>
#include <QMutex>
#include <QString>
#include <QtGlobal>

// Records every message of the process (from any thread) while it lives, then hands them on to
// the handler that was installed before (QtTest's, so ignoreMessage keeps working).
class LogCapture
{
public:
    struct Entry
    {
        QtMsgType type;
        QString category;
        QString message;
    };

    LogCapture();
    ~LogCapture();

    QList<Entry> entries() const;
    // Messages of one category and level, in order.
    QStringList messages(const char* category, QtMsgType type) const;
    // Messages of every level whose text starts with the given prefix.
    int count(const QString& prefix) const;

private:
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& message);

    mutable QMutex m_mutex;
    QList<Entry> m_entries;
    QtMessageHandler m_previous = nullptr;
};
