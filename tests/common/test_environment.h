#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>

// A hermetic world for one test process: HOME and the XDG directories in a temporary folder and
// a private dbus-daemon whose address is the session bus of this process and its children.
class TestEnvironment
{
public:
    TestEnvironment();
    ~TestEnvironment();

    // A new bus in place of the running one (if any), which activates services from these
    // folders. Only before this process has connected to the session bus.
    bool restartBus(const QStringList& serviceDirs = {});
    // A private system bus, for peers that live there. Only before this process has connected
    // to the system bus.
    bool startSystemBus();
    // One more private bus, which this process does not take as its own: for a child that must
    // lose its bus while the test goes on.
    bool startSpareBus(std::unique_ptr<QProcess>& daemon, QString* address);

    QString root() const { return m_root.path(); }
    QString busAddress() const { return m_busAddress; }
    QString systemBusAddress() const { return m_systemBusAddress; }
    static TestEnvironment* instance();

private:
    bool startDaemon(std::unique_ptr<QProcess>& daemon, const QString& name,
                     const QStringList& serviceDirs, QString* address, const char* variable);

    QTemporaryDir m_root;
    std::unique_ptr<QProcess> m_daemon;
    std::unique_ptr<QProcess> m_systemDaemon;
    QString m_busAddress;
    QString m_systemBusAddress;
};

namespace testing {

// How long a test waits for its peers, far beyond what each takes on a busy machine: what follows
// at once (a signal sent before an answer, a round trip, a process that starts or ends, a click's
// browser), and a whole cycle on loopback peers (a few tenths of a second).
constexpr int kAtOnceMs = 5000;
constexpr int kCycleMs = 15000;

// Turns this thread's event loop until `done` holds or `timeoutMs` has passed. Once a wait of
// this test program has run out, later ones give `done` half a second at most: what held the
// first one up most likely holds them too, and waiting it out in every row takes minutes.
bool waitFor(const std::function<bool()>& done, int timeoutMs);

// QTRY_VERIFY_WITH_TIMEOUT through waitFor.
#define QMN_TRY_VERIFY(expr, timeoutMs)                                                            \
    QVERIFY2(testing::waitFor([&] { return bool(expr); }, timeoutMs), #expr)

// Calls asynchronously and spins the event loop until the answer arrives, so that the test can
// call objects that live on its own thread through another connection.
QDBusMessage call(const QDBusConnection& connection, const QDBusMessage& message,
                  int timeoutMs = kAtOnceMs);

// A second connection to the private bus with its own unique name, as another process would have.
QDBusConnection clientConnection(const QString& name);

// Waits until the bus name has an owner (or has none, with owned = false).
bool waitForNameOwner(const QString& service, bool owned = true, int timeoutMs = kAtOnceMs);

// A round trip to the notification service: every signal it sent before has been handled.
bool notificationRoundTrip();

// Builds a child process with the test's environment and kills it with the test.
std::unique_ptr<QProcess> makeProcess(const QString& program, const QStringList& arguments);

// What a run of the query program printed and returned.
struct QueryRun
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// The lines of a text file that are not empty; none for a file that cannot be read.
QStringList readLines(const QString& path);

// Runs the query program to its end while this thread's event loop keeps turning, since the
// service it asks may live on this thread; with the test's environment unless given another.
QueryRun runQuery(const QStringList& arguments,
                  const QProcessEnvironment& environment = QProcessEnvironment());

} // namespace testing

#define QMN_TEST_MAIN(TestObject)                                                                  \
    int main(int argc, char** argv)                                                                \
    {                                                                                              \
        TestEnvironment environment;                                                               \
        QCoreApplication app(argc, argv);                                                          \
        if (!environment.restartBus()) {                                                           \
            return 1;                                                                              \
        }                                                                                          \
        TestObject test;                                                                           \
        /* The service logs at debug level; QtTest counts those against its warning limit. */      \
        QStringList arguments = QCoreApplication::arguments();                                     \
        arguments << QStringLiteral("-maxwarnings") << QStringLiteral("0");                        \
        return QTest::qExec(&test, arguments);                                                     \
    }
