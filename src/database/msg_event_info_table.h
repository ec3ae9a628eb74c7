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

    void insertMsgEventInfoRecord(const MsgEventInfo& info);
    // The whole queue keyed by row id (ascending, the order of insertion).
    QMap<int, MsgEventInfo> selectMsgEventInfoRecords();
    std::optional<MsgEventInfoRecord> selectMsgEventInfoRecordById(int id);
    // Counts one more failed upload of the row.
    void updateMsgEventInfoRecordFieldRetryTimes(int id);
    void deleteMsgEventInfoRecordById(int id);
};
