// Starts cycles of quorin-msg-notification: calls QueryNotifications on the session bus and,
// with --wait, waits until `running` has turned false again.
//
//   quorin-msg-notification-query [--wait] [--cycles N] [--timeout SECONDS]

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QVariantMap>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace {
const QString kService = u"com.quorin.MsgNotification"_s;
const QString kPath = u"/com/quorin/MsgNotification"_s;

// Sees `running` turn false, as every client matching on the service name does.
class RunningWatcher : public QObject
{
    Q_OBJECT

public:
    bool finished = false;

public Q_SLOTS:
    void propertiesChanged(const QString&, const QVariantMap& changed, const QStringList&)
    {
        if (changed.contains(u"running"_s) && !changed.value(u"running"_s).toBool()) {
            finished = true;
            Q_EMIT done();
        }
    }

Q_SIGNALS:
    void done();
};
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(u"Starts cycles of quorin-msg-notification."_s);
    parser.addHelpOption();
    const QCommandLineOption waitOption(u"wait"_s, u"Wait until each cycle has ended."_s);
    const QCommandLineOption cyclesOption(u"cycles"_s, u"Number of cycles (default 1)."_s,
                                          u"n"_s, u"1"_s);
    const QCommandLineOption timeoutOption(u"timeout"_s, u"Seconds to wait per cycle (60)."_s,
                                           u"seconds"_s, u"60"_s);
    parser.addOptions({waitOption, cyclesOption, timeoutOption});
    parser.process(app);

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "no session bus: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }
    RunningWatcher watcher;
    bus.connect(kService, kPath, u"org.freedesktop.DBus.Properties"_s, u"PropertiesChanged"_s,
                &watcher, SLOT(propertiesChanged(QString, QVariantMap, QStringList)));

    const int cycles = qMax(1, parser.value(cyclesOption).toInt());
    const int timeoutMs = qMax(1, parser.value(timeoutOption).toInt()) * 1000;
    for (int cycle = 1; cycle <= cycles; ++cycle) {
        watcher.finished = false;
        QElapsedTimer elapsed;
        elapsed.start();
        const QDBusMessage reply = bus.call(
            QDBusMessage::createMethodCall(kService, kPath, kService, u"QueryNotifications"_s),
            QDBus::Block, timeoutMs);
        if (reply.type() != QDBusMessage::ReplyMessage) {
            std::fprintf(stderr, "QueryNotifications failed: %s\n",
                         qPrintable(reply.errorMessage()));
            return 1;
        }
        if (!parser.isSet(waitOption)) {
            continue;
        }
        if (!watcher.finished) {
            QEventLoop loop;
            QObject::connect(&watcher, &RunningWatcher::done, &loop, &QEventLoop::quit);
            QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
            loop.exec();
        }
        if (!watcher.finished) {
            std::fprintf(stderr, "cycle %d: running did not turn false within %d s\n", cycle,
                         timeoutMs / 1000);
            return 1;
        }
        std::printf("cycle %d of %d ended after %lld ms\n", cycle, cycles,
                    qlonglong(elapsed.elapsed()));
        std::fflush(stdout);
    }
    return 0;
}

#include "query_client.moc"
