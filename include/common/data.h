#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <optional>

// What a click on a message's notification is meant to do: the numbers of the server's
// "linkType".
enum class LinkKind : int {
    ShellCommand = 1,
    WebLink = 2,
};

// What happened to a message: the numbers of "eventType", as stored and uploaded.
enum class EventKind : int {
    Received = 1,
    Shown = 2,
    Closed = 3,
};

// A message as the server sends it.
struct MsgNotifyInfo
{
    int id = 0;
    QString name;
    qint64 startTime = 0;
    qint64 endTime = 0;
    QString title;
    QString content;
    int type = 1;
    QString imgUrl;
    int linkType = int(LinkKind::ShellCommand);
    QString linkInfo;

    // Overwrites all ten fields; missing or mistyped members give the defaults.
    void fromJsonObject(const QJsonObject& object);
    // Keys equal the column names of msg_notify_info.
    QVariantMap toVariantMap() const;
    // The program and arguments that a click on the message's notification runs; empty for a
    // link type without one.
    QStringList actionCommand() const;
    // What a click opens in the browser: `linkInfo` of a web link that is an http or https URL
    // with a host, without a user or password part, whitespace or control characters, and of at
    // most 2 KB. Empty for anything else.
    QString webLink() const;
    // Whether the message has ended by `nowSecs`: it is due up to and including the second its
    // end time names.
    bool endedBy(qint64 nowSecs) const { return nowSecs > endTime; }
    bool linkIs(LinkKind kind) const { return linkType == int(kind); }
};

// A row of msg_notify_info: the message plus its local display state.
struct MsgNotifyInfoRecord : public MsgNotifyInfo
{
    uint replace_id = 0;
    bool image_downloaded = false;
    bool msg_read = false;
    uint notify_times = 0;

    MsgNotifyInfoRecord() = default;
    explicit MsgNotifyInfoRecord(const QVariantMap& map);

    static MsgNotifyInfoRecord fromVariantMap(const QVariantMap& map);
};

// One fetched page; lastModified comes from the reply header, not the body.
struct MsgNotifyInfos
{
    QList<MsgNotifyInfo> datas;
    int total = 0;
    bool hasNextPage = false;
    qint64 lastModified = 0;
};

struct MsgEventInfo
{
    int id = 0;
    qint64 eventTime = 0;
    int eventType = int(EventKind::Received);

    MsgEventInfo() = default;
    MsgEventInfo(int id, qint64 eventTime, int eventType);
    MsgEventInfo(int id, qint64 eventTime, EventKind kind)
        : MsgEventInfo(id, eventTime, int(kind))
    {
    }
    // Reads the stored JSON text form; anything but a JSON object gives the default event.
    explicit MsgEventInfo(const QByteArray& body);

    // Members "eventTime", "eventType", "id", as stored and uploaded.
    QJsonObject toJsonObject() const;
    // Compact UTF-8 JSON text, e.g. {"eventTime":1000,"eventType":1,"id":7}.
    QByteArray toJson() const;

    bool operator==(const MsgEventInfo& other) const = default;
};

// Its own type (not a typedef) so that it has its own meta-type for queued connections.
class MsgEventInfos : public QList<MsgEventInfo>
{
public:
    using QList<MsgEventInfo>::QList;
    MsgEventInfos() = default;
    MsgEventInfos(const QList<MsgEventInfo>& list)
        : QList<MsgEventInfo>(list)
    {
    }
};

// A row of msg_event_info.
struct MsgEventInfoRecord
{
    int id = 0;
    QString body;
    int retry_times = 0;

    static MsgEventInfoRecord fromVariantMap(const QVariantMap& map);
};

Q_DECLARE_METATYPE(MsgNotifyInfos)
Q_DECLARE_METATYPE(std::optional<MsgNotifyInfos>)
Q_DECLARE_METATYPE(MsgEventInfo)
Q_DECLARE_METATYPE(MsgEventInfos)

// Registers the types that cross threads under the names their signals use:
// "std::optional<MsgNotifyInfos>" and "MsgEventInfos". Safe to call repeatedly.
void registerRecordMetaTypes();
