#include "plugin/log_categories.h"

Q_LOGGING_CATEGORY(logMain, "com.quorin.MsgNotification", QtDebugMsg)
Q_LOGGING_CATEGORY(logDB, "com.quorin.MsgNotification.database", QtDebugMsg)
