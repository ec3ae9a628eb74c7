// Starts cycles of quorin-msg-notification: calls QueryNotifications on the session bus and,
// with --wait, waits until `running` has turned false again. Also shows what the service keeps
// (read-only) and switches it off and on.
//
//   quorin-msg-notification-query [--wait] [--cycles N] [--timeout SECONDS]
//   quorin-msg-notification-query [--list] [--events] [--status] [--json]
//   quorin-msg-notification-query --disable | --enable

#include "common/config.h"
#include "common/settings_lock.h"
#include "database/database_connection_config.h"
#include "report_table.h"
#include "store_report.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSettings>
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
void print(FILE* stream, const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

int fail(const QString& reason)
{
    print(stderr, u"quorin-msg-notification-query: %1\n"_s.arg(reason));
    return 1;
}

// The program speaks for itself, one line per failure; Qt's own messages would only repeat it.
void quiet(QtMsgType, const QMessageLogContext&, const QString&)
{
}

int setEnabled(bool enabled)
{
    const QString path = Config::configFilePath();
    if (!QDir().mkpath(Config::configDirPath())) {
        return fail(u"cannot create the folder of %1"_s.arg(path));
    }
    const QFileInfo file(path);
    if (file.exists() && !file.isFile()) {
        return fail(u"cannot write the configuration %1: not a file"_s.arg(path));
    }
    QSettings settings(path, QSettings::IniFormat);
    Config::setEnabledSetting(settings, enabled);
    SettingsLock::sync(settings);
    if (settings.status() != QSettings::NoError) {
        return fail(u"cannot write the configuration %1"_s.arg(path));
    }
    print(stdout, enabled ? u"switched on: the next QueryNotifications call runs a cycle\n"_s
                          : u"switched off: QueryNotifications calls do nothing until --enable; "
                            "stored messages and queued events are kept\n"_s);
    return 0;
}

// Qt leaves C1 controls as they are; a terminal that shows the document would act on them.
QByteArray jsonText(const QJsonObject& document)
{
    const QByteArray raw = QJsonDocument(document).toJson();
    QByteArray out;
    out.reserve(raw.size());
    for (qsizetype i = 0; i < raw.size(); ++i) {
        // U+0080 to U+009F are 0xC2 0x80 to 0xC2 0x9F in UTF-8, and only inside strings here.
        const auto next = i + 1 < raw.size() ? uchar(raw.at(i + 1)) : 0;
        if (uchar(raw.at(i)) == 0xC2 && next >= 0x80 && next <= 0x9F) {
            out += "\\u00" + QByteArray::number(next, 16);
            ++i;
        } else {
            out += raw.at(i);
        }
    }
    return out;
}

int show(bool list, bool events, bool status, bool json)
{
    StoreReport report;
    QString error;
    // Where the service has not stored anything yet, there is nothing to list.
    const bool stored = QFileInfo::exists(DatabaseConnectionConfig::databaseFilePath());
    if (stored && !report.open(&error)) {
        return fail(error);
    }
    QJsonObject document;
    QString text;
    if (list) {
        const auto messages = stored ? report.messages(&error) : QJsonArray();
        if (!messages) {
            return fail(error);
        }
        document.insert(u"messages"_s, *messages);
        text += ReportTable::messages(*messages);
    }
    if (events) {
        const auto queued = stored ? report.events(&error) : QJsonArray();
        if (!queued) {
            return fail(error);
        }
        document.insert(u"events"_s, *queued);
        text += (text.isEmpty() ? QString() : u"\n"_s) + ReportTable::events(*queued);
    }
    if (status) {
        const auto state = StoreReport::status(&error);
        if (!state) {
            return fail(error);
        }
        document.insert(u"status"_s, *state);
        text += (text.isEmpty() ? QString() : u"\n"_s) + ReportTable::status(*state);
    }
    print(stdout, json ? QString::fromUtf8(jsonText(document)) : text);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        u"Starts a cycle of quorin-msg-notification (without options), shows what it keeps, and "
        "switches it off and on."_s);
    parser.addHelpOption();
    const QCommandLineOption waitOption(u"wait"_s, u"Wait until each cycle has ended."_s);
    const QCommandLineOption cyclesOption(u"cycles"_s, u"Number of cycles (default 1)."_s, u"n"_s,
                                          u"1"_s);
    const QCommandLineOption timeoutOption(u"timeout"_s, u"Seconds to wait per cycle (60)."_s,
                                           u"seconds"_s, u"60"_s);
    const QCommandLineOption listOption(u"list"_s, u"Show the stored messages."_s);
    const QCommandLineOption eventsOption(u"events"_s, u"Show the events waiting for upload."_s);
    const QCommandLineOption statusOption(u"status"_s, u"Show the service's state."_s);
    const QCommandLineOption jsonOption(u"json"_s, u"Print what is shown as one JSON document."_s);
    const QCommandLineOption disableOption(u"disable"_s, u"Switch the service off."_s);
    const QCommandLineOption enableOption(u"enable"_s, u"Switch the service on again."_s);
    const QCommandLineOption organizationOption(
        u"organization"_s, u"The organisation name of a host that sets one."_s, u"name"_s);
    parser.addOptions({waitOption, cyclesOption, timeoutOption, listOption, eventsOption,
                       statusOption, jsonOption, disableOption, enableOption, organizationOption});
    parser.process(app);
    if (parser.isSet(organizationOption)) {
        QCoreApplication::setOrganizationName(parser.value(organizationOption));
    }

    const bool looking = parser.isSet(listOption) || parser.isSet(eventsOption) ||
                         parser.isSet(statusOption) || parser.isSet(jsonOption);
    const bool switching = parser.isSet(disableOption) || parser.isSet(enableOption);
    if ((looking && switching) || (parser.isSet(disableOption) && parser.isSet(enableOption))) {
        print(stderr, u"quorin-msg-notification-query: --disable and --enable go alone\n"_s);
        return 2;
    }
    if (switching) {
        qInstallMessageHandler(quiet);
        return setEnabled(parser.isSet(enableOption));
    }
    if (looking) {
        qInstallMessageHandler(quiet);
        // --json alone shows everything.
        const bool all =
            !parser.isSet(listOption) && !parser.isSet(eventsOption) && !parser.isSet(statusOption);
        return show(all || parser.isSet(listOption), all || parser.isSet(eventsOption),
                    all || parser.isSet(statusOption), parser.isSet(jsonOption));
    }

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "no session bus: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }
    if (parser.isSet(waitOption)) {
        // No cycle would run, and so none would end.
        const QSettings settings(Config::configFilePath(), QSettings::IniFormat);
        if (!Config::enabledSetting(settings)) {
            return fail(u"the service is switched off (\"enabled\" in %1): no cycle runs until "
                        "--enable"_s.arg(Config::configFilePath()));
        }
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
