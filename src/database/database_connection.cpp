#include "database/database_connection.h"

#include "database/database_connection_config.h"
#include "plugin/log_categories.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>

#include <atomic>

using namespace Qt::StringLiterals;

bool DatabaseConnection::isDamaged(QSqlDatabase& database)
{
    QSqlQuery query(database);
    if (!query.exec(u"PRAGMA quick_check"_s)) {
        // SQLite's codes for a damaged file: SQLITE_CORRUPT and SQLITE_NOTADB.
        const QString code = query.lastError().nativeErrorCode();
        return code == "11"_L1 || code == "26"_L1;
    }
    return !query.next() || query.value(0).toString() != "ok"_L1;
}

namespace {

// The first connection of the process checks the file once.
std::atomic<bool> s_fileChecked{false};

constexpr int kKeptDamagedCopies = 3;
const QString kLogSuffixes[] = {u"-wal"_s, u"-shm"_s};

// Sets the damaged file aside, next to the database, with its log and shared-memory files, so
// that the copy keeps every committed page. Older copies go only once the new one is in place;
// the newest three stay. Returns the copy's path, or an empty string when the file could not be
// moved.
QString moveAside(const QString& path)
{
    const QString stamp = QDateTime::currentDateTime().toString(u"yyyyMMddHHmmss"_s);
    QString aside = u"%1.corrupt-%2"_s.arg(path, stamp);
    for (int n = 1; QFileInfo::exists(aside); ++n) {
        aside = u"%1.corrupt-%2-%3"_s.arg(path, stamp).arg(n);
    }
    if (!QFile::rename(path, aside)) {
        return QString();
    }
    for (const QString& suffix : kLogSuffixes) {
        // A log left behind would be replayed into the new, empty database.
        if (QFileInfo::exists(path + suffix) && !QFile::rename(path + suffix, aside + suffix)) {
            QFile::remove(path + suffix);
        }
    }

    const QFileInfo info(path);
    QDir dir = info.dir();
    QStringList copies;
    for (const QString& name :
         dir.entryList({info.fileName() + u".corrupt-*"_s}, QDir::Files, QDir::Name)) {
        if (!name.endsWith(kLogSuffixes[0]) && !name.endsWith(kLogSuffixes[1])) {
            copies.append(name);
        }
    }
    // Names sort by the time they were set aside: "-N" follows the plain name of its second.
    while (copies.size() > kKeptDamagedCopies) {
        const QString oldest = copies.takeFirst();
        dir.remove(oldest);
        for (const QString& suffix : kLogSuffixes) {
            dir.remove(oldest + suffix);
        }
    }
    return aside;
}

// Every statement is its own transaction. With the default rollback journal each commit pays
// several fsyncs; a write-ahead log with synchronous=NORMAL pays them only at checkpoints and
// still keeps every committed statement when the process dies. Checkpoints run on a thread of
// their own (DatabaseCheckpoint), never inside a commit. The driver's busy time-out stays, so
// another connection waits for the lock instead of failing.
void tuneConnection(QSqlDatabase& database)
{
    const QString pragmas[] = {u"PRAGMA journal_mode=WAL"_s, u"PRAGMA synchronous=NORMAL"_s,
                               u"PRAGMA wal_autocheckpoint=0"_s};
    for (const QString& pragma : pragmas) {
        QSqlQuery query(database);
        if (!query.exec(pragma)) {
            qCDebug(logDB).noquote() << pragma << "failed:" << query.lastError().text();
        }
    }
}

// A connection is removed after its thread has finished, by a queued call. A new thread can get
// the finished one's address, and so its connection name, before that call has run: it must not
// take the old connection (Qt 6.8 refuses a connection made on another thread, Qt 6.4 hands it
// out), and the old thread's removal must not take the new one.
thread_local QSet<QString> t_ownConnections;
QMutex s_generationsMutex;
QHash<QString, quint64> s_generations;
quint64 s_lastGeneration = 0;

} // namespace

QSqlDatabase DatabaseConnection::openConnection(const QString& name)
{
    const QString fullName =
        u"conn_"_s + QString::number(quintptr(QThread::currentThread()), 16) + name;
    if (QSqlDatabase::contains(fullName) && !t_ownConnections.contains(fullName)) {
        qCDebug(logDB).noquote() << u"Connection of a finished thread removed: %1"_s.arg(fullName);
        QSqlDatabase::removeDatabase(fullName);
    }
    if (QSqlDatabase::contains(fullName)) {
        qCDebug(logDB).noquote() << u"Connection existed: %1"_s.arg(fullName);
        QSqlDatabase database = QSqlDatabase::database(fullName, false);
        if (!database.isOpen()) {
            // The folder may have gone with whatever kept the file from opening.
            QDir().mkpath(QFileInfo(database.databaseName()).dir().path());
            if (database.open()) {
                tuneConnection(database);
            }
        }
        return database;
    }

    quint64 generation = 0;
    {
        const QMutexLocker locker(&s_generationsMutex);
        generation = ++s_lastGeneration;
        s_generations.insert(fullName, generation);
    }
    if (QCoreApplication* application = QCoreApplication::instance()) {
        QObject::connect(
            QThread::currentThread(), &QThread::finished, application, [fullName, generation] {
                {
                    const QMutexLocker locker(&s_generationsMutex);
                    if (s_generations.value(fullName) != generation) {
                        return; // a newer thread's connection by now
                    }
                    s_generations.remove(fullName);
                }
                if (QSqlDatabase::contains(fullName)) {
                    QSqlDatabase::removeDatabase(fullName);
                    qCDebug(logDB).noquote() << u"Connection deleted: %1"_s.arg(fullName);
                }
            });
    }
    t_ownConnections.insert(fullName);
    return createConnection(fullName);
}

QSqlDatabase DatabaseConnection::createConnection(const QString& connectionName)
{
    const DatabaseConnectionConfig config;
    QSqlDatabase database = QSqlDatabase::addDatabase(config.databaseType, connectionName);
    database.setHostName(config.hostName);
    database.setDatabaseName(config.databaseName);
    database.setUserName(config.userName);
    database.setPassword(config.password);
    database.setPort(config.port.toInt());

    const QString dir = QFileInfo(config.databaseName).dir().path();
    if (!QDir(dir).exists()) {
        QDir().mkpath(dir);
    }

    const bool checkFile = QFileInfo(config.databaseName).isFile() && !s_fileChecked.exchange(true);
    // A damaged file would fail every statement for good: start afresh beside it. Checked
    // read-only, because the last read-write connection to close deletes the log, which is to go
    // with the copy.
    if (checkFile) {
        database.setConnectOptions(u"QSQLITE_OPEN_READONLY"_s);
        const bool damaged = database.open() && isDamaged(database);
        database.close();
        database.setConnectOptions();
        if (damaged) {
            const QString aside = moveAside(config.databaseName);
            if (aside.isEmpty()) {
                qCWarning(logDB).noquote()
                    << "Damaged database" << config.databaseName << "could not be moved aside";
            } else {
                qCWarning(logDB).noquote()
                    << "Damaged database" << config.databaseName << "moved aside to" << aside;
            }
        }
    }
    if (!database.open()) {
        qCDebug(logDB).noquote() << "Create connection error:" << database.lastError().text();
        return database;
    }
    qCDebug(logDB).noquote() << u"Connection created: %1"_s.arg(connectionName);
    tuneConnection(database);
    return database;
}
