#pragma once

#include "common/data.h"
#include "common/utils.h"
#include "http/listing_validators.h"

#include <QObject>
#include <QPair>
#include <QQueue>

#include <functional>
#include <optional>

class QJsonObject;
class QNetworkAccessManager;
class ServerGate;
class QNetworkReply;
class QNetworkRequest;
class QUrl;

// Limits and inputs of the worker; tests shorten the limits and point at their own files.
struct MsgNotifyServiceOptions
{
    int requestTimeoutMs = 30000;
    // A larger answer is dropped unread: a server must not be able to exhaust the host's memory.
    qint64 maxResponseBytes = 16 * 1024 * 1024;
    // Pages of one fetch; a server that always announces another page is stopped here.
    int maxPages = 100;
    QString osVersionPath = Utils::osVersionFile();
    QString osReleasePath = Utils::osReleaseFile();
    // Asked before each request and told each answer; none: every request goes out.
    ServerGate* gate = nullptr;
};

// Lives on the service's thread and performs every request to the message server, one at a time
// through one network access manager, so that a cycle's pages and upload share a connection;
// each request has its own event loop and time-out.
class MsgNotifyServiceWorker : public QObject
{
    Q_OBJECT

public:
    explicit MsgNotifyServiceWorker(QObject* parent = nullptr,
                                    const MsgNotifyServiceOptions& options = {});

Q_SIGNALS:
    void sigGetMsgNotifyInfos(std::optional<MsgNotifyInfos> msgNotifyInfos);
    void sigReportMsgNotifyInfo(bool ret);
    // The upload was not sent (the server asked to wait, or the network is down): the events
    // stay as they are.
    void sigReportMsgNotifyInfoSkipped();

public Q_SLOTS:
    // Follows the network's reachability and metering into the gate, where the system offers
    // them (NetworkManager); blocks on the system bus once, on this thread. Without them every
    // request goes out as before.
    void slotWatchNetwork();
    // Page 1 onwards, 50 messages a page.
    void slotGetMsgNotifyInfos(qint64 ifModifiedSince);
    // One signal per page in page order; the fetch ends at the first page without a next page,
    // at the first failure (the empty optional), or after the page limit (the empty optional).
    void slotGetMsgNotifyInfos(int reqPage, int maxResults, qint64 ifModifiedSince);
    // Exactly one sigReportMsgNotifyInfo per call.
    void slotReportMsgNotifyInfo(const MsgEventInfos& msgEventInfos);

private:
    friend struct ParserFuzzer;

    struct Answer
    {
        bool ok = false;
        int status = 0;
        QByteArray body;
        QByteArray lastModified;
        QByteArray etag;
    };

    // The gate is closed: logs why.
    bool held(const char* request) const;
    // Runs the job now, or after the request under way when one is: a request's event loop
    // delivers the calls queued meanwhile, which would otherwise go out beside it.
    void serialized(std::function<void()> job);
    // Made on first use, on this thread; it looks the proxy up for each request.
    QNetworkAccessManager* manager();

    void getPages(int reqPage, int maxResults, qint64 ifModifiedSince);
    // The first page of a fetch leaves its validators for the next one.
    std::optional<MsgNotifyInfos> getPage(int reqPage, int maxResults, qint64 ifModifiedSince,
                                          bool first);
    void report(const MsgEventInfos& msgEventInfos);
    // With the identification headers and the token.
    QNetworkRequest serverRequest(const QUrl& url) const;
    // Waits for the reply within the time limit; logs failures under the given prefix.
    Answer waitForReply(QNetworkReply* reply, const char* failure, const QString& url);

    std::optional<MsgNotifyInfos> parseMsgNotifyInfos(const QByteArray& body);
    bool parseReportMsgNotifyInfo(const QByteArray& body);
    QPair<int, QString> parseResponseJsonObject(const QJsonObject& object, const QString& name);

    MsgNotifyServiceOptions m_options;
    QNetworkAccessManager* m_manager = nullptr;
    ListingValidators m_validators;
    bool m_busy = false;
    QQueue<std::function<void()>> m_waiting;
};
