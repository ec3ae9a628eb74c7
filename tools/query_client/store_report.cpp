#include "store_report.h"

#include "common/click_effect.h"
#include "common/config.h"
#include "common/data.h"
#include "database/database_connection.h"
#include "database/database_connection_config.h"
#include "http/img_download.h"
#include "http/img_download_manager.h"
#include "http/listing_validators.h"
#include "notification/notification_settings.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkInformation>
#include <QSettings>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

using namespace Qt::StringLiterals;

namespace {

const QString kService = u"com.quorin.MsgNotification"_s;
const QString kPath = u"/com/quorin/MsgNotification"_s;
constexpr int kMaxNotifyTimes = 5;
// Below this a stamp counts as seconds: as milliseconds it would be before 1973.
constexpr qint64 kFirstMillisecondStamp = 100'000'000'000;
// What the service waits for before it asks the message server again, as it kept it, and the
// network as NetworkManager sees it (the service reads the same).
QJsonObject serverGate(const QSettings& settings)
{
    ServerBackoff backoff = Config::serverBackoffSetting(settings);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    QString network = u"unknown"_s;
    bool metered = false;
    if (QNetworkInformation::loadBackendByName(u"networkmanager")) {
        const QNetworkInformation* info = QNetworkInformation::instance();
        using R = QNetworkInformation::Reachability;
        const R reachability = info->reachability();
        network = reachability == R::Unknown                                    ? u"unknown"_s
                  : reachability == R::Disconnected || reachability == R::Local ? u"offline"_s
                                                                                : u"online"_s;
        metered = info->isMetered();
    }
    const bool waiting = !backoff.allows(now);
    return {{u"waiting"_s, waiting},
            {u"until"_s, waiting ? StoreReport::localTime(backoff.notBefore) : QJsonValue()},
            {u"serverAsked"_s, waiting && backoff.serverAsked},
            {u"failures"_s, backoff.failures},
            {u"network"_s, network},
            {u"metered"_s, metered}};
}

// A service that does not answer this fast is reported as such, not waited for.
constexpr int kBusTimeoutMs = 3000;

QString eventKind(int type)
{
    switch (EventKind(type)) {
    case EventKind::Received:
        return u"received"_s;
    case EventKind::Shown:
        return u"shown"_s;
    case EventKind::Closed:
        return u"closed"_s;
    }
    return u"type %1"_s.arg(type);
}

QString imageState(const QString& url)
{
    if (url.isEmpty()) {
        return u"none"_s;
    }
    const QFileInfo file(ImgDownload::localImagePath(ImgDownloadManager::imgDirPath(), url));
    return file.isFile() && !file.isSymLink() ? u"cached"_s : u"missing"_s;
}

// What the switch and the notification service on the bus make of a click.
ClickRule clickRule()
{
    ClickRule rule;
    rule.openLinks =
        Config::openLinksSetting(QSettings(Config::configFilePath(), QSettings::IniFormat));
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return rule;
    }
    QDBusMessage ask = QDBusMessage::createMethodCall(
        u"org.freedesktop.Notifications"_s, u"/org/freedesktop/Notifications"_s,
        u"org.freedesktop.Notifications"_s, u"GetCapabilities"_s);
    ask.setAutoStartService(false);
    // Without a service to ask, the service itself would ask the one that starts later.
    const QDBusMessage reply = bus.call(ask, QDBus::Block, kBusTimeoutMs);
    if (reply.type() == QDBusMessage::ReplyMessage) {
        const QStringList capabilities = reply.arguments().value(0).toStringList();
        rule.actions = capabilities.contains(u"actions"_s);
        rule.serviceRunsHint = capabilities.contains(u"x-quorin-action-default"_s);
    }
    return rule;
}

// One query on the read-only connection, its rows as maps of column to value.
std::optional<QList<QVariantMap>> select(const QSqlDatabase& database, const QString& statement,
                                         QString* error)
{
    QSqlQuery query(database);
    query.setForwardOnly(true);
    if (!query.exec(statement)) {
        *error = u"cannot read %1: %2"_s.arg(database.databaseName(), query.lastError().text());
        return std::nullopt;
    }
    QList<QVariantMap> rows;
    while (query.next()) {
        const QSqlRecord record = query.record();
        QVariantMap row;
        for (int i = 0; i < record.count(); ++i) {
            row.insert(record.fieldName(i), record.value(i));
        }
        rows.append(row);
    }
    return rows;
}

QJsonObject serviceOnTheBus()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return {{u"bus"_s, false}, {u"onBus"_s, false}, {u"running"_s, QJsonValue()}};
    }
    const bool onBus = bus.interface()->isServiceRegistered(kService).value();
    QJsonValue running;
    if (onBus) {
        QDBusMessage get = QDBusMessage::createMethodCall(
            kService, kPath, u"org.freedesktop.DBus.Properties"_s, u"Get"_s);
        get << kService << u"running"_s;
        // Looking must not start a service that has just left.
        get.setAutoStartService(false);
        const QDBusMessage reply = bus.call(get, QDBus::Block, kBusTimeoutMs);
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
            running = reply.arguments().constFirst().value<QDBusVariant>().variant().toBool();
        }
    }
    return {{u"bus"_s, true}, {u"onBus"_s, onBus}, {u"running"_s, running}};
}

// The file with its write-ahead log and shared memory, as the service leaves them.
qint64 databaseBytes(const QString& path)
{
    qint64 bytes = 0;
    for (const QString& suffix : {QString(), u"-wal"_s, u"-shm"_s}) {
        bytes += QFileInfo(path + suffix).size();
    }
    return bytes;
}

} // namespace

StoreReport::StoreReport()
    : m_connectionName(u"quorin-msg-notification-query"_s)
{
}

StoreReport::~StoreReport()
{
    m_database.close();
    m_database = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connectionName);
}

bool StoreReport::open(QString* error)
{
    const QString path = DatabaseConnectionConfig::databaseFilePath();
    if (!QFileInfo(path).isFile()) {
        *error = u"%1 is not a database file"_s.arg(path);
        return false;
    }
    m_database = QSqlDatabase::addDatabase(u"QSQLITE"_s, m_connectionName);
    m_database.setDatabaseName(path);
    // Read-only, and patient with a service that is checkpointing its log.
    m_database.setConnectOptions(u"QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=3000"_s);
    if (!m_database.open()) {
        *error = u"cannot open %1: %2"_s.arg(path, m_database.lastError().text());
        return false;
    }
    if (DatabaseConnection::isDamaged(m_database)) {
        *error = u"%1 is damaged; the service sets it aside at its next start"_s.arg(path);
        return false;
    }
    return true;
}

std::optional<QJsonArray> StoreReport::messages(QString* error) const
{
    const auto rows = select(
        m_database, u"SELECT * FROM msg_notify_info ORDER BY startTime DESC, id DESC"_s, error);
    if (!rows) {
        return std::nullopt;
    }
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const ClickRule rule = clickRule();
    QJsonArray messages;
    for (const QVariantMap& map : *rows) {
        const MsgNotifyInfoRecord row(map);
        messages.append(QJsonObject{
            {u"id"_s, row.id},
            {u"title"_s, row.title},
            {u"shown"_s, qint64(row.notify_times)},
            {u"maxShown"_s, kMaxNotifyTimes},
            {u"read"_s, row.msg_read},
            {u"endTime"_s, row.endTime},
            {u"expires"_s, localTime(row.endTime)},
            // As the display pass decides it.
            {u"expired"_s, row.endedBy(now)},
            {u"imgUrl"_s, row.imgUrl},
            {u"image"_s, imageState(row.imgUrl)},
            {u"onClick"_s, ClickEffect::of(row, rule).text()},
            // What the bubble's hint carries, for a service that runs it.
            {u"command"_s, QJsonArray::fromStringList(row.actionCommand())},
        });
    }
    return messages;
}

std::optional<QJsonArray> StoreReport::events(QString* error) const
{
    const auto rows = select(m_database, u"SELECT * FROM msg_event_info ORDER BY id"_s, error);
    if (!rows) {
        return std::nullopt;
    }
    QJsonArray events;
    for (const QVariantMap& map : *rows) {
        const MsgEventInfoRecord row = MsgEventInfoRecord::fromVariantMap(map);
        const MsgEventInfo event(row.body.toUtf8());
        events.append(QJsonObject{
            {u"messageId"_s, event.id},
            {u"kind"_s, eventKind(event.eventType)},
            {u"eventTime"_s, event.eventTime},
            {u"time"_s, localTime(event.eventTime)},
            {u"failedUploads"_s, row.retry_times},
        });
    }
    return events;
}

std::optional<QJsonObject> StoreReport::status(QString* error)
{
    const QString configPath = Config::configFilePath();
    const QFileInfo configFile(configPath);
    if (configFile.exists()) {
        QFile probe(configPath);
        if (!configFile.isFile() || !probe.open(QIODevice::ReadOnly)) {
            *error = u"cannot read the configuration %1: %2"_s.arg(
                configPath, configFile.isFile() ? probe.errorString() : u"not a file"_s);
            return std::nullopt;
        }
    }
    const QSettings settings(configPath, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError) {
        *error = u"cannot read the configuration %1"_s.arg(configPath);
        return std::nullopt;
    }
    const qint64 lastModified = settings.value(u"lastModified"_s).toLongLong();
    // What the next fetch sends back of the last complete listing.
    const QPair<QByteArray, QByteArray> validators =
        ListingValidators(configPath).conditionalHeaders(lastModified);

    const QString databasePath = DatabaseConnectionConfig::databaseFilePath();
    const QString imgDir = ImgDownloadManager::imgDirPath();
    qint64 imageBytes = 0;
    const QFileInfoList images = QDir(imgDir).entryInfoList(QDir::Files | QDir::Hidden);
    for (const QFileInfo& image : images) {
        imageBytes += image.size();
    }
    return QJsonObject{
        {u"server"_s, Config::serverSetting(settings)},
        {u"enabled"_s, Config::enabledSetting(settings)},
        {u"shownByDesktop"_s, NotificationSettings::shownByDesktop()},
        {u"configFile"_s, configPath},
        {u"lastModified"_s, lastModified},
        // A stamp ahead of this machine's clock is the server's word, not a time of ours.
        {u"lastFetch"_s, lastModified <= QDateTime::currentMSecsSinceEpoch() + 60000
                             ? localTime(lastModified)
                             : QJsonValue()},
        {u"ifModifiedSince"_s, QString::fromLatin1(validators.first)},
        {u"ifNoneMatch"_s, QString::fromLatin1(validators.second)},
        {u"database"_s, QJsonObject{{u"path"_s, databasePath},
                                    {u"exists"_s, QFileInfo(databasePath).isFile()},
                                    {u"bytes"_s, databaseBytes(databasePath)}}},
        {u"imageCache"_s,
         QJsonObject{{u"path"_s, imgDir}, {u"files"_s, images.size()}, {u"bytes"_s, imageBytes}}},
        {u"service"_s, serviceOnTheBus()},
        {u"serverGate"_s, serverGate(settings)},
    };
}

QJsonValue StoreReport::localTime(qint64 stamp)
{
    if (stamp <= 0) {
        return QJsonValue();
    }
    const QDateTime time = stamp >= kFirstMillisecondStamp ? QDateTime::fromMSecsSinceEpoch(stamp)
                                                           : QDateTime::fromSecsSinceEpoch(stamp);
    // With its offset, so that scripts read it unambiguously.
    return time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODate);
}
