#pragma once

#include "common/data.h"

#include <QMap>

#include <optional>

// The table msg_event_info: the queue of events waiting for upload, as JSON text.
class MsgEventInfoTable
{
public:
    MsgEventInfoTable();

    void initMsgEventInfoTable();

    // The new row's id, or -1 when it could not be stored.
    int insertMsgEventInfoRecord(const MsgEventInfo& info);
    // The whole queue keyed by row id (ascending, the order of insertion).
    QMap<int, MsgEventInfo> selectMsgEventInfoRecords();
    // At most `limit` rows after the row id `afterId`, in the same order.
    QMap<int, MsgEventInfo> selectMsgEventInfoRecords(int afterId, int limit);
    std::optional<MsgEventInfoRecord> selectMsgEventInfoRecordById(int id);
    // Counts one more failed upload of the row.
    void updateMsgEventInfoRecordFieldRetryTimes(int id);
    void deleteMsgEventInfoRecordById(int id);
    // The same for many rows in one statement; ids no longer stored are passed over.
    void updateMsgEventInfoRecordsFieldRetryTimes(const QList<int>& ids);
    void deleteMsgEventInfoRecordsByIds(const QList<int>& ids);
    // Keeps the newest kMaxEvents rows, with one warning when older ones go; how many went.
    int deleteOverflowingMsgEventInfoRecords();

    // While the server keeps refusing uploads, the queue grows with every cycle.
    static constexpr int kMaxEvents = 10000;

private:
    static QMap<int, MsgEventInfo> events(const QList<MsgEventInfoRecord>& records);
};
