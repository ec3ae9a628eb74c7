#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

#include <functional>

class QSqlQuery;

// The one place that runs SQL: one statement with named binds in its own transaction on the
// calling thread's connection. Failures are logged once and give a neutral result.
class DatabaseAdaptor
{
public:
    static void executeSql(const QString& sql, const QVariantMap& binds,
                           const std::function<void(QSqlQuery*)>& reader);
    // Runs a statement the caller does not report on (a retry of one that already failed):
    // whether it worked, and no warning when it did not.
    static bool tryExecute(const QString& sql);
    // Binds ":key" for every entry, in ascending key order; keys the statement lacks do nothing.
    static void bindValues(QSqlQuery* query, const QVariantMap& binds);

    // The new row id, or -1 when the statement failed.
    static int insert(const QString& sql, const QVariantMap& binds = {});
    // Whether the statement ran; rows affected are not looked at.
    static bool update(const QString& sql, const QVariantMap& binds = {});

    // Column 0 of the first row; invalid when there is none or the statement failed.
    static QVariant selectVariant(const QString& sql, const QVariantMap& binds = {});
    static int selectInt(const QString& sql, const QVariantMap& binds = {});
    static qint64 selectInt64(const QString& sql, const QVariantMap& binds = {});
    static QString selectString(const QString& sql, const QVariantMap& binds = {});
    static QStringList selectStrings(const QString& sql, const QVariantMap& binds = {});
    static QList<QVariantMap> selectMaps(const QString& sql, const QVariantMap& binds = {});
    static QVariantMap selectMap(const QString& sql, const QVariantMap& binds = {});

    // Time spent in executeSql by all threads since the process started.
    static qint64 busyNanoseconds();

    static QStringList getFieldNames(const QSqlQuery& query);
    static QList<QVariantMap> queryToMaps(QSqlQuery* query);

    template <typename T>
    static QList<T> selectBeans(std::function<T(const QVariantMap&)> factory, const QString& sql,
                                const QVariantMap& binds = {})
    {
        const QList<QVariantMap> maps = selectMaps(sql, binds);
        QList<T> beans;
        beans.reserve(maps.size());
        for (const QVariantMap& map : maps) {
            beans.append(factory(map));
        }
        return beans;
    }

    DatabaseAdaptor() = delete;

private:
    static void run(const QString& sql, const QVariantMap& binds,
                    const std::function<void(QSqlQuery*)>& reader, bool logFailure);
};
