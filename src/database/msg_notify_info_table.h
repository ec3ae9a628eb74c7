#pragma once

#include "common/data.h"

#include <QList>
#include <QStringList>

#include <optional>

// The table msg_notify_info: fetched messages with their local display state.
class MsgNotifyInfoTable
{
public:
    MsgNotifyInfoTable();

    void initMsgNotifyInfoTable();

    void insertMsgNotifyInfoRecords(const MsgNotifyInfos& infos);
    // A message stored again keeps only its bubble id; its other local state starts afresh.
    void insertMsgNotifyInfoRecord(const MsgNotifyInfo& info);

    std::optional<MsgNotifyInfoRecord> selectMsgNotifyInfoRecordById(int id);
    std::optional<MsgNotifyInfoRecord> selectMsgNotifyInfoRecordByReplaceId(uint replaceId);
    // A negative argument puts no condition on its column; 0 or 1 ask for that value.
    QList<MsgNotifyInfoRecord> selectMsgNotifyInfoRecords(int imageDownloaded, int msgRead);
    // The image URL of every stored message; nothing when the statement failed.
    std::optional<QStringList> selectMsgNotifyInfoImgUrls();

    // Also takes the id from any other message: a bubble id names the message shown under it last.
    void updateMsgNotifyInfoRecordFieldReplaceId(int id, uint replaceId);
    // No message has a bubble: the ids were given by a notification service that is gone.
    void resetMsgNotifyInfoRecordsFieldReplaceId();
    void updateMsgNotifyInfoRecordFieldImageDownloaded(int id, bool downloaded);
    void updateMsgNotifyInfoRecordFieldMsgRead(int id, bool read);
    // Adds one to notify_times.
    void updateMsgNotifyInfoRecordFieldNotifyTimes(int id);
    void updateMsgNotifyInfoRecordFieldNotifyTimes(int id, uint notifyTimes);

    void deleteMsgNotifyInfoRecordById(int id);
    // Read messages and messages shown five times.
    void deleteUselessMsgNotifyInfoRecords();
    // Keeps the 200 rows with the largest startTime.
    void deleteOldestMsgNotifyInfoRecords();
};
