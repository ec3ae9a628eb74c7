#include "database/database_adaptor.h"
#include "database/database_connection_config.h"
#include "log_capture.h"
#include "test_environment.h"

#include <QSqlDatabase>
#include <QThread>

namespace {
const char kDbCategory[] = "com.quorin.MsgNotification.database";

QString connectionName(QThread* thread)
{
    return QStringLiteral("conn_") + QString::number(quintptr(thread), 16);
}

void runOnNewThread(const std::function<void()>& work)
{
    std::unique_ptr<QThread> thread(QThread::create(work));
    thread->start();
    thread->wait();
}

QVariant toVariant(const QList<QVariantMap>& maps)
{
    QVariantList list;
    for (const QVariantMap& map : maps) {
        list.append(map);
    }
    return list;
}
} // namespace

class TestDatabaseAdaptor : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void firstStatementCreatesTheFile();
    void connectionPerThread();
    void statements_data();
    void statements();
    void createOnFreshConnectionGivesZero();
};

void TestDatabaseAdaptor::initTestCase()
{
    QCoreApplication::setOrganizationName(QString());
}

void TestDatabaseAdaptor::firstStatementCreatesTheFile()
{
    const QString file = qEnvironmentVariable("XDG_DATA_HOME") +
                         QStringLiteral("/quorin/quorin-msg-notification/msg_notify.db");
    QCOMPARE(DatabaseConnectionConfig::databaseFilePath(), file);
    QVERIFY(!QFileInfo::exists(file));
    QVERIFY(DatabaseAdaptor::update(
        QStringLiteral("CREATE TABLE t (id INTEGER PRIMARY KEY, body TEXT, n INTEGER)")));
    QVERIFY(QFileInfo(file).isFile());
    QVERIFY(DatabaseAdaptor::update(QStringLiteral(
        "INSERT INTO t (id, body, n) VALUES (1, 'one', 10), (2, 'two', 5000000000)")));
}

void TestDatabaseAdaptor::connectionPerThread()
{
    const QString mainName = connectionName(QThread::currentThread());
    QVERIFY(QSqlDatabase::contains(mainName));

    LogCapture log;
    QString workerName;
    runOnNewThread([&] {
        workerName = connectionName(QThread::currentThread());
        DatabaseAdaptor::selectInt(QStringLiteral("SELECT COUNT(*) FROM t"));
        DatabaseAdaptor::selectInt(QStringLiteral("SELECT COUNT(*) FROM t"));
    });
    QVERIFY(workerName != mainName);
    QCOMPARE(workerName.left(5), QStringLiteral("conn_"));
    QCOMPARE(log.count(QStringLiteral("database path: ")), 1);
    QCOMPARE(log.messages(kDbCategory, QtDebugMsg),
             QStringList({QStringLiteral("Connection created: ") + workerName,
                          QStringLiteral("Connection existed: ") + workerName}));

    // The finished thread's connection goes, in this (the application's) thread; ours stays.
    QTRY_VERIFY(!QSqlDatabase::contains(workerName));
    QCOMPARE(log.messages(kDbCategory, QtDebugMsg).last(),
             QStringLiteral("Connection deleted: ") + workerName);
    QVERIFY(QSqlDatabase::contains(mainName));
    QCOMPARE(DatabaseAdaptor::selectInt(QStringLiteral("SELECT COUNT(*) FROM t")), 2);
    QCOMPARE(log.messages(kDbCategory, QtDebugMsg).last(),
             QStringLiteral("Connection existed: ") + mainName);
}

void TestDatabaseAdaptor::statements_data()
{
    QTest::addColumn<QString>("function");
    QTest::addColumn<QString>("sql");
    QTest::addColumn<QVariantMap>("binds");
    QTest::addColumn<QVariant>("expected");
    QTest::addColumn<bool>("fails");

    const QString bad = QStringLiteral("SELEKT nothing FROM t");
    const QVariantMap one{{QStringLiteral("id"), 1}};
    const QVariantMap row1{{QStringLiteral("id"), 1LL},
                           {QStringLiteral("body"), QStringLiteral("one")},
                           {QStringLiteral("n"), 10LL}};
    const QVariantMap row2{{QStringLiteral("id"), 2LL},
                           {QStringLiteral("body"), QStringLiteral("two")},
                           {QStringLiteral("n"), 5000000000LL}};

    QTest::newRow("insert: failure gives -1")
        << "insert" << bad << QVariantMap() << QVariant(-1) << true;
    QTest::newRow("insert: new row id")
        << "insert" << QStringLiteral("INSERT INTO t (id, body) VALUES (:id, :body)")
        << QVariantMap{{QStringLiteral("id"), 40}, {QStringLiteral("body"), QStringLiteral("x")}}
        << QVariant(40) << false;
    QTest::newRow("update: no matching row is still success")
        << "update" << QStringLiteral("UPDATE t SET n = 1 WHERE id = 999") << QVariantMap()
        << QVariant(true) << false;
    QTest::newRow("update: failure gives false")
        << "update" << bad << QVariantMap() << QVariant(false) << true;
    QTest::newRow("update: keys the statement lacks are not bound")
        << "update" << QStringLiteral("UPDATE t SET body = :body WHERE id = 40")
        << QVariantMap{{QStringLiteral("id"), 7},
                       {QStringLiteral("body"), QStringLiteral("y")},
                       {QStringLiteral("retry_times"), 0}}
        << QVariant(true) << false;
    QTest::newRow("selectInt: count of an empty result")
        << "selectInt" << QStringLiteral("SELECT COUNT(*) FROM t WHERE id > 1000") << QVariantMap()
        << QVariant(0) << false;
    QTest::newRow("selectInt: failure gives 0")
        << "selectInt" << bad << QVariantMap() << QVariant(0) << true;
    QTest::newRow("selectInt64: beyond 32 bits")
        << "selectInt64" << QStringLiteral("SELECT n FROM t WHERE id = :id")
        << QVariantMap{{QStringLiteral("id"), 2}} << QVariant(5000000000LL) << false;
    QTest::newRow("selectString: no row gives empty")
        << "selectString" << QStringLiteral("SELECT body FROM t WHERE id = 999") << QVariantMap()
        << QVariant(QString()) << false;
    QTest::newRow("selectStrings: every row in order")
        << "selectStrings" << QStringLiteral("SELECT body FROM t WHERE id < 3 ORDER BY id")
        << QVariantMap() << QVariant(QStringList{QStringLiteral("one"), QStringLiteral("two")})
        << false;
    QTest::newRow("selectStrings: failure gives empty")
        << "selectStrings" << bad << QVariantMap() << QVariant(QStringList()) << true;
    QTest::newRow("selectMaps: every column of every row")
        << "selectMaps" << QStringLiteral("SELECT * FROM t WHERE id < 3 ORDER BY id")
        << QVariantMap() << toVariant({row1, row2}) << false;
    QTest::newRow("selectMaps: no rows")
        << "selectMaps" << QStringLiteral("SELECT * FROM t WHERE id > 999") << QVariantMap()
        << toVariant({}) << false;
    QTest::newRow("selectMap: first row")
        << "selectMap" << QStringLiteral("SELECT * FROM t WHERE id = :id") << one << QVariant(row1)
        << false;
    QTest::newRow("selectMap: no row gives empty map")
        << "selectMap" << QStringLiteral("SELECT * FROM t WHERE id > 999") << QVariantMap()
        << QVariant(QVariantMap()) << false;
    QTest::newRow("selectMap: failure gives empty map")
        << "selectMap" << bad << QVariantMap() << QVariant(QVariantMap()) << true;
}

void TestDatabaseAdaptor::statements()
{
    QFETCH(QString, function);
    QFETCH(QString, sql);
    QFETCH(QVariantMap, binds);
    QFETCH(bool, fails);

    LogCapture log;
    QVariant result;
    if (function == QLatin1String("insert")) {
        result = DatabaseAdaptor::insert(sql, binds);
    } else if (function == QLatin1String("update")) {
        result = DatabaseAdaptor::update(sql, binds);
    } else if (function == QLatin1String("selectInt")) {
        result = DatabaseAdaptor::selectInt(sql, binds);
    } else if (function == QLatin1String("selectInt64")) {
        result = DatabaseAdaptor::selectInt64(sql, binds);
    } else if (function == QLatin1String("selectString")) {
        result = DatabaseAdaptor::selectString(sql, binds);
    } else if (function == QLatin1String("selectStrings")) {
        result = DatabaseAdaptor::selectStrings(sql, binds);
    } else if (function == QLatin1String("selectMaps")) {
        result = toVariant(DatabaseAdaptor::selectMaps(sql, binds));
    } else if (function == QLatin1String("selectMap")) {
        result = DatabaseAdaptor::selectMap(sql, binds);
    } else {
        QFAIL("unknown function");
    }
    QTEST(result, "expected");

    // Exactly one warning per failed statement, naming the statement; none otherwise.
    const QStringList warnings = log.messages(kDbCategory, QtWarningMsg);
    QCOMPARE(warnings.size(), fails ? 1 : 0);
    if (fails) {
        QVERIFY2(warnings.first().contains(sql), qPrintable(warnings.first()));
    }
}

void TestDatabaseAdaptor::createOnFreshConnectionGivesZero()
{
    int result = -1;
    runOnNewThread([&] {
        result = DatabaseAdaptor::insert(QStringLiteral("CREATE TABLE IF NOT EXISTS u (x)"));
    });
    QCOMPARE(result, 0);
}

QMN_TEST_MAIN(TestDatabaseAdaptor)
#include "tst_database_adaptor.moc"
