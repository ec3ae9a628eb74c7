#include "database/msg_notify_info_table.h"

#include "database/database_adaptor.h"
#include "database/table_creation.h"
#include "plugin/log_categories.h"

#include <QSqlQuery>

using namespace Qt::StringLiterals;

namespace {

const QString kTable = u"msg_notify_info"_s;
constexpr int kMaxRows = 200;

const QString kCreate =
    u"CREATE TABLE IF NOT EXISTS %1 (id INTEGER PRIMARY KEY, name TEXT, startTime INTEGER, "
    "endTime INTEGER, title TEXT, content TEXT, type INTEGER DEFAULT 1, imgUrl TEXT, linkType "
    "INTEGER DEFAULT 1, linkInfo TEXT, replace_id INTEGER DEFAULT 0, image_downloaded BOOLEAN "
    "DEFAULT FALSE, msg_read BOOLEAN DEFAULT FALSE, notify_times INTEGER DEFAULT 0)"_s;
// A message stored again keeps its bubble id, so that it replaces its bubble; the rest of its
// local state starts afresh. One statement, no read before it.
const QString kInsert =
    u"INSERT INTO %1(id, name, startTime, endTime, title, content, type, imgUrl, linkType, "
    "linkInfo) VALUES (:id, :name, :startTime, :endTime, :title, :content, :type, :imgUrl, "
    ":linkType, :linkInfo) ON CONFLICT(id) DO UPDATE SET name = excluded.name, startTime = "
    "excluded.startTime, endTime = excluded.endTime, title = excluded.title, content = "
    "excluded.content, type = excluded.type, imgUrl = excluded.imgUrl, linkType = "
    "excluded.linkType, linkInfo = excluded.linkInfo, image_downloaded = FALSE, msg_read = FALSE, "
    "notify_times = 0"_s;
const QString kUpdateReplaceId = u"UPDATE %1 SET replace_id = %2 WHERE id = %3"_s;
const QString kReleaseReplaceId =
    u"UPDATE %1 SET replace_id = 0 WHERE replace_id = %2 AND id != %3"_s;
const QString kReleaseReplaceIds = u"UPDATE %1 SET replace_id = 0 WHERE replace_id != 0"_s;
const QString kUpdateImageDownloaded = u"UPDATE %1 SET image_downloaded = %2 WHERE id = %3"_s;
const QString kUpdateMsgRead = u"UPDATE %1 SET msg_read = %2 WHERE id = %3"_s;
const QString kUpdateNotifyTimes = u"UPDATE %1 SET notify_times = %2 WHERE id = %3"_s;
const QString kDeleteById = u"DELETE FROM %1 WHERE id = %2"_s;
const QString kDeleteUseless = u"DELETE FROM %1 WHERE msg_read = TRUE OR notify_times >= 5"_s;
const QString kCount = u"SELECT COUNT(*) FROM %1"_s;
const QString kDeleteOldest =
    u"DELETE FROM %1 WHERE id IN (SELECT id FROM %1 ORDER BY startTime ASC LIMIT %2)"_s;
const QString kSelect = u"SELECT * FROM %1"_s;
const QString kSelectImgUrls = u"SELECT imgUrl FROM %1"_s;
const QString kSelectById = u"SELECT * FROM %1 WHERE id = :id"_s;
const QString kSelectByReplaceId = u"SELECT * FROM %1 WHERE replace_id = :replace_id"_s;

TableCreation s_creation(kTable, kCreate);

QString sqlBool(bool value)
{
    return value ? u"TRUE"_s : u"FALSE"_s;
}

std::optional<MsgNotifyInfoRecord> first(const QList<MsgNotifyInfoRecord>& records)
{
    if (records.isEmpty()) {
        return std::nullopt;
    }
    return records.first();
}

} // namespace

MsgNotifyInfoTable::MsgNotifyInfoTable()
{
    initMsgNotifyInfoTable();
}

void MsgNotifyInfoTable::initMsgNotifyInfoTable()
{
    s_creation.ensure();
}

void MsgNotifyInfoTable::insertMsgNotifyInfoRecords(const MsgNotifyInfos& infos)
{
    initMsgNotifyInfoTable();
    for (const MsgNotifyInfo& info : infos.datas) {
        insertMsgNotifyInfoRecord(info);
    }
}

void MsgNotifyInfoTable::insertMsgNotifyInfoRecord(const MsgNotifyInfo& info)
{
    initMsgNotifyInfoTable();
    DatabaseAdaptor::update(kInsert.arg(kTable), info.toVariantMap());
}

std::optional<MsgNotifyInfoRecord> MsgNotifyInfoTable::selectMsgNotifyInfoRecordById(int id)
{
    initMsgNotifyInfoTable();
    return first(DatabaseAdaptor::selectBeans<MsgNotifyInfoRecord>(
        &MsgNotifyInfoRecord::fromVariantMap, kSelectById.arg(kTable), {{u"id"_s, id}}));
}

std::optional<MsgNotifyInfoRecord>
MsgNotifyInfoTable::selectMsgNotifyInfoRecordByReplaceId(uint replaceId)
{
    initMsgNotifyInfoTable();
    return first(DatabaseAdaptor::selectBeans<MsgNotifyInfoRecord>(
        &MsgNotifyInfoRecord::fromVariantMap, kSelectByReplaceId.arg(kTable),
        {{u"replace_id"_s, replaceId}}));
}

QList<MsgNotifyInfoRecord> MsgNotifyInfoTable::selectMsgNotifyInfoRecords(int imageDownloaded,
                                                                          int msgRead)
{
    initMsgNotifyInfoTable();
    QString sql = kSelect.arg(kTable);
    QVariantMap binds;
    if (imageDownloaded >= 0) {
        binds.insert(u"image_downloaded"_s, imageDownloaded);
    }
    if (msgRead >= 0) {
        binds.insert(u"msg_read"_s, msgRead);
    }
    bool firstCondition = true;
    for (auto it = binds.cbegin(); it != binds.cend(); ++it) {
        sql = (firstCondition ? u"%1 WHERE %2 = :%2"_s : u"%1 AND %2 = :%2"_s).arg(sql, it.key());
        firstCondition = false;
    }
    return DatabaseAdaptor::selectBeans<MsgNotifyInfoRecord>(&MsgNotifyInfoRecord::fromVariantMap,
                                                             sql, binds);
}

std::optional<QStringList> MsgNotifyInfoTable::selectMsgNotifyInfoImgUrls()
{
    initMsgNotifyInfoTable();
    std::optional<QStringList> urls;
    DatabaseAdaptor::executeSql(kSelectImgUrls.arg(kTable), {}, [&urls](QSqlQuery* query) {
        urls.emplace();
        while (query->next()) {
            urls->append(query->value(0).toString());
        }
    });
    return urls;
}

void MsgNotifyInfoTable::updateMsgNotifyInfoRecordFieldReplaceId(int id, uint replaceId)
{
    initMsgNotifyInfoTable();
    // The notification service numbers its bubbles afresh when it restarts: an id belongs to the
    // message shown under it last, so that closing that bubble never reads another message.
    if (replaceId != 0) {
        DatabaseAdaptor::update(kReleaseReplaceId.arg(kTable).arg(replaceId).arg(id));
    }
    DatabaseAdaptor::update(kUpdateReplaceId.arg(kTable).arg(replaceId).arg(id));
}

void MsgNotifyInfoTable::resetMsgNotifyInfoRecordsFieldReplaceId()
{
    initMsgNotifyInfoTable();
    DatabaseAdaptor::update(kReleaseReplaceIds.arg(kTable));
}

void MsgNotifyInfoTable::updateMsgNotifyInfoRecordFieldImageDownloaded(int id, bool downloaded)
{
    initMsgNotifyInfoTable();
    DatabaseAdaptor::update(kUpdateImageDownloaded.arg(kTable, sqlBool(downloaded)).arg(id));
}

void MsgNotifyInfoTable::updateMsgNotifyInfoRecordFieldMsgRead(int id, bool read)
{
    initMsgNotifyInfoTable();
    DatabaseAdaptor::update(kUpdateMsgRead.arg(kTable, sqlBool(read)).arg(id));
}

void MsgNotifyInfoTable::updateMsgNotifyInfoRecordFieldNotifyTimes(int id)
{
    initMsgNotifyInfoTable();
    const std::optional<MsgNotifyInfoRecord> stored = selectMsgNotifyInfoRecordById(id);
    if (!stored) {
        qCWarning(logMain).noquote() << u"MsgNotifyInfo with id: %1 not exists"_s.arg(id);
        return;
    }
    DatabaseAdaptor::update(kUpdateNotifyTimes.arg(kTable).arg(stored->notify_times + 1).arg(id));
}

void MsgNotifyInfoTable::updateMsgNotifyInfoRecordFieldNotifyTimes(int id, uint notifyTimes)
{
    initMsgNotifyInfoTable();
    DatabaseAdaptor::update(kUpdateNotifyTimes.arg(kTable).arg(notifyTimes).arg(id));
}

void MsgNotifyInfoTable::deleteMsgNotifyInfoRecordById(int id)
{
    initMsgNotifyInfoTable();
    DatabaseAdaptor::update(kDeleteById.arg(kTable).arg(id));
}

void MsgNotifyInfoTable::deleteUselessMsgNotifyInfoRecords()
{
    initMsgNotifyInfoTable();
    DatabaseAdaptor::update(kDeleteUseless.arg(kTable));
}

void MsgNotifyInfoTable::deleteOldestMsgNotifyInfoRecords()
{
    initMsgNotifyInfoTable();
    const int count = DatabaseAdaptor::selectInt(kCount.arg(kTable));
    if (count <= kMaxRows) {
        return;
    }
    DatabaseAdaptor::update(kDeleteOldest.arg(kTable).arg(count - kMaxRows));
}
