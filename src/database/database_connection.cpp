#include "database/database_connection.h"

#include "database/database_connection_config.h"
#include "plugin/log_categories.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>

#include <atomic>

using namespace Qt::StringLiterals;

namespace {

// The first connection of the process checks the file once.
std::atomic<bool> s_fileChecked{false};

// SQLite's codes for a damaged file: SQLITE_CORRUPT and SQLITE_NOTADB.
bool isDamaged(QSqlDatabase& database)
{
    QSqlQuery query(database);
    if (!query.exec(u"PRAGMA quick_check"_s)) {
        const QString code = query.lastError().nativeErrorCode();
        return code == "11"_L1 || code == "26"_L1;
    }
    return !query.next() || query.value(0).toString() != "ok"_L1;
}

// Keeps only the newest damaged file, next to the database; the journal files go with it.
QString moveAside(const QString& path)
{
    const QFileInfo info(path);
    QDir dir = info.dir();
    const QStringList old = dir.entryList({info.fileName() + u".corrupt-*"_s}, QDir::Files);
    for (const QString& name : old) {
        dir.remove(name);
    }
    const QString aside =
        u"%1.corrupt-%2"_s.arg(path, QDateTime::currentDateTime().toString(u"yyyyMMddHHmmss"_s));
    QFile::rename(path, aside);
    QFile::remove(path + u"-wal"_s);
    QFile::remove(path + u"-shm"_s);
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

} // namespace

QSqlDatabase DatabaseConnection::openConnection(const QString& name)
{
    const QString fullName =
        u"conn_"_s + QString::number(quintptr(QThread::currentThread()), 16) + name;
    if (QSqlDatabase::contains(fullName)) {
        qCDebug(logDB).noquote() << u"Connection existed: %1"_s.arg(fullName);
        QSqlDatabase database = QSqlDatabase::database(fullName, false);
        if (!database.isOpen()) {
            // The folder may have gone with whatever kept the file from opening.
            QDir().mkpath(QFileInfo(database.databaseName()).dir().path());
            database.open();
        }
        return database;
    }

    if (QCoreApplication* application = QCoreApplication::instance()) {
        QObject::connect(QThread::currentThread(), &QThread::finished, application, [fullName] {
            if (QSqlDatabase::contains(fullName)) {
                QSqlDatabase::removeDatabase(fullName);
                qCDebug(logDB).noquote() << u"Connection deleted: %1"_s.arg(fullName);
            }
        });
    }
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
    if (!database.open()) {
        qCDebug(logDB).noquote() << "Create connection error:" << database.lastError().text();
        return database;
    }
    // A damaged file would fail every statement for good: start afresh beside it.
    if (checkFile && isDamaged(database)) {
        database.close();
        const QString aside = moveAside(config.databaseName);
        qCWarning(logDB).noquote()
            << "Damaged database" << config.databaseName << "moved aside to" << aside;
        if (!database.open()) {
            qCDebug(logDB).noquote() << "Create connection error:" << database.lastError().text();
            return database;
        }
    }
    qCDebug(logDB).noquote() << u"Connection created: %1"_s.arg(connectionName);
    tuneConnection(database);
    return database;
}
