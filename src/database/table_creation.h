#pragma once

#include <QString>

#include <atomic>

// Creates a table once per process: once it has worked, never again; while it has not, on every
// later call, so that the store works as soon as the database can be written. Only the first
// failure is logged ("Fail to create table: <name>").
class TableCreation
{
public:
    TableCreation(const QString& tableName, const QString& statement);

    void ensure();

private:
    const QString m_tableName;
    const QString m_statement;
    std::atomic<bool> m_created{false};
    std::atomic<bool> m_failureLogged{false};
};
