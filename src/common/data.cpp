#include "common/data.h"

#include "plugin/log_categories.h"

#include <QJsonDocument>
#include <QJsonValue>
#include <QUrl>

using namespace Qt::StringLiterals;

namespace {

// Through a variant, so that a JSON string of decimal digits counts as well as a number.
qint64 toLongLong(const QJsonValue& value)
{
    return value.toVariant().toLongLong();
}

} // namespace

void MsgNotifyInfo::fromJsonObject(const QJsonObject& object)
{
    id = object.value("id"_L1).toInt(0);
    name = object.value("name"_L1).toString();
    startTime = toLongLong(object.value("startTime"_L1));
    endTime = toLongLong(object.value("endTime"_L1));
    title = object.value("title"_L1).toString();
    content = object.value("content"_L1).toString();
    type = object.value("type"_L1).toInt(1);
    imgUrl = object.value("imgUrl"_L1).toString();
    linkType = object.value("linkType"_L1).toInt(int(LinkKind::ShellCommand));
    linkInfo = object.value("linkInfo"_L1).toString();
}

QVariantMap MsgNotifyInfo::toVariantMap() const
{
    return {
        {u"id"_s, id},
        {u"name"_s, name},
        {u"startTime"_s, qlonglong(startTime)},
        {u"endTime"_s, qlonglong(endTime)},
        {u"title"_s, title},
        {u"content"_s, content},
        {u"type"_s, type},
        {u"imgUrl"_s, imgUrl},
        {u"linkType"_s, linkType},
        {u"linkInfo"_s, linkInfo},
    };
}

QStringList MsgNotifyInfo::actionCommand() const
{
    switch (LinkKind(linkType)) {
    case LinkKind::ShellCommand:
        return {u"/bin/bash"_s, u"-c"_s, linkInfo};
    case LinkKind::WebLink:
        return {u"/usr/bin/xdg-open"_s, linkInfo};
    }
    return {};
}

QString MsgNotifyInfo::webLink() const
{
    constexpr qsizetype kMaxLinkBytes = 2048;
    if (!linkIs(LinkKind::WebLink) || linkInfo.toUtf8().size() > kMaxLinkBytes) {
        return {};
    }
    for (const auto c : linkInfo.toUcs4()) {
        const QChar::Category category = QChar::category(c);
        if (QChar::isSpace(c) || category == QChar::Other_Control ||
            category == QChar::Other_Format || category == QChar::Other_Surrogate) {
            return {};
        }
    }
    const QUrl url(linkInfo, QUrl::StrictMode);
    const QString scheme = url.scheme();
    if (!url.isValid() || (scheme != "http"_L1 && scheme != "https"_L1) || url.host().isEmpty() ||
        !url.userInfo().isEmpty()) {
        return {};
    }
    return linkInfo;
}

MsgNotifyInfoRecord::MsgNotifyInfoRecord(const QVariantMap& map)
{
    // A NULL column must give the field's default; converted as it is, a typed null would become
    // the number 0.
    QVariantMap present;
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        if (!it.value().isNull()) {
            present.insert(it.key(), it.value());
        }
    }
    fromJsonObject(QJsonObject::fromVariantMap(present));
    replace_id = map.value(u"replace_id"_s, 0).toUInt();
    image_downloaded = map.value(u"image_downloaded"_s, false).toBool();
    msg_read = map.value(u"msg_read"_s, false).toBool();
    notify_times = map.value(u"notify_times"_s, 0).toUInt();
}

MsgNotifyInfoRecord MsgNotifyInfoRecord::fromVariantMap(const QVariantMap& map)
{
    return MsgNotifyInfoRecord(map);
}

MsgEventInfo::MsgEventInfo(int id, qint64 eventTime, int eventType)
    : id(id)
    , eventTime(eventTime)
    , eventType(eventType)
{
}

MsgEventInfo::MsgEventInfo(const QByteArray& body)
{
    if (body.isEmpty()) {
        return;
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        qCWarning(logMain) << "Parse MsgEventInfo error:" << error.errorString() << body;
        return;
    }
    const QJsonObject object = document.object();
    id = object.value("id"_L1).toInt(0);
    eventTime = toLongLong(object.value("eventTime"_L1));
    // A well-formed body without the member means "no type", not the default type.
    eventType = object.value("eventType"_L1).toInt(0);
}

QJsonObject MsgEventInfo::toJsonObject() const
{
    return {
        {"id"_L1, id},
        {"eventTime"_L1, eventTime},
        {"eventType"_L1, eventType},
    };
}

QByteArray MsgEventInfo::toJson() const
{
    return QJsonDocument(toJsonObject()).toJson(QJsonDocument::Compact);
}

MsgEventInfoRecord MsgEventInfoRecord::fromVariantMap(const QVariantMap& map)
{
    MsgEventInfoRecord record;
    record.id = map.value(u"id"_s).toInt();
    record.body = map.value(u"body"_s).toString();
    record.retry_times = map.value(u"retry_times"_s).toInt();
    return record;
}

void registerRecordMetaTypes()
{
    qRegisterMetaType<std::optional<MsgNotifyInfos>>("std::optional<MsgNotifyInfos>");
    qRegisterMetaType<MsgEventInfos>("MsgEventInfos");
}
