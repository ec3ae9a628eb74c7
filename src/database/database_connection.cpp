#include "database/database_connection.h"

#include "database/database_connection_config.h"
#include "plugin/log_categories.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>

using namespace Qt::StringLiterals;

namespace {

// Every statement is its own transaction. With the default rollback journal each commit pays
// several fsyncs; a write-ahead log with synchronous=NORMAL pays at most one at checkpoints and
// still keeps every committed statement when the process dies. The driver's busy time-out stays,
// so another connection waits for the lock instead of failing.
void tuneConnection(QSqlDatabase& database)
{
    const QString pragmas[] = {u"PRAGMA journal_mode=WAL"_s, u"PRAGMA synchronous=NORMAL"_s};
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
        return QSqlDatabase::database(fullName, true);
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

    if (!database.open()) {
        qCDebug(logDB).noquote() << "Create connection error:" << database.lastError().text();
        return QSqlDatabase();
    }
    qCDebug(logDB).noquote() << u"Connection created: %1"_s.arg(connectionName);
    tuneConnection(database);
    return database;
}
