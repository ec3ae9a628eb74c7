#include "database/msg_event_info_table.h"

#include "database/database_adaptor.h"
#include "database/table_creation.h"
#include "plugin/log_categories.h"

#include <QSqlQuery>

using namespace Qt::StringLiterals;

namespace {

const QString kTable = u"msg_event_info"_s;

const QString kCreate =
    u"CREATE TABLE IF NOT EXISTS %1 (id INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, body TEXT "
    "NOT NULL, retry_times INTEGER DEFAULT 0)"_s;
const QString kInsert = u"INSERT INTO %1 (body) VALUES (:body)"_s;
const QString kSelect = u"SELECT * FROM %1"_s;
const QString kSelectById = u"SELECT * FROM %1 WHERE id = :id"_s;
const QString kSelectAfter = u"SELECT * FROM %1 WHERE id > :id ORDER BY id LIMIT %2"_s;
const QString kUpdateRetryTimes = u"UPDATE %1 SET retry_times = %2 WHERE id = %3"_s;
const QString kDeleteById = u"DELETE FROM %1 WHERE id = %2"_s;
const QString kUpdateRetryTimesOfIds =
    u"UPDATE %1 SET retry_times = retry_times + 1 WHERE id IN (%2)"_s;
const QString kDeleteByIds = u"DELETE FROM %1 WHERE id IN (%2)"_s;
const QString kDeleteOverflow =
    u"DELETE FROM %1 WHERE id <= (SELECT id FROM %1 ORDER BY id DESC LIMIT 1 OFFSET %2)"_s;

QString idList(const QList<int>& ids)
{
    QStringList numbers;
    numbers.reserve(ids.size());
    for (int id : ids) {
        numbers.append(QString::number(id));
    }
    return numbers.join(u',');
}

TableCreation s_creation(kTable, kCreate);

} // namespace

MsgEventInfoTable::MsgEventInfoTable()
{
    initMsgEventInfoTable();
}

void MsgEventInfoTable::initMsgEventInfoTable()
{
    s_creation.ensure();
}

int MsgEventInfoTable::insertMsgEventInfoRecord(const MsgEventInfo& info)
{
    initMsgEventInfoTable();
    MsgEventInfoRecord record;
    record.body = QString::fromUtf8(info.toJson());
    return DatabaseAdaptor::insert(
        kInsert.arg(kTable),
        {{u"id"_s, record.id}, {u"body"_s, record.body}, {u"retry_times"_s, record.retry_times}});
}

QMap<int, MsgEventInfo> MsgEventInfoTable::selectMsgEventInfoRecords()
{
    initMsgEventInfoTable();
    return events(DatabaseAdaptor::selectBeans<MsgEventInfoRecord>(
        &MsgEventInfoRecord::fromVariantMap, kSelect.arg(kTable)));
}

QMap<int, MsgEventInfo> MsgEventInfoTable::selectMsgEventInfoRecords(int afterId, int limit)
{
    initMsgEventInfoTable();
    return events(DatabaseAdaptor::selectBeans<MsgEventInfoRecord>(
        &MsgEventInfoRecord::fromVariantMap, kSelectAfter.arg(kTable).arg(limit),
        {{u"id"_s, afterId}}));
}

QMap<int, MsgEventInfo> MsgEventInfoTable::events(const QList<MsgEventInfoRecord>& records)
{
    QMap<int, MsgEventInfo> events;
    for (const MsgEventInfoRecord& record : records) {
        events.insert(record.id, MsgEventInfo(record.body.toUtf8()));
    }
    return events;
}

std::optional<MsgEventInfoRecord> MsgEventInfoTable::selectMsgEventInfoRecordById(int id)
{
    initMsgEventInfoTable();
    const QList<MsgEventInfoRecord> records = DatabaseAdaptor::selectBeans<MsgEventInfoRecord>(
        &MsgEventInfoRecord::fromVariantMap, kSelectById.arg(kTable), {{u"id"_s, id}});
    if (records.isEmpty()) {
        return std::nullopt;
    }
    return records.first();
}

void MsgEventInfoTable::updateMsgEventInfoRecordFieldRetryTimes(int id)
{
    initMsgEventInfoTable();
    const std::optional<MsgEventInfoRecord> stored = selectMsgEventInfoRecordById(id);
    if (!stored) {
        qCWarning(logMain).noquote() << u"MsgEventInfo with id: %1 not exists"_s.arg(id);
        return;
    }
    DatabaseAdaptor::update(kUpdateRetryTimes.arg(kTable).arg(stored->retry_times + 1).arg(id));
}

void MsgEventInfoTable::updateMsgEventInfoRecordsFieldRetryTimes(const QList<int>& ids)
{
    initMsgEventInfoTable();
    if (!ids.isEmpty()) {
        DatabaseAdaptor::update(kUpdateRetryTimesOfIds.arg(kTable, idList(ids)));
    }
}

void MsgEventInfoTable::deleteMsgEventInfoRecordsByIds(const QList<int>& ids)
{
    initMsgEventInfoTable();
    if (!ids.isEmpty()) {
        DatabaseAdaptor::update(kDeleteByIds.arg(kTable, idList(ids)));
    }
}

int MsgEventInfoTable::deleteOverflowingMsgEventInfoRecords()
{
    initMsgEventInfoTable();
    int dropped = 0;
    DatabaseAdaptor::executeSql(
        kDeleteOverflow.arg(kTable).arg(kMaxEvents), {},
        [&dropped](QSqlQuery* query) { dropped = qMax(0, query->numRowsAffected()); });
    if (dropped > 0) {
        qCWarning(logMain).noquote()
            << u"Event queue full: the %1 oldest events dropped, %2 kept"_s.arg(dropped).arg(
                   kMaxEvents);
    }
    return dropped;
}

void MsgEventInfoTable::deleteMsgEventInfoRecordById(int id)
{
    initMsgEventInfoTable();
    DatabaseAdaptor::update(kDeleteById.arg(kTable).arg(id));
}
