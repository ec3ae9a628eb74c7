#include "log_capture.h"

#include <QStringList>

namespace {
LogCapture* s_capture = nullptr;
} // namespace

LogCapture::LogCapture()
{
    s_capture = this;
    m_previous = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(m_previous);
    s_capture = nullptr;
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    LogCapture* capture = s_capture;
    if (!capture) {
        return;
    }
    {
        QMutexLocker locker(&capture->m_mutex);
        capture->m_entries.append({type, QString::fromUtf8(context.category), message});
    }
    if (capture->m_previous) {
        capture->m_previous(type, context, message);
    }
}

QList<LogCapture::Entry> LogCapture::entries() const
{
    QMutexLocker locker(&m_mutex);
    return m_entries;
}

QStringList LogCapture::messages(const char* category, QtMsgType type) const
{
    QStringList result;
    const QString wanted = QString::fromUtf8(category);
    for (const Entry& entry : entries()) {
        if (entry.type == type && entry.category == wanted) {
            result.append(entry.message);
        }
    }
    return result;
}

int LogCapture::count(const QString& prefix) const
{
    int result = 0;
    for (const Entry& entry : entries()) {
        if (entry.message.startsWith(prefix)) {
            ++result;
        }
    }
    return result;
}
