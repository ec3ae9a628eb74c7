// Whole cycles through the bus, against a loopback message server and an in-process fake
// notification service on a private bus, each beside its floor: the same I/O done alone by a
// plain Qt program. Five runs (--runs N), each with 200 new messages in 4 pages and 200 images
// of 50 KB (none with --no-images): the new cycle, a 304 cycle that shows the 200 again, three
// more such cycles, then a 304 cycle with nothing left to show. Prints every run and the medians,
// then one pass against a notification service that answers after 20 ms, read from outside.
//
// With --standalone <program>, the stand-alone service runs as a child process instead, with
// folders of its own, and the figures are its time and peak resident memory for the new cycle.
//
// With --connections, the server speaks TLS and keeps connections open, as standard servers do,
// and the figures are the TCP connections and TLS handshakes it saw in a new cycle and in a
// cycle with nothing new, for the listing (pages and upload) and for the images.

#include "common/config.h"
#include "common/singleton.h"
#include "database/database_adaptor.h"
#include "dbus/dbus_interface.h"
#include "http/img_download_manager.h"
#include "loopback_http_server.h"
#include "notification/notification_interface.h"
#include "properties_changed_spy.h"
#include "recording_notification_server.h"
#include "task_meter.h"
#include "test_environment.h"

#include <QDBusPendingCall>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QMutex>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSaveFile>
#include <QSet>
#include <QSettings>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>

namespace {
constexpr int kPages = 4;
constexpr int kPageSize = 50;
constexpr int kMessages = kPages * kPageSize;
constexpr int kShowsPerMessage = 5;
const QString kName = QStringLiteral("com.quorin.MsgNotification");
const QString kPath = QStringLiteral("/com/quorin/MsgNotification");
const QString kContent = QStringLiteral("Up to 50% off on selected applications.");

int messageId(int run, int page, int index)
{
    return run * 10000 + page * 100 + index;
}

// What the loopback server hands out: the pages of the current run and their stamp. The server
// answers on its own thread.
class Catalogue
{
public:
    void setRun(int run, const QString& imageBase)
    {
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        QList<QByteArray> pages;
        for (int page = 1; page <= kPages; ++page) {
            QJsonArray datas;
            for (int i = 0; i < kPageSize; ++i) {
                const int id = messageId(run, page, i);
                datas.append(QJsonObject{
                    {QStringLiteral("id"), id},
                    {QStringLiteral("name"), QStringLiteral("activity %1").arg(id)},
                    {QStringLiteral("startTime"), now - 60},
                    {QStringLiteral("endTime"), now + 86400},
                    {QStringLiteral("title"), QStringLiteral("Spring sale %1").arg(id)},
                    {QStringLiteral("content"), kContent},
                    {QStringLiteral("type"), 1},
                    {QStringLiteral("imgUrl"), imageBase.isEmpty()
                                                   ? QString()
                                                   : imageBase + QStringLiteral("/%1.png").arg(id)},
                    {QStringLiteral("linkType"), int(LinkKind::WebLink)},
                    {QStringLiteral("linkInfo"), QStringLiteral("store://app/%1").arg(id)}});
            }
            pages.append(
                QJsonDocument(QJsonObject{{QStringLiteral("status"), 200},
                                          {QStringLiteral("desc"), QStringLiteral("ok")},
                                          {QStringLiteral("datas"), datas},
                                          {QStringLiteral("total"), kMessages},
                                          {QStringLiteral("hasNextPage"), page < kPages ? 1 : 0}})
                    .toJson(QJsonDocument::Compact));
        }
        QMutexLocker locker(&m_mutex);
        m_pages = pages;
        m_stamp = QByteArray::number(1733000000000 + run);
    }

    QByteArray stamp() const
    {
        QMutexLocker locker(&m_mutex);
        return m_stamp;
    }
    QByteArray lastUpload() const
    {
        QMutexLocker locker(&m_mutex);
        return m_lastUpload;
    }

    HttpResponse answer(const HttpRequest& request)
    {
        static const QByteArray image(50 * 1024, 'i');
        if (request.path().startsWith("/img/")) {
            HttpResponse response;
            response.addHeader("Content-Type", "image/png");
            response.body = image;
            return response;
        }
        QMutexLocker locker(&m_mutex);
        if (request.method == "POST") {
            m_lastUpload = request.body;
            return HttpResponse::json(R"({"status":200})");
        }
        if (request.header("If-Modified-Since") == m_stamp) {
            HttpResponse notModified;
            notModified.status = 304;
            notModified.reason = "Not Modified";
            return notModified;
        }
        const QByteArray query = request.query();
        const int page = query.mid(query.indexOf("reqPage=") + 8).split('&').first().toInt();
        HttpResponse response = HttpResponse::json(m_pages.value(page - 1));
        response.addHeader("Last-Modified", m_stamp);
        return response;
    }

private:
    mutable QMutex m_mutex;
    QList<QByteArray> m_pages;
    QByteArray m_stamp;
    QByteArray m_lastUpload;
};

QByteArray blockingRequest(const QString& url, const QByteArray& ifModifiedSince = {},
                           const QByteArray& upload = {})
{
    QNetworkAccessManager manager;
    QNetworkRequest request{QUrl(url)};
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    if (!ifModifiedSince.isEmpty()) {
        request.setRawHeader("If-Modified-Since", ifModifiedSince);
    }
    QNetworkReply* reply = upload.isEmpty() ? manager.get(request) : manager.post(request, upload);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    const QByteArray body = reply->readAll();
    delete reply;
    return body;
}

struct Floor
{
    double serverMs = 0;
    double imagesMs = 0;
    double notifyMs = 0;
    double totalMs() const { return serverMs + imagesMs + notifyMs; }
};

// The I/O of a cycle with nothing around it: the server requests one after the other, the
// images on a pool of the service's size, then one Notify per message with the arguments the
// service sends, each waited for before the next.
Floor ioFloor(const QString& base, int run, bool newMessages, bool images,
              const Catalogue& catalogue)
{
    Floor floor;
    QElapsedTimer clock;
    clock.start();
    if (newMessages) {
        for (int page = 1; page <= kPages; ++page) {
            blockingRequest(
                base +
                QStringLiteral(
                    "/store-dist-message/operActivity/msgNotifyInfos?reqPage=%1&maxResults=50")
                    .arg(page));
        }
    } else {
        blockingRequest(base +
                            QStringLiteral("/store-dist-message/operActivity/report/msgNotifyInfo"),
                        {}, catalogue.lastUpload());
        blockingRequest(
            base + QStringLiteral(
                       "/store-dist-message/operActivity/msgNotifyInfos?reqPage=1&maxResults=50"),
            catalogue.stamp());
    }
    floor.serverMs = clock.nsecsElapsed() / 1e6;

    if (newMessages && images) {
        clock.restart();
        QTemporaryDir files;
        QThreadPool pool;
        pool.setMaxThreadCount(ImgDownloadManager::poolSize(QThread::idealThreadCount()));
        for (int i = 0; i < kMessages; ++i) {
            pool.start([&, i] {
                QSaveFile file(files.filePath(QStringLiteral("%1.png").arg(i)));
                if (file.open(QIODevice::WriteOnly)) {
                    file.write(blockingRequest(base + QStringLiteral("/img/%1.png").arg(i)));
                    file.commit();
                }
            });
        }
        pool.waitForDone();
        floor.imagesMs = clock.nsecsElapsed() / 1e6;
    }

    clock.restart();
    const ImgDownloadManager* cache = Singleton<ImgDownloadManager>::instance();
    for (int page = kPages; page >= 1; --page) {
        for (int i = kPageSize - 1; i >= 0; --i) {
            const int id = messageId(run, page, i);
            const QString icon =
                images ? cache->localImagePath(base + QStringLiteral("/img/%1.png").arg(id))
                       : QString();
            QDBusMessage notify = QDBusMessage::createMethodCall(
                QStringLiteral("org.freedesktop.Notifications"),
                QStringLiteral("/org/freedesktop/Notifications"),
                QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
            notify.setArguments(
                {QStringLiteral("quorin-msg-notification"), 0u, icon,
                 QStringLiteral("Spring sale %1").arg(id), kContent,
                 QStringList{QStringLiteral("default"), QString()},
                 QVariantMap{{QStringLiteral("x-quorin-action-default"),
                              QStringLiteral("/usr/bin/xdg-open,store://app/%1").arg(id)}},
                 -1});
            QDBusConnection::sessionBus().asyncCall(notify).waitForFinished();
        }
    }
    floor.notifyMs = clock.nsecsElapsed() / 1e6;
    return floor;
}

qint64 statusKilobytes(qint64 pid, const QByteArray& field)
{
    QFile status(pid > 0 ? QStringLiteral("/proc/%1/status").arg(pid)
                         : QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith(field + ':')) {
                return line.mid(field.size() + 1).simplified().split(' ').first().toLongLong();
            }
        }
    }
    return -1;
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0 : values.at(values.size() / 2);
}

struct Cycle
{
    double ms = -1;
    double dbMs = 0;
    qint64 firstNotifyNs = -1;
    qint64 endNs = -1;
    int shown = 0;
    bool ok() const { return ms >= 0; }
    // From the first bubble's arrival at the notification service to running false.
    double displayMs() const { return firstNotifyNs < 0 ? 0 : (endNs - firstNotifyNs) / 1e6; }
};

// Calls QueryNotifications and waits, in an event loop and never in sleeps (the engine may run
// on this thread), until running turns false again. With the engine in this process, the cycle
// ends when it turns running false, not when this thread gets to read the bus signal.
class CycleDriver
{
public:
    CycleDriver(const TaskMeter& clock, RecordingNotificationServer& notifications,
                NotificationInterface* engine)
        : m_clock(clock)
        , m_notifications(notifications)
        , m_engine(engine)
        , m_client(testing::clientConnection(QStringLiteral("bench-client")))
    {
        notifications.setObserver([this](uint, const RecordingNotificationServer::Call&) {
            qint64 unset = -1;
            m_firstNotifyNs.compare_exchange_strong(unset, m_clock.nowNs());
        });
    }

    Cycle run()
    {
        PropertiesChangedSpy spy(m_client, kName, kPath);
        QEventLoop loop;
        qint64 endNs = -1;
        qint64 dbEnd = 0;
        auto end = [&] {
            if (endNs < 0) {
                endNs = m_clock.nowNs();
                dbEnd = DatabaseAdaptor::busyNanoseconds();
            }
        };
        QObject::connect(&spy, &PropertiesChangedSpy::received, &loop,
                         [&](const QVariantMap& changed) {
                             if (!changed.value(QStringLiteral("running")).toBool()) {
                                 end();
                                 loop.quit();
                             }
                         });
        QMetaObject::Connection engineEnd;
        if (m_engine) {
            engineEnd = QObject::connect(
                m_engine, &NotificationInterface::runningChanged, m_engine,
                [&](bool running) {
                    if (!running) {
                        end();
                    }
                },
                Qt::DirectConnection);
        }
        QTimer::singleShot(120000, &loop, &QEventLoop::quit);
        m_firstNotifyNs = -1;
        const qsizetype callsBefore = m_notifications.callCount();
        const qint64 dbBefore = DatabaseAdaptor::busyNanoseconds();
        const qint64 startNs = m_clock.nowNs();
        m_client.asyncCall(QDBusMessage::createMethodCall(kName, kPath, kName,
                                                          QStringLiteral("QueryNotifications")));
        loop.exec();
        QObject::disconnect(engineEnd);

        Cycle cycle;
        if (endNs >= 0) {
            cycle.ms = (endNs - startNs) / 1e6;
            cycle.dbMs = (dbEnd - dbBefore) / 1e6;
        }
        cycle.firstNotifyNs = m_firstNotifyNs;
        cycle.endNs = endNs;
        cycle.shown = int(m_notifications.callCount() - callsBefore);
        // A verdict may land after running false; let it, before anything else is measured.
        QEventLoop settle;
        QTimer::singleShot(100, &settle, &QEventLoop::quit);
        settle.exec();
        return cycle;
    }

private:
    const TaskMeter& m_clock;
    RecordingNotificationServer& m_notifications;
    NotificationInterface* m_engine;
    QDBusConnection m_client;
    std::atomic<qint64> m_firstNotifyNs{-1};
};

// A pass of 200 new messages against a notification service that answers each bubble after
// 20 ms, while another connection reads `running` every 10 ms from a thread of its own. Prints
// the longest time the engine's thread went without returning to its event loop during the
// pass, and the latencies of those reads.
bool slowServicePass(TaskMeter& tasks, int run, Catalogue& catalogue,
                     RecordingNotificationServer& notifications, CycleDriver& driver)
{
    notifications.setAnswerDelay(20);
    catalogue.setRun(run, QString());
    std::atomic<bool> probing{true};
    QList<QPair<qint64, qint64>> probes; // sent at, latency; both in ns
    QThread* prober = QThread::create([&] {
        const QString name = QStringLiteral("bench-probe");
        QDBusConnection connection =
            QDBusConnection::connectToBus(TestEnvironment::instance()->busAddress(), name);
        const QDBusMessage get =
            QDBusMessage::createMethodCall(kName, kPath,
                                           QStringLiteral("org.freedesktop.DBus.Properties"),
                                           QStringLiteral("Get"))
            << kName << QStringLiteral("running");
        for (qint64 next = tasks.nowNs(); probing; next += 10'000'000) {
            const qint64 wait = next - tasks.nowNs();
            if (wait > 0) {
                QThread::usleep(wait / 1000);
            }
            const qint64 sent = tasks.nowNs();
            connection.call(get);
            probes.append({sent, tasks.nowNs() - sent});
        }
        QDBusConnection::disconnectFromBus(name);
    });
    prober->start();
    tasks.start();
    const Cycle cycle = driver.run();
    tasks.stop();
    probing = false;
    prober->wait();
    delete prober;
    notifications.setAnswerDelay(0);

    QList<double> latencies;
    for (const auto& [sent, latency] : std::as_const(probes)) {
        if (sent >= cycle.firstNotifyNs && sent <= cycle.endNs) {
            latencies.append(latency / 1e6);
        }
    }
    std::sort(latencies.begin(), latencies.end());
    auto percentile = [&](double p) {
        return latencies.isEmpty() ? 0 : latencies.at(qsizetype(p * (latencies.size() - 1)));
    };
    const TaskMeter::Task busiest = tasks.longestTask(cycle.firstNotifyNs, cycle.endNs);
    const TaskMeter::Task whole = tasks.longestTask();
    std::printf("\npass of %d bubbles, each answered after 20 ms: %.0f ms; longest stretch of the "
                "engine's\nthread away from its event loop %.2f ms during the pass (%s, at %.0f "
                "ms), %.2f ms over\nthe whole cycle (%s); Get running every 10 ms from another "
                "connection (%lld reads):\np50 %.2f ms, p99 %.2f ms, max %.2f ms\n",
                cycle.shown, cycle.displayMs(), busiest.ms(), busiest.receiver,
                (busiest.startNs - cycle.firstNotifyNs) / 1e6, whole.ms(), whole.receiver,
                qint64(latencies.size()), percentile(0.5), percentile(0.99),
                latencies.isEmpty() ? 0 : latencies.last());
    return cycle.ok() && cycle.shown == kMessages;
}

int runInProcess(TaskMeter& tasks, int runs, bool images, LoopbackHttpServer& server,
                 Catalogue& catalogue, RecordingNotificationServer& notifications,
                 CycleDriver& driver)
{
    std::printf("cycles of %d new messages%s, in process; times in ms\n", kMessages,
                images ? " with 200 images of 50 KB" : " without images");
    std::printf("%-4s | %-58s | %-38s | %s\n", "", "new messages", "304, all shown again",
                "304, none shown");
    std::printf("%-4s | %7s %7s %5s %7s %7s %7s %5s | %7s %7s %5s %7s %5s | %7s %7s\n", "run",
                "floor", "cycle", "ratio", "display", "own/msg", "task", "db%", "floor", "cycle",
                "ratio", "own/msg", "db%", "upload", "none");
    QList<double> columns[14];
    TaskMeter::Task longestOfAll;
    bool ok = true;
    for (int run = 0; run < runs; ++run) {
        catalogue.setRun(run, images ? server.baseUrl() + QStringLiteral("/img") : QString());
        const Floor newFloor = ioFloor(server.baseUrl(), run, true, images, catalogue);

        // Every task of every cycle of the run, each with the verdict that lands after it.
        tasks.start();
        const Cycle fresh = driver.run();
        tasks.stop();
        TaskMeter::Task longest = tasks.longestTask();
        tasks.start();
        const Cycle again = driver.run();
        tasks.stop();
        const TaskMeter::Task longestAgain = tasks.longestTask();
        // The upload of this cycle is known now; its floor sends the same.
        const Floor againFloor = ioFloor(server.baseUrl(), run, false, images, catalogue);

        tasks.start();
        for (int i = 2; i < kShowsPerMessage; ++i) {
            ok = driver.run().ok() && ok;
        }
        const Cycle idle = driver.run();
        // And once more, with no events left to upload either.
        const Cycle quiet = driver.run();
        tasks.stop();
        for (const TaskMeter::Task& task : {longestAgain, tasks.longestTask()}) {
            longest = task.ms() > longest.ms() ? task : longest;
        }
        longestOfAll = longest.ms() > longestOfAll.ms() ? longest : longestOfAll;
        ok = ok && fresh.ok() && again.ok() && idle.ok() && quiet.ok() &&
             fresh.shown == kMessages && again.shown == kMessages && idle.shown == 0 &&
             quiet.shown == 0;

        const double values[14] = {
            newFloor.totalMs(),
            fresh.ms,
            fresh.ms / newFloor.totalMs(),
            fresh.displayMs(),
            (fresh.displayMs() - newFloor.notifyMs) / kMessages,
            longest.ms(),
            100 * fresh.dbMs / fresh.ms,
            againFloor.totalMs(),
            again.ms,
            again.ms / againFloor.totalMs(),
            (again.displayMs() - againFloor.notifyMs) / kMessages,
            100 * again.dbMs / again.ms,
            idle.ms,
            quiet.ms,
        };
        for (int i = 0; i < 14; ++i) {
            columns[i].append(values[i]);
        }
        auto print = [](const char* label, const double* v) {
            std::printf("%-4s | %7.1f %7.1f %5.2f %7.1f %7.3f %7.1f %5.1f | %7.1f %7.1f %5.2f "
                        "%7.3f %5.1f | %7.1f %7.1f\n",
                        label, v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9], v[10],
                        v[11], v[12], v[13]);
        };
        print(QByteArray::number(run + 1).constData(), values);
        if (run + 1 == runs) {
            double medians[14];
            for (int i = 0; i < 14; ++i) {
                medians[i] = median(columns[i]);
            }
            print("med", medians);
        }
    }
    ok = slowServicePass(tasks, runs, catalogue, notifications, driver) && ok;
    std::printf(
        "floor: the same requests and Notify calls alone; display: the display pass, from the\n"
        "first bubble to running false; own/msg: its time beyond the floor's Notify round trips,\n"
        "per message; task: the longest task of the engine's thread in all the cycles of the run,\n"
        "from the call to the last verdict (longest of all runs: %.2f ms, %s); db%%: share of the\n"
        "cycle spent in SQL statements; 304, none shown: with the shown events of the cycle\n"
        "before to upload, then with nothing to upload. Peak RSS of this process %lld kB\n",
        longestOfAll.ms(), longestOfAll.receiver, statusKilobytes(0, "VmHWM"));
    return ok ? 0 : 1;
}

// The stand-alone program as a child with folders of its own; one new cycle per child.
int runStandalone(int runs, const QString& program, LoopbackHttpServer& server,
                  Catalogue& catalogue, RecordingNotificationServer& notifications)
{
    std::printf("stand-alone service (%s), cycle of %d new messages with 200 images of 50 KB\n",
                qPrintable(program), kMessages);
    std::printf("%-4s %9s %10s %10s\n", "run", "cycle ms", "idle kB", "peak kB");
    QList<double> cycles;
    QList<double> peaks;
    CycleDriver driver(*static_cast<TaskMeter*>(QCoreApplication::instance()), notifications,
                       nullptr);
    bool ok = true;
    for (int run = 0; run < runs; ++run) {
        catalogue.setRun(run, server.baseUrl() + QStringLiteral("/img"));
        QTemporaryDir home(TestEnvironment::instance()->root() + QStringLiteral("/child-XXXXXX"));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        const char* const folders[][2] = {
            {"XDG_CONFIG_HOME", "config"}, {"XDG_DATA_HOME", "data"}, {"XDG_CACHE_HOME", "cache"}};
        QByteArray saved[3];
        for (int i = 0; i < 3; ++i) {
            saved[i] = qgetenv(folders[i][0]);
            qputenv(folders[i][0], home.filePath(QString::fromLatin1(folders[i][1])).toUtf8());
            environment.insert(QString::fromLatin1(folders[i][0]),
                               home.filePath(QString::fromLatin1(folders[i][1])));
        }
        QSettings(Config::configFilePath(), QSettings::IniFormat)
            .setValue(QStringLiteral("server"), server.baseUrl());
        for (int i = 0; i < 3; ++i) {
            qputenv(folders[i][0], saved[i]);
        }
        if (!environment.contains(QStringLiteral("QT_LOGGING_RULES"))) {
            environment.insert(QStringLiteral("QT_LOGGING_RULES"),
                               QStringLiteral("com.quorin.MsgNotification*.debug=false"));
        }

        std::unique_ptr<QProcess> child = testing::makeProcess(program, {});
        child->setProcessEnvironment(environment);
        child->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child->start();
        if (!child->waitForStarted() || !testing::waitForNameOwner(kName)) {
            return 1;
        }
        const qint64 idle = statusKilobytes(child->processId(), "VmRSS");
        const Cycle cycle = driver.run();
        const qint64 peak = statusKilobytes(child->processId(), "VmHWM");
        ok = ok && cycle.ok() && cycle.shown == kMessages;
        child->terminate();
        child->waitForFinished();
        testing::waitForNameOwner(kName, false);
        cycles.append(cycle.ms);
        peaks.append(peak);
        std::printf("%-4d %9.1f %10lld %10lld\n", run + 1, cycle.ms, idle, peak);
    }
    std::printf("%-4s %9.1f %10s %10.0f\n", "med", median(cycles), "", median(peaks));
    return ok ? 0 : 1;
}

// The distinct connections the requests came on: for the listing, for the images.
QPair<int, int> connectionsUsed(const QList<HttpRequest>& requests)
{
    QSet<int> listing;
    QSet<int> images;
    for (const HttpRequest& request : requests) {
        (request.path().startsWith("/img/") ? images : listing).insert(request.connection);
    }
    return {int(listing.size()), int(images.size())};
}

int runConnections(int runs, LoopbackHttpServer& server, Catalogue& catalogue, CycleDriver& driver)
{
    std::printf("connections per cycle, HTTP/1.1 over TLS with keep-alive, %d pages, %d images; "
                "image pool of %d threads\n",
                kPages, kMessages, Singleton<ImgDownloadManager>::instance()->maxThreadCount());
    std::printf("%-4s | %-47s | %s\n", "", "new messages", "nothing new (upload, 304)");
    std::printf("%-4s | %8s %7s %8s %8s %9s | %8s %7s %8s %8s %9s\n", "run", "ms", "requests",
                "listing", "images", "new/TLS", "ms", "requests", "listing", "images", "new/TLS");
    bool ok = true;
    for (int run = 0; run < runs; ++run) {
        catalogue.setRun(run, server.baseUrl() + QStringLiteral("/img"));
        std::printf("%-4d", run + 1);
        for (bool fresh : {true, false}) {
            // Cycles are hours apart: the server has long closed the connections of the last.
            server.closeConnections();
            server.clearRequests();
            const Cycle cycle = driver.run();
            ok = ok && cycle.ok();
            const QList<HttpRequest> requests = server.requests();
            const auto [listing, images] = connectionsUsed(requests);
            std::printf(" | %8.1f %7lld %8d %8d %4d/%-4d", cycle.ms, qint64(requests.size()),
                        listing, images, server.connectionCount(), server.handshakeCount());
            ok = ok && (fresh || requests.size() == 2);
        }
        std::printf("\n");
    }
    std::printf("listing, images: the connections their requests came on; new/TLS: the "
                "connections the\nserver accepted in the cycle and the TLS handshakes it "
                "completed; the server closes every\nconnection between cycles\n");
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    TestEnvironment environment;
    TaskMeter app(argc, argv);
    // The service's debug lines would measure the terminal; QT_LOGGING_RULES can bring them back.
    QLoggingCategory::setFilterRules(QStringLiteral("com.quorin.MsgNotification*.debug=false"));
    if (!environment.restartBus()) {
        return 1;
    }
    const QStringList arguments = QCoreApplication::arguments();
    const bool images = !arguments.contains(QStringLiteral("--no-images"));
    const qsizetype runsAt = arguments.indexOf(QStringLiteral("--runs"));
    const int runs = runsAt > 0 ? qMax(1, arguments.value(runsAt + 1).toInt()) : 5;
    const qsizetype standaloneAt = arguments.indexOf(QStringLiteral("--standalone"));

    const bool connections = arguments.contains(QStringLiteral("--connections"));
    LoopbackHttpServer server(connections);
    server.setKeepAlive(connections);
    Catalogue catalogue;
    server.setHandler([&](const HttpRequest& request) { return catalogue.answer(request); });
    RecordingNotificationServer notifications;
    if (!notifications.start()) {
        return 1;
    }
    if (standaloneAt > 0) {
        return runStandalone(runs, arguments.value(standaloneAt + 1), server, catalogue,
                             notifications);
    }

    if (connections) {
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.addCaCertificate(server.certificate());
        QSslConfiguration::setDefaultConfiguration(configuration);
    }
    QSettings(Config::configFilePath(), QSettings::IniFormat)
        .setValue(QStringLiteral("server"), server.baseUrl());
    DBusInterface service("");
    if (!service.registerDBus()) {
        return 1;
    }
    CycleDriver driver(app, notifications, Singleton<NotificationInterface>::instance());
    return connections ? runConnections(qMin(runs, 3), server, catalogue, driver)
                       : runInProcess(app, runs, images, server, catalogue, notifications, driver);
}
