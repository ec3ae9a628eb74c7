#include "common/config.h"
#include "test_environment.h"

#include <QSettings>

class TestConfig : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void location_data();
    void location();
    void fileValues_data();
    void fileValues();
    void lastModifiedPersistence();
    void directoryCannotBeCreated();

private:
    std::unique_ptr<QTemporaryDir> m_configHome;
};

void TestConfig::init()
{
    // A fresh configuration home for every case.
    m_configHome = std::make_unique<QTemporaryDir>(TestEnvironment::instance()->root() +
                                                   QStringLiteral("/config-XXXXXX"));
    QVERIFY(m_configHome->isValid());
    qputenv("XDG_CONFIG_HOME", m_configHome->path().toUtf8());
    QCoreApplication::setOrganizationName(QString());
}

void TestConfig::cleanup()
{
    QCoreApplication::setOrganizationName(QString());
}

void TestConfig::location_data()
{
    QTest::addColumn<QString>("organization");
    QTest::addColumn<QString>("relativeDir");

    QTest::newRow("no organisation")
        << QString() << QStringLiteral("/quorin/quorin-msg-notification");
    QTest::newRow("host's organisation")
        << QStringLiteral("Org") << QStringLiteral("/Org/quorin-msg-notification");
}

void TestConfig::location()
{
    QFETCH(QString, organization);
    QFETCH(QString, relativeDir);
    QCoreApplication::setOrganizationName(organization);

    const QString dir = m_configHome->path() + relativeDir;
    QVERIFY(!QFileInfo::exists(dir));
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".")));
    Config config;
    QVERIFY(QFileInfo(dir).isDir());
    QCOMPARE(Config::configFilePath(), dir + QStringLiteral("/quorin-msg-notification.conf"));
    QCOMPARE(config.server(), Config::defaultServer());
    QCOMPARE(config.lastModified(), 0);

    config.setLastModified(7);
    QVERIFY(QFileInfo::exists(dir + QStringLiteral("/quorin-msg-notification.conf")));
}

void TestConfig::fileValues_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("server");
    QTest::addColumn<qint64>("lastModified");

    const QString builtIn = Config::defaultServer();
    QTest::newRow("blanks around the server are dropped")
        << QByteArray("[General]\nserver=\" https://msg.example.test \"\nlastModified=42\n")
        << QStringLiteral("https://msg.example.test") << 42LL;
    QTest::newRow("trailing slashes are dropped")
        << QByteArray("[General]\nserver=https://msg.example.test//\n")
        << QStringLiteral("https://msg.example.test") << 0LL;
    QTest::newRow("blank server keeps the built-in one")
        << QByteArray("[General]\nserver=\"   \"\n") << builtIn << 0LL;
    QTest::newRow("empty server keeps the built-in one")
        << QByteArray("[General]\nserver=\n") << builtIn << 0LL;
    QTest::newRow("stamp that is not a number reads as 0")
        << QByteArray("[General]\nlastModified=soon\n") << builtIn << 0LL;
    QTest::newRow("64-bit stamp") << QByteArray("[General]\nlastModified=1733000000123\n")
                                  << builtIn << 1733000000123LL;
    QTest::newRow("keys inside another group are not ours")
        << QByteArray("[Other]\nserver=https://other.test\nlastModified=5\n") << builtIn << 0LL;
}

void TestConfig::fileValues()
{
    QFETCH(QByteArray, content);
    QVERIFY(QDir().mkpath(Config::configDirPath()));
    QFile file(Config::configFilePath());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();

    Config config;
    QTEST(config.server(), "server");
    QTEST(config.lastModified(), "lastModified");
}

void TestConfig::lastModifiedPersistence()
{
    Config config;
    config.setLastModified(42);
    // On disk before the call returns, as another reader sees it.
    QCOMPARE(QSettings(Config::configFilePath(), QSettings::IniFormat)
                 .value(QStringLiteral("lastModified"))
                 .toLongLong(),
             42);

    config.setLastModified(0);
    QCOMPARE(config.lastModified(), 0);
    QCOMPARE(QSettings(Config::configFilePath(), QSettings::IniFormat)
                 .value(QStringLiteral("lastModified"))
                 .toLongLong(),
             42);
    QCOMPARE(Config().lastModified(), 42);
}

void TestConfig::directoryCannotBeCreated()
{
    // A regular file where the configuration home should be: nothing can be created below it.
    const QString blocker = m_configHome->path() + QStringLiteral("/file");
    QFile file(blocker);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    qputenv("XDG_CONFIG_HOME", blocker.toUtf8());

    QTest::ignoreMessage(QtWarningMsg, "Config dir created failed");
    Config config;
    QCOMPARE(config.server(), Config::defaultServer());
    QCOMPARE(config.lastModified(), 0);
    config.setLastModified(9);
    QCOMPARE(config.lastModified(), 9);
    QVERIFY(QFileInfo(blocker).isFile());
}

QMN_TEST_MAIN(TestConfig)
#include "tst_config.moc"
