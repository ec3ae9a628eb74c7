#include "log_capture.h"
#include "test_environment.h"

#include <QRandomGenerator>

#include <sys/mount.h>

namespace {
const QString kRelative = QStringLiteral("/quorin/quorin-msg-notification");

struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
};

// The helper in a data home of its own: its first open is the first of its process.
Run writer(const QString& dataHome, const QStringList& arguments)
{
    auto process = testing::makeProcess(QStringLiteral(QMN_DB_WRITER_PATH), arguments);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_DATA_HOME"), dataHome);
    process->setProcessEnvironment(environment);
    process->start();
    Run run;
    if (process->waitForFinished(60000) && process->exitStatus() == QProcess::NormalExit) {
        run.exitCode = process->exitCode();
    }
    run.out = QString::fromUtf8(process->readAllStandardOutput());
    run.err = QString::fromUtf8(process->readAllStandardError());
    return run;
}

QString freshHome(const QString& name)
{
    const QString home = TestEnvironment::instance()->root() + QStringLiteral("/") + name;
    QDir(home).removeRecursively();
    QDir().mkpath(home + kRelative);
    return home;
}
} // namespace

class TestDatabaseDamage : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void damagedFileIsMovedAside_data();
    void damagedFileIsMovedAside();
    void fullDisk();
    void readOnlyMount();
};

void TestDatabaseDamage::damagedFileIsMovedAside_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<bool>("movedAside");
    QTest::newRow("random bytes") << QStringLiteral("random") << true;
    QTest::newRow("truncated") << QStringLiteral("truncated") << true;
    QTest::newRow("header overwritten, committed pages in its log")
        << QStringLiteral("header-with-log") << true;
    QTest::newRow("healthy") << QStringLiteral("none") << false;
    QTest::newRow("empty file is a new database") << QStringLiteral("empty") << false;
}

void TestDatabaseDamage::damagedFileIsMovedAside()
{
    QFETCH(QString, damage);
    QFETCH(bool, movedAside);
    const QString home = freshHome(QStringLiteral("damage-") + damage);
    const QString db = home + kRelative + QStringLiteral("/msg_notify.db");

    if (damage == QLatin1String("random")) {
        QFile file(db);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QByteArray bytes(8192, Qt::Uninitialized);
        QRandomGenerator(7).fillRange(reinterpret_cast<quint32*>(bytes.data()), bytes.size() / 4);
        file.write(bytes);
    } else if (damage == QLatin1String("empty")) {
        QFile file(db);
        QVERIFY(file.open(QIODevice::WriteOnly));
    } else {
        // A real database with a few thousand rows, then cut in half.
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(writer(home, {QStringLiteral("--check"), QString::number(i)}).exitCode, 0);
        }
        if (damage == QLatin1String("truncated")) {
            QCOMPARE(writer(home, {QStringLiteral("--full-disk")}).exitCode, 0);
            QFile file(db);
            QVERIFY(file.resize(file.size() / 2));
            QFile::remove(db + QStringLiteral("-wal"));
        } else if (damage == QLatin1String("header-with-log")) {
            // Killed after a commit: the page is in the log only.
            auto killed = testing::makeProcess(QStringLiteral(QMN_DB_WRITER_PATH), {"5"});
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(QStringLiteral("XDG_DATA_HOME"), home);
            killed->setProcessEnvironment(environment);
            killed->start();
            QVERIFY(QTest::qWaitFor(
                [&] { return killed->readAllStandardOutput().contains("committed"); }));
            killed->kill();
            QVERIFY(killed->waitForFinished());
            QVERIFY(QFileInfo(db + QStringLiteral("-wal")).size() > 0);
            QFile file(db);
            QVERIFY(file.open(QIODevice::ReadWrite));
            file.write(QByteArray(100, 'x'));
        }
    }
    const qint64 oldSize = QFileInfo(db).size();
    const qint64 oldLogSize = QFileInfo(db + QStringLiteral("-wal")).size();

    const Run run = writer(home, {QStringLiteral("--check"), QStringLiteral("77")});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.contains(QStringLiteral("has 77 1")), qPrintable(run.out + run.err));
    // The copies, without the log files that went with them.
    const auto copies = [&] {
        QStringList names =
            QDir(home + kRelative)
                .entryList({QStringLiteral("msg_notify.db.corrupt-*")}, QDir::Files, QDir::Name);
        names.removeIf([](const QString& name) {
            return name.endsWith(QLatin1String("-wal")) || name.endsWith(QLatin1String("-shm"));
        });
        return names;
    };
    const QStringList aside = copies();
    QCOMPARE(aside.size(), movedAside ? 1 : 0);
    QCOMPARE(run.err.contains(QStringLiteral("Damaged database")), movedAside);
    if (movedAside) {
        const QString copy = home + kRelative + QLatin1Char('/') + aside.first();
        QCOMPARE(QFileInfo(copy).size(), oldSize);
        // The log goes with the copy, never into the new database.
        QCOMPARE(QFileInfo(copy + QStringLiteral("-wal")).size(), oldLogSize);
        QVERIFY(run.out.contains(QStringLiteral("queued 1")));
        // Damaged three times more: the three newest copies stay, with their logs.
        for (int i = 0; i < 3; ++i) {
            QFile again(db);
            QVERIFY(again.open(QIODevice::WriteOnly | QIODevice::Truncate));
            again.write(QByteArray(4096, 'x'));
            again.close();
            QCOMPARE(writer(home, {QStringLiteral("--check"), QString::number(78 + i)}).exitCode,
                     0);
        }
        const QStringList kept =
            QDir(home + kRelative)
                .entryList({QStringLiteral("msg_notify.db.corrupt-*")}, QDir::Files, QDir::Name);
        QCOMPARE(kept.filter(QStringLiteral("-wal")).size(), 0);
        QCOMPARE(kept.size(), 3);
        QVERIFY(!kept.contains(aside.first()));
    } else if (damage == QLatin1String("none")) {
        QVERIFY(run.out.contains(QStringLiteral("queued 4")));
    }
}

void TestDatabaseDamage::fullDisk()
{
    const QString home = freshHome(QStringLiteral("full"));
    const Run run = writer(home, {QStringLiteral("--full-disk")});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.contains(QStringLiteral("recovered 1")), qPrintable(run.out + run.err));
    QVERIFY(!run.out.contains(QStringLiteral("failed 0")));
}

void TestDatabaseDamage::readOnlyMount()
{
    const QString home = freshHome(QStringLiteral("mounted"));
    const QString dir = home + kRelative;
    if (::mount("tmpfs", dir.toLocal8Bit().constData(), "tmpfs", 0, "size=4m") != 0) {
        QSKIP("cannot mount a tmpfs here");
    }
    const auto unmount = qScopeGuard([&] { ::umount2(dir.toLocal8Bit().constData(), MNT_DETACH); });
    QCOMPARE(writer(home, {QStringLiteral("--check"), QStringLiteral("1")}).exitCode, 0);
    QCOMPARE(
        ::mount("tmpfs", dir.toLocal8Bit().constData(), "tmpfs", MS_REMOUNT | MS_RDONLY, "size=4m"),
        0);
    Run run = writer(home, {QStringLiteral("--check"), QStringLiteral("2")});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.contains(QStringLiteral("has 2 0")), qPrintable(run.out));
    QVERIFY(!run.err.contains(QStringLiteral("Damaged database")));
    QCOMPARE(::mount("tmpfs", dir.toLocal8Bit().constData(), "tmpfs", MS_REMOUNT, "size=4m"), 0);
    run = writer(home, {QStringLiteral("--check"), QStringLiteral("3")});
    QVERIFY2(run.out.contains(QStringLiteral("has 3 1")), qPrintable(run.out));
}

QMN_TEST_MAIN(TestDatabaseDamage)
#include "tst_database_damage.moc"
