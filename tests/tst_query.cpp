#include "report_table.h"
#include "test_environment.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

// The query program on its own: how it fits the store's texts to a terminal, and how it fails
// on a machine whose files are missing or broken.
class TestQuery : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void fitted_data();
    void fitted();
    void brokenFiles_data();
    void brokenFiles();

private:
    static QProcessEnvironment homeIn(const QTemporaryDir& home);
};

QProcessEnvironment TestQuery::homeIn(const QTemporaryDir& home)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_DATA_HOME", home.path() + "/data");
    environment.insert("XDG_CONFIG_HOME", home.path() + "/config");
    return environment;
}

void TestQuery::fitted_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("width");
    QTest::addColumn<QString>("line");
    QTest::newRow("padded") << "abc" << 5 << "abc  ";
    QTest::newRow("tab and newline") << "a\tb\nc" << 6 << "a b c ";
    QTest::newRow("terminal escape") << "\x1b[2Jx" << 6 << " [2Jx ";
    QTest::newRow("bidi override") << "a\u202Eb" << 3 << "ab ";
    QTest::newRow("cut") << QString(200, u'x') << 30 << QString(29, u'x') + u'…';
    QTest::newRow("wide characters") << "漢字漢字" << 6 << "漢字… ";
    QTest::newRow("combining marks") << "e\u0301e\u0301" << 2 << "e\u0301e\u0301";
    QTest::newRow("outside the basic plane") << "\U0001F600\U0001F600" << 3 << "\U0001F600…";
}

void TestQuery::fitted()
{
    QFETCH(QString, text);
    QFETCH(int, width);
    QFETCH(QString, line);
    QCOMPARE(ReportTable::fitted(text, width), line);
}

void TestQuery::brokenFiles_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("option");
    QTest::addColumn<int>("exitCode");
    // On stderr when the run fails, on stdout otherwise.
    QTest::addColumn<QString>("says");

    QTest::newRow("fresh machine: status") << QString() << "--status" << 0 << "not created yet";
    QTest::newRow("fresh machine: list") << QString() << "--list" << 1 << "no database at";
    QTest::newRow("damaged database: list") << "damaged"
                                            << "--list" << 1 << "is damaged";
    QTest::newRow("database is a folder") << "database folder"
                                          << "--events" << 1 << "is not a database file";
    QTest::newRow("configuration cannot be written")
        << "configuration under a file"
        << "--disable" << 1 << "cannot create the folder";
}

void TestQuery::brokenFiles()
{
    QFETCH(QString, fault);
    QFETCH(QString, option);
    QFETCH(int, exitCode);
    QFETCH(QString, says);

    QTemporaryDir home;
    const QString data = home.path() + "/data/quorin/quorin-msg-notification";
    const QString config = home.path() + "/config/quorin/quorin-msg-notification";
    QVERIFY(QDir().mkpath(data));
    QVERIFY(QDir().mkpath(config));
    if (fault == QLatin1String("damaged")) {
        QFile file(data + "/msg_notify.db");
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(8192, 'x'));
    } else if (fault == QLatin1String("database folder")) {
        QVERIFY(QDir().mkpath(data + "/msg_notify.db"));
    } else if (fault == QLatin1String("configuration under a file")) {
        QVERIFY(QDir(config).removeRecursively());
        QFile file(config);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }

    const testing::QueryRun run = testing::runQuery({option}, homeIn(home));
    QCOMPARE(run.exitCode, exitCode);
    if (exitCode == 0) {
        QVERIFY2(run.out.contains(says.toUtf8()), run.out.constData());
        // Nobody on this bus: looking starts nothing.
        QVERIFY(run.out.contains("not on the bus"));
        QVERIFY(run.err.isEmpty());
        return;
    }
    // One line, nothing else.
    QVERIFY(run.out.isEmpty());
    QCOMPARE(run.err.count('\n'), 1);
    QVERIFY2(run.err.contains(says.toUtf8()), run.err.constData());
}

QMN_TEST_MAIN(TestQuery)
#include "tst_query.moc"
