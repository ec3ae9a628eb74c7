#include "common/data.h"
#include "test_environment.h"

#include <QJsonDocument>

class TestRecords : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void messageFromJson_data();
    void messageFromJson();
    void messageRowRoundTrip();
    void recordFromRow_data();
    void recordFromRow();
    void eventBody_data();
    void eventBody();
    void eventToJson_data();
    void eventToJson();
    void eventRecordFromRow();
    void metaTypeNames();
};

namespace {
QJsonObject json(const char* text)
{
    return QJsonDocument::fromJson(text).object();
}
} // namespace

void TestRecords::messageFromJson_data()
{
    QTest::addColumn<QJsonObject>("object");
    QTest::addColumn<int>("id");
    QTest::addColumn<qint64>("startTime");
    QTest::addColumn<qint64>("endTime");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("linkType");
    QTest::addColumn<QString>("title");

    QTest::newRow("empty object gives the defaults")
        << QJsonObject() << 0 << 0LL << 0LL << 1 << 1 << QString();
    QTest::newRow("string id is not an id, string time is a time")
        << json(R"({"id":"42","startTime":"100","endTime":3700,"type":2.5})") << 0 << 100LL
        << 3700LL << 1 << 1 << QString();
    QTest::newRow("plain numbers")
        << json(R"({"id":42,"startTime":1733000000,"endTime":1733999999,"type":2,"linkType":3,)"
                R"("title":"Sale"})")
        << 42 << 1733000000LL << 1733999999LL << 2 << 3 << QStringLiteral("Sale");
    QTest::newRow("times beyond 32 bits")
        << json(R"({"startTime":1733000000000,"endTime":"1733000000001"})") << 0 << 1733000000000LL
        << 1733000000001LL << 1 << 1 << QString();
    QTest::newRow("null and wrong types fall back")
        << json(R"({"id":null,"title":7,"type":"2","linkType":null,"endTime":"soon"})") << 0 << 0LL
        << 0LL << 1 << 1 << QString();
}

void TestRecords::messageFromJson()
{
    QFETCH(QJsonObject, object);

    // Every field is overwritten, whatever the object held before.
    MsgNotifyInfo info;
    info.id = 99;
    info.title = QStringLiteral("stale");
    info.type = 9;
    info.fromJsonObject(object);

    QTEST(info.id, "id");
    QTEST(info.startTime, "startTime");
    QTEST(info.endTime, "endTime");
    QTEST(info.type, "type");
    QTEST(info.linkType, "linkType");
    QTEST(info.title, "title");
}

void TestRecords::messageRowRoundTrip()
{
    MsgNotifyInfo info;
    info.id = 7;
    info.name = QStringLiteral("spring");
    info.startTime = 1733000000000;
    info.endTime = 1733999999;
    info.title = QStringLiteral("Title ü");
    info.content = QStringLiteral("Body\nwith \"quotes\"");
    info.type = 2;
    info.imgUrl = QStringLiteral("https://img.example/a.png");
    info.linkType = 3;
    info.linkInfo = QStringLiteral("app://open");

    const QVariantMap map = info.toVariantMap();
    QCOMPARE(map.size(), 10);
    QCOMPARE(map.value(QStringLiteral("startTime")).typeId(), QMetaType::LongLong);
    QCOMPARE(map.value(QStringLiteral("endTime")).typeId(), QMetaType::LongLong);
    QCOMPARE(map.value(QStringLiteral("id")).typeId(), QMetaType::Int);
    QCOMPARE(map.value(QStringLiteral("linkType")).typeId(), QMetaType::Int);

    const MsgNotifyInfoRecord record(map);
    QCOMPARE(record.id, info.id);
    QCOMPARE(record.name, info.name);
    QCOMPARE(record.startTime, info.startTime);
    QCOMPARE(record.endTime, info.endTime);
    QCOMPARE(record.title, info.title);
    QCOMPARE(record.content, info.content);
    QCOMPARE(record.type, info.type);
    QCOMPARE(record.imgUrl, info.imgUrl);
    QCOMPARE(record.linkType, info.linkType);
    QCOMPARE(record.linkInfo, info.linkInfo);
    QCOMPARE(record.replace_id, 0u);
    QCOMPARE(record.image_downloaded, false);
    QCOMPARE(record.msg_read, false);
    QCOMPARE(record.notify_times, 0u);
}

void TestRecords::recordFromRow_data()
{
    QTest::addColumn<QVariantMap>("row");
    QTest::addColumn<uint>("replaceId");
    QTest::addColumn<bool>("imageDownloaded");
    QTest::addColumn<bool>("msgRead");
    QTest::addColumn<uint>("notifyTimes");
    QTest::addColumn<int>("type");

    // SQLite hands back integers as qlonglong and NULL columns as null variants.
    QTest::newRow("database integers")
        << QVariantMap{{QStringLiteral("replace_id"), qlonglong(4000000000LL)},
                       {QStringLiteral("image_downloaded"), qlonglong(1)},
                       {QStringLiteral("msg_read"), qlonglong(0)},
                       {QStringLiteral("notify_times"), qlonglong(3)},
                       {QStringLiteral("type"), qlonglong(2)}}
        << 4000000000u << true << false << 3u << 2;
    QTest::newRow("null columns give defaults")
        << QVariantMap{{QStringLiteral("replace_id"), QVariant(QMetaType::fromType<qlonglong>())},
                       {QStringLiteral("msg_read"), QVariant(QMetaType::fromType<qlonglong>())},
                       {QStringLiteral("type"), QVariant(QMetaType::fromType<qlonglong>())}}
        << 0u << false << false << 0u << 1;
    QTest::newRow("missing columns give defaults")
        << QVariantMap() << 0u << false << false << 0u << 1;
}

void TestRecords::recordFromRow()
{
    QFETCH(QVariantMap, row);
    const MsgNotifyInfoRecord record = MsgNotifyInfoRecord::fromVariantMap(row);
    QTEST(record.replace_id, "replaceId");
    QTEST(record.image_downloaded, "imageDownloaded");
    QTEST(record.msg_read, "msgRead");
    QTEST(record.notify_times, "notifyTimes");
    QTEST(record.type, "type");
}

void TestRecords::eventBody_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("id");
    QTest::addColumn<qint64>("eventTime");
    QTest::addColumn<int>("eventType");
    QTest::addColumn<bool>("warns");

    QTest::newRow("stored form") << QByteArray(R"({"eventTime":1000,"eventType":1,"id":7})") << 7
                                 << 1000LL << 1 << false;
    QTest::newRow("not json") << QByteArray("abc") << 0 << 0LL << 1 << true;
    QTest::newRow("json array is not an event") << QByteArray("[1,2]") << 0 << 0LL << 1 << true;
    QTest::newRow("truncated") << QByteArray(R"({"eventTime":10)") << 0 << 0LL << 1 << true;
    QTest::newRow("empty object has type 0") << QByteArray("{}") << 0 << 0LL << 0 << false;
    QTest::newRow("empty body is silent") << QByteArray() << 0 << 0LL << 1 << false;
    QTest::newRow("64-bit stamp and string time")
        << QByteArray(R"({"eventTime":"1733000000000","eventType":3,"id":-5})") << -5
        << 1733000000000LL << 3 << false;
}

void TestRecords::eventBody()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, warns);

    const QRegularExpression warning(QStringLiteral("^Parse MsgEventInfo error: \".*\" \".*\"$"),
                                     QRegularExpression::DotMatchesEverythingOption);
    if (warns) {
        QTest::ignoreMessage(QtWarningMsg, warning);
    }
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".")));

    const MsgEventInfo event(body);
    QTEST(event.id, "id");
    QTEST(event.eventTime, "eventTime");
    QTEST(event.eventType, "eventType");
}

void TestRecords::eventToJson_data()
{
    QTest::addColumn<MsgEventInfo>("event");
    QTest::addColumn<QByteArray>("text");

    QTest::newRow("members in key order, compact")
        << MsgEventInfo(7, 1000, 1) << QByteArray(R"({"eventTime":1000,"eventType":1,"id":7})");
    QTest::newRow("64-bit time stays an integer")
        << MsgEventInfo(9, 1733000000000, 2)
        << QByteArray(R"({"eventTime":1733000000000,"eventType":2,"id":9})");
}

void TestRecords::eventToJson()
{
    QFETCH(MsgEventInfo, event);
    QFETCH(QByteArray, text);
    QCOMPARE(event.toJson(), text);
    QCOMPARE(MsgEventInfo(event.toJson()), event);
}

void TestRecords::eventRecordFromRow()
{
    const MsgEventInfoRecord record =
        MsgEventInfoRecord::fromVariantMap({{QStringLiteral("id"), qlonglong(12)},
                                            {QStringLiteral("body"), QStringLiteral("{}")},
                                            {QStringLiteral("retry_times"), qlonglong(2)}});
    QCOMPARE(record.id, 12);
    QCOMPARE(record.body, QStringLiteral("{}"));
    QCOMPARE(record.retry_times, 2);

    const MsgEventInfoRecord empty = MsgEventInfoRecord::fromVariantMap({});
    QCOMPARE(empty.id, 0);
    QVERIFY(empty.body.isEmpty());
    QCOMPARE(empty.retry_times, 0);
}

void TestRecords::metaTypeNames()
{
    registerRecordMetaTypes();
    const QMetaType page = QMetaType::fromName("std::optional<MsgNotifyInfos>");
    QVERIFY(page.isValid());
    QCOMPARE(page, QMetaType::fromType<std::optional<MsgNotifyInfos>>());
    const QMetaType events = QMetaType::fromName("MsgEventInfos");
    QVERIFY(events.isValid());
    QCOMPARE(events, QMetaType::fromType<MsgEventInfos>());
}

QMN_TEST_MAIN(TestRecords)
#include "tst_records.moc"
