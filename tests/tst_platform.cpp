#include "platform/keyfile_entry.h"
#include "platform/system_info.h"
#include "test_environment.h"

class TestPlatform : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void keyfileStatus_data();
    void keyfileStatus();
    void systemInfo_data();
    void systemInfo();

private:
    QString write(const QString& name, const QByteArray& content);
    QTemporaryDir m_dir;
};

QString TestPlatform::write(const QString& name, const QByteArray& content)
{
    const QString path = m_dir.filePath(name);
    if (content.isNull()) {
        QFile::remove(path);
        return path;
    }
    QFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(content);
    }
    return path;
}

void TestPlatform::keyfileStatus_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("directory");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("value");

    QTest::newRow("readable") << QByteArray("[Version]\nOsBuild=1\nOsBuild[en_US]=2\n") << false
                              << QStringLiteral("KeyfileEntry::Success") << QStringLiteral("2");
    QTest::newRow("missing") << QByteArray() << false
                             << QStringLiteral("KeyfileEntry::FileNotFound") << QString();
    QTest::newRow("not a key-file") << QByteArray("OsBuild=1\n") << false
                                    << QStringLiteral("KeyfileEntry::ParseError") << QString();
    QTest::newRow("a directory") << QByteArray() << true << QStringLiteral("KeyfileEntry::ParseError")
                                 << QString();
}

void TestPlatform::keyfileStatus()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, directory);
    QString path = write(QStringLiteral("os-version"), content);
    if (directory) {
        path = m_dir.filePath(QStringLiteral("dir"));
        QDir().mkpath(path);
    }
    const KeyfileEntry entry(path);
    QString printed;
    QDebug(&printed).nospace() << entry.status();
    QTEST(printed, "status");
    QCOMPARE(entry.status() == KeyfileEntry::Success, int(entry.status()) == 0);
    QTEST(entry.value(QStringLiteral("OsBuild[en_US]"), QStringLiteral("Version")), "value");
}

void TestPlatform::systemInfo_data()
{
    QTest::addColumn<QByteArray>("osVersion");
    QTest::addColumn<QByteArray>("osRelease");
    QTest::addColumn<QString>("major");
    QTest::addColumn<QString>("minor");
    QTest::addColumn<QString>("edition");

    const QByteArray debian = "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"
                              "NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\n";
    QTest::newRow("os-version with an English edition")
        << QByteArray("[Version]\nMajorVersion=20\nMinorVersion=1070\nEditionName=Pro\n"
                      "EditionName[en]=Professional\nEditionName[zh_CN]=x\n")
        << debian << QStringLiteral("20") << QStringLiteral("1070")
        << QStringLiteral("Professional");
    QTest::newRow("os-release only") << QByteArray() << debian << QStringLiteral("12") << QString()
                                     << QStringLiteral("Debian GNU/Linux");
    QTest::newRow("os-release with a minor version")
        << QByteArray() << QByteArray("NAME='Ubuntu'\nVERSION_ID=22.04\n") << QStringLiteral("22")
        << QStringLiteral("04") << QStringLiteral("Ubuntu");
    QTest::newRow("os-version lacks keys, os-release fills them")
        << QByteArray("[Version]\nMinorVersion=3\n") << debian << QStringLiteral("12")
        << QStringLiteral("3") << QStringLiteral("Debian GNU/Linux");
    QTest::newRow("neither file") << QByteArray() << QByteArray() << QString() << QString()
                                  << QString();
}

void TestPlatform::systemInfo()
{
    QFETCH(QByteArray, osVersion);
    QFETCH(QByteArray, osRelease);
    const SystemInfo info(write(QStringLiteral("os-version"), osVersion.isEmpty() ? QByteArray() : osVersion),
                          write(QStringLiteral("os-release"), osRelease.isEmpty() ? QByteArray() : osRelease));
    QTEST(info.majorVersion(), "major");
    QTEST(info.minorVersion(), "minor");
    QTEST(info.editionName(QLocale(QLocale::English)), "edition");
}

QMN_TEST_MAIN(TestPlatform)
#include "tst_platform.moc"
