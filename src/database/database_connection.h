#pragma once

#include <QSqlDatabase>
#include <QString>

// Hands out the calling thread's connection: one per thread, named "conn_<thread address>",
// created on the thread's first statement and removed after the thread finishes.
class DatabaseConnection
{
public:
    // The calling thread's connection; reopened (and tuned) if closed. Closed when the database
    // cannot be opened.
    static QSqlDatabase openConnection(const QString& name);
    // Registers and opens a new connection; on failure the handle stays registered, closed, with
    // the error of the open.
    static QSqlDatabase createConnection(const QString& connectionName);

    // Whether the open database's file is damaged, by SQLite's own check.
    static bool isDamaged(QSqlDatabase& database);

    DatabaseConnection() = delete;
};
