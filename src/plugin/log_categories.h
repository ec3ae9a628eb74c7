#pragma once

#include <QLoggingCategory>

// "com.quorin.MsgNotification": everything but the database.
Q_DECLARE_LOGGING_CATEGORY(logMain)
// "com.quorin.MsgNotification.database": connections and SQL.
Q_DECLARE_LOGGING_CATEGORY(logDB)
