#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

#include <functional>

class QThread;

// org.freedesktop.Notifications on the session bus, on a thread and connection of its own so
// that a caller blocked on Notify cannot block it. Records every Notify with all its arguments,
// answers with increasing ids (or the id to replace), at once or after a delay, and closes with
// reason 3 on CloseNotification. It can answer with an error, not answer at all, or leave the
// bus. Like real services, it can keep only the last few bubbles of a program, and take a click
// for a dismissal where the default action has no button.
class RecordingNotificationServer : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    // Zero: a normal reply that carries id 0, which shows nothing.
    enum class Mode { Normal, Error, NeverAnswer, Zero };

    struct Call
    {
        QString appName;
        uint replacesId = 0;
        QString appIcon;
        QString summary;
        QString body;
        QStringList actions;
        QVariantMap hints;
        int expireTimeout = 0;
        QString hint() const
        {
            return hints.value(QStringLiteral("x-quorin-action-default")).toString();
        }
    };

    RecordingNotificationServer();
    ~RecordingNotificationServer() override;

    // Takes the service name; false when that failed.
    bool start();
    // Leaves the bus: afterwards nobody owns the name, and the calls it held unanswered end with
    // the bus's NoReply error.
    void stop();

    // How the next calls are answered, one mode each, and every call after them.
    void setAnswers(const QList<Mode>& next, Mode then = Mode::Normal);
    // The id the next new bubble gets, as after a restart of a real service.
    void setNextId(uint id);
    // Normal answers go out this long after the call came in.
    void setAnswerDelay(int ms);
    // Told of every notification it shows as it comes in (on its own thread), with the id it
    // answers.
    void setObserver(std::function<void(uint id, const Call& call)> observer);
    QList<Call> calls() const;
    qsizetype callCount() const;
    void clearCalls();
    // Emits NotificationClosed from the service's own thread and connection.
    void close(uint id, uint reason);
    // A click on bubble `id`, as GNOME Shell and dunst report it: ActivationToken (when a token
    // is given), then ActionInvoked, both sent only to the connection that showed the bubble.
    void click(uint id, const QString& token = QString(),
               const QString& action = QStringLiteral("default"));
    // Capabilities listed beside "body" and "actions".
    void setExtraCapabilities(const QStringList& capabilities);
    // As GNOME Shell: beyond `count` bubbles of one app_name, the oldest expires (reason 1)
    // before the answer. 0 keeps all.
    void setBubblesKept(int count);

public Q_SLOTS:
    uint Notify(const QString& app_name, uint replaces_id, const QString& app_icon,
                const QString& summary, const QString& body, const QStringList& actions,
                const QVariantMap& hints, int expire_timeout);
    void CloseNotification(uint id);
    QStringList GetCapabilities();
    QString GetServerInformation(QString& vendor, QString& version, QString& spec_version);

Q_SIGNALS:
    void NotificationClosed(uint id, uint reason);
    void ActionInvoked(uint id, const QString& action_key);
    void ActivationToken(uint id, const QString& activation_token);

private:
    void runOnOwnThread(const std::function<void()>& work);

    QThread* m_thread = nullptr;
    QString m_connectionName;
    mutable QMutex m_mutex;
    QList<Call> m_calls;
    QList<Mode> m_next;
    Mode m_then = Mode::Normal;
    uint m_nextId = 1;
    QList<QDBusMessage> m_unanswered;
    // Who showed each bubble: its connection's unique name.
    QHash<uint, QString> m_senders;
    QStringList m_extraCapabilities;
    int m_bubblesKept = 0;
    // Live bubbles per app_name, oldest first.
    QHash<QString, QList<uint>> m_stacks;
    std::function<void(uint, const Call&)> m_observer;
    int m_answerDelayMs = 0;
};
