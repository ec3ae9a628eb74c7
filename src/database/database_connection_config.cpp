#include "database/database_connection_config.h"

#include "plugin/log_categories.h"

#include <QCoreApplication>
#include <QStandardPaths>

using namespace Qt::StringLiterals;

DatabaseConnectionConfig::DatabaseConnectionConfig()
    : databaseName(databaseFilePath())
    , databaseType(u"QSQLITE"_s)
    , port(u"0"_s)
{
    qCDebug(logMain) << "database path: " << databaseName;
}

QString DatabaseConnectionConfig::databaseFilePath()
{
    QString organization = QCoreApplication::organizationName();
    if (organization.isEmpty()) {
        organization = u"quorin"_s;
    }
    const QString dir =
        u"%1/%2/%3"_s.arg(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation),
                          organization, u"quorin-msg-notification"_s);
    return u"%1/msg_notify.db"_s.arg(dir);
}
