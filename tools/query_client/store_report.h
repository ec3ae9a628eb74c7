#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QString>

#include <optional>

// What the service keeps and will report, read without changing anything: the stored messages,
// the events waiting for upload and the state around them, as JSON. Failures come back as one
// line for the user.
class StoreReport
{
public:
    StoreReport();
    ~StoreReport();

    // Opens the database read-only; a missing or damaged one gives false and its reason.
    bool open(QString* error);
    // Newest first, as the service prunes: by start time.
    std::optional<QJsonArray> messages(QString* error) const;
    std::optional<QJsonArray> events(QString* error) const;
    // The configuration, the files and the service on the bus; needs no open database. False
    // with a reason when the configuration file cannot be read.
    static std::optional<QJsonObject> status(QString* error);

    // The local time of a stamp: whole seconds, or milliseconds from 1973 on (as the store's
    // Last-Modified is). Null for none.
    static QJsonValue localTime(qint64 stamp);

private:
    QString m_connectionName;
    QSqlDatabase m_database;
};
