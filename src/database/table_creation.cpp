#include "database/table_creation.h"

#include "database/database_adaptor.h"
#include "plugin/log_categories.h"

using namespace Qt::StringLiterals;

TableCreation::TableCreation(const QString& tableName, const QString& statement)
    : m_tableName(tableName)
    , m_statement(statement)
{
}

void TableCreation::ensure()
{
    if (m_created.load(std::memory_order_acquire)) {
        return;
    }
    // Only the first attempt reports its failure; the retries that come before each later
    // statement stay silent, so that each of those statements gives one warning of its own.
    const QString statement = m_statement.arg(m_tableName);
    const bool retry = m_failureLogged.load();
    if (retry ? DatabaseAdaptor::tryExecute(statement) : DatabaseAdaptor::insert(statement) != -1) {
        m_created.store(true, std::memory_order_release);
    } else if (!m_failureLogged.exchange(true)) {
        qCWarning(logMain).noquote() << u"Fail to create table: %1"_s.arg(m_tableName);
    }
}
