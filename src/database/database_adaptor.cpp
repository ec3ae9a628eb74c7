#include "database/database_adaptor.h"

#include "database/database_checkpoint.h"
#include "database/database_connection.h"
#include "plugin/log_categories.h"

#include <QElapsedTimer>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

#include <atomic>

using namespace Qt::StringLiterals;

namespace {

std::atomic<qint64> s_busyNanoseconds{0};

class BusyClock
{
public:
    BusyClock() { m_timer.start(); }
    ~BusyClock() { s_busyNanoseconds.fetch_add(m_timer.nsecsElapsed(), std::memory_order_relaxed); }

private:
    QElapsedTimer m_timer;
};

} // namespace

qint64 DatabaseAdaptor::busyNanoseconds()
{
    return s_busyNanoseconds.load(std::memory_order_relaxed);
}

void DatabaseAdaptor::executeSql(const QString& sql, const QVariantMap& binds,
                                 const std::function<void(QSqlQuery*)>& reader)
{
    run(sql, binds, reader, true);
}

bool DatabaseAdaptor::tryExecute(const QString& sql)
{
    bool result = false;
    run(
        sql, {}, [&result](QSqlQuery*) { result = true; }, false);
    return result;
}

void DatabaseAdaptor::run(const QString& sql, const QVariantMap& binds,
                          const std::function<void(QSqlQuery*)>& reader, bool logFailure)
{
    const BusyClock clock;
    QSqlDatabase database = DatabaseConnection::openConnection(QString());
    if (!database.isOpen()) {
        // A query built on a handle that is not open would run on the process's default
        // connection, which may be the host's own database.
        if (logFailure) {
            qCWarning(logDB).noquote() << database.lastError().text() << sql << binds.values();
        }
        return;
    }
    database.transaction();

    QSqlQuery query(database);
    // Readers only step forward; the driver need not keep the rows already read.
    query.setForwardOnly(true);
    // exec() replaces a prepare error with a bare "No query"; keep the real cause for the log.
    const QSqlError prepareError = query.prepare(sql) ? QSqlError() : query.lastError();
    bindValues(&query, binds);
    if (query.exec()) {
        reader(&query);
        database.commit();
        DatabaseCheckpoint::noteCommit();
        return;
    }
    const QSqlError error = prepareError.isValid() ? prepareError : query.lastError();
    // A statement that failed to prepare was never executed: show the text we tried.
    const QString statement = query.executedQuery().isEmpty() ? sql : query.executedQuery();
    if (logFailure) {
        qCWarning(logDB).noquote() << error.text() << statement << query.boundValues();
    }
    database.rollback();
}

void DatabaseAdaptor::bindValues(QSqlQuery* query, const QVariantMap& binds)
{
    for (auto it = binds.cbegin(); it != binds.cend(); ++it) {
        query->bindValue(u':' + it.key(), it.value(), QSql::In);
    }
}

int DatabaseAdaptor::insert(const QString& sql, const QVariantMap& binds)
{
    int result = -1;
    executeSql(sql, binds, [&result](QSqlQuery* query) { result = query->lastInsertId().toInt(); });
    return result;
}

bool DatabaseAdaptor::update(const QString& sql, const QVariantMap& binds)
{
    bool result = false;
    executeSql(sql, binds, [&result](QSqlQuery* query) {
        result = query->lastError().type() == QSqlError::NoError;
    });
    return result;
}

QVariant DatabaseAdaptor::selectVariant(const QString& sql, const QVariantMap& binds)
{
    QVariant result;
    executeSql(sql, binds, [&result](QSqlQuery* query) {
        if (query->next()) {
            result = query->value(0);
        }
    });
    return result;
}

int DatabaseAdaptor::selectInt(const QString& sql, const QVariantMap& binds)
{
    return selectVariant(sql, binds).toInt();
}

qint64 DatabaseAdaptor::selectInt64(const QString& sql, const QVariantMap& binds)
{
    return selectVariant(sql, binds).toLongLong();
}

QString DatabaseAdaptor::selectString(const QString& sql, const QVariantMap& binds)
{
    return selectVariant(sql, binds).toString();
}

QStringList DatabaseAdaptor::selectStrings(const QString& sql, const QVariantMap& binds)
{
    QStringList result;
    executeSql(sql, binds, [&result](QSqlQuery* query) {
        while (query->next()) {
            result.append(query->value(0).toString());
        }
    });
    return result;
}

QList<QVariantMap> DatabaseAdaptor::selectMaps(const QString& sql, const QVariantMap& binds)
{
    QList<QVariantMap> result;
    executeSql(sql, binds, [&result](QSqlQuery* query) { result = queryToMaps(query); });
    return result;
}

QVariantMap DatabaseAdaptor::selectMap(const QString& sql, const QVariantMap& binds)
{
    return selectMaps(sql, binds).value(0);
}

QStringList DatabaseAdaptor::getFieldNames(const QSqlQuery& query)
{
    const QSqlRecord record = query.record();
    QStringList names;
    names.reserve(record.count());
    for (int i = 0; i < record.count(); ++i) {
        names.append(record.fieldName(i));
    }
    return names;
}

QList<QVariantMap> DatabaseAdaptor::queryToMaps(QSqlQuery* query)
{
    const QStringList names = getFieldNames(*query);
    // value(name) looks the name up for every cell; the column it finds is the same on every row.
    const QSqlRecord record = query->record();
    QList<int> columns;
    columns.reserve(names.size());
    for (const QString& name : names) {
        columns.append(record.indexOf(name));
    }
    QList<QVariantMap> rows;
    while (query->next()) {
        QVariantMap row;
        for (qsizetype i = 0; i < names.size(); ++i) {
            row.insert(names.at(i), query->value(columns.at(i)));
        }
        rows.append(row);
    }
    return rows;
}
