#pragma once

#include <QObject>
#include <QString>

class QTimer;

// Opens a URI with the user's default handler for its scheme through GIO: the handler's program
// gets the URI as one argument of its own (no shell), and a sandboxed process goes through the
// desktop portal. A process that systemd runs as a service asks the user's systemd to start
// `gio open` in a unit of its own, so that the browser neither inherits the service's sandbox nor
// stops with it. Asynchronous; the outcome is logged.
class UriLauncher : public QObject
{
    Q_OBJECT

public:
    explicit UriLauncher(QObject* parent = nullptr);

    // `activationToken`, when not empty, lets the opened window take the focus (it is the token
    // the notification service handed out with the click).
    void launch(const QString& uri, const QString& activationToken);

private Q_SLOTS:
    void slotLaunchEnded();

private:
    void launchWithGio(const QString& uri, const QString& activationToken);
    // `gio`: the path of GIO's command-line tool, which the unit runs.
    void launchInUnit(const QString& gio, const QString& uri, const QString& activationToken);

    int m_pending = 0;
    // Turns GLib's default context while launches are pending, when the thread's event loop is
    // not GLib's own.
    QTimer* m_pump = nullptr;
};
