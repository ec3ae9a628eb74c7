#pragma once

#include <QString>

// Where the database file is and which driver opens it.
class DatabaseConnectionConfig
{
public:
    DatabaseConnectionConfig();

    // <data home>/<organisation or "quorin">/quorin-msg-notification/msg_notify.db
    static QString databaseFilePath();

    QString hostName;
    QString databaseName;
    QString userName;
    QString password;
    QString databaseType;
    QString port;
};
