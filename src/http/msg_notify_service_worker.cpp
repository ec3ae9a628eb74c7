#include "http/msg_notify_service_worker.h"

#include "common/config.h"
#include "common/singleton.h"
#include "http/reply_waiter.h"
#include "http/server_gate.h"
#include "plugin/log_categories.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkInformation>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {
const QString kListPath = u"/store-dist-message/operActivity/msgNotifyInfos"_s;
const QString kReportPath = u"/store-dist-message/operActivity/report/msgNotifyInfo"_s;
constexpr int kFirstPage = 1;
constexpr int kPageSize = 50;

} // namespace

MsgNotifyServiceWorker::MsgNotifyServiceWorker(QObject* parent,
                                               const MsgNotifyServiceOptions& options)
    : QObject(parent)
    , m_options(options)
    , m_validators(Config::configFilePath())
{
}

void MsgNotifyServiceWorker::slotWatchNetwork()
{
    ServerGate* gate = m_options.gate;
    // NetworkManager's backend only, on every Qt: from 6.7 on the default falls back to
    // GLib's monitor, which takes a container's missing default route for no network at all.
    if (!gate || !QNetworkInformation::loadBackendByName(u"networkmanager")) {
        return;
    }
    QNetworkInformation* network = QNetworkInformation::instance();
    if (network->supports(QNetworkInformation::Feature::Reachability)) {
        const auto reachability = [gate](QNetworkInformation::Reachability value) {
            using R = QNetworkInformation::Reachability;
            // A link without a route beyond this machine or its segment reaches no server.
            gate->setNetwork(value == R::Unknown ? ServerGate::Network::Unknown
                             : value == R::Disconnected || value == R::Local
                                 ? ServerGate::Network::Offline
                                 : ServerGate::Network::Online);
        };
        reachability(network->reachability());
        connect(network, &QNetworkInformation::reachabilityChanged, this, reachability);
    }
    if (network->supports(QNetworkInformation::Feature::Metered)) {
        gate->setMetered(network->isMetered());
        connect(network, &QNetworkInformation::isMeteredChanged, this,
                [gate](bool metered) { gate->setMetered(metered); });
    }
}

bool MsgNotifyServiceWorker::held(const char* request) const
{
    if (!m_options.gate || !m_options.gate->closed()) {
        return false;
    }
    qCDebug(logMain) << request << "not sent:" << m_options.gate->reason();
    return true;
}

void MsgNotifyServiceWorker::serialized(std::function<void()> job)
{
    if (m_busy) {
        m_waiting.enqueue(std::move(job));
        return;
    }
    m_busy = true;
    job();
    while (!m_waiting.isEmpty()) {
        m_waiting.dequeue()();
    }
    m_busy = false;
}

QNetworkAccessManager* MsgNotifyServiceWorker::manager()
{
    if (!m_manager) {
        m_manager = new QNetworkAccessManager(this);
    }
    return m_manager;
}

void MsgNotifyServiceWorker::slotGetMsgNotifyInfos(qint64 ifModifiedSince)
{
    slotGetMsgNotifyInfos(kFirstPage, kPageSize, ifModifiedSince);
}

void MsgNotifyServiceWorker::slotGetMsgNotifyInfos(int reqPage, int maxResults,
                                                   qint64 ifModifiedSince)
{
    serialized([=, this] { getPages(reqPage, maxResults, ifModifiedSince); });
}

void MsgNotifyServiceWorker::getPages(int reqPage, int maxResults, qint64 ifModifiedSince)
{
    // A loop rather than a call per page, so that a long fetch does not stack up managers,
    // event loops and timers.
    for (int pages = 0;; ++pages) {
        if (pages == m_options.maxPages) {
            qCWarning(logMain).noquote() << "GET msgNotifyInfos stopped after" << pages
                                         << "pages: the server still announces another page";
            Q_EMIT sigGetMsgNotifyInfos(std::nullopt);
            return;
        }
        const std::optional<MsgNotifyInfos> page =
            getPage(reqPage + pages, maxResults, ifModifiedSince, pages == 0);
        Q_EMIT sigGetMsgNotifyInfos(page);
        if (!page || !page->hasNextPage) {
            return;
        }
    }
}

std::optional<MsgNotifyInfos> MsgNotifyServiceWorker::getPage(int reqPage, int maxResults,
                                                              qint64 ifModifiedSince, bool first)
{
    // Nothing goes out: the cycle goes on as after a failed fetch.
    if (held("GET msgNotifyInfos")) {
        return std::nullopt;
    }
    const QString address = Singleton<Config>::instance()->server() + kListPath;
    const QString query = u"reqPage=%1"_s.arg(reqPage) + u'&' + u"maxResults=%1"_s.arg(maxResults);
    const QUrl url(u"%1?%2"_s.arg(address, query), QUrl::TolerantMode);

    QNetworkRequest request = serverRequest(url);
    m_validators.apply(ifModifiedSince, request);

    QNetworkReply* reply = manager()->get(request);
    if (!reply) {
        qCWarning(logMain).noquote() << "GET NetworkReply failed:" << address;
        return std::nullopt;
    }
    const Answer answer = waitForReply(reply, "GET NetworkReply failed:", address);
    if (!answer.ok) {
        return std::nullopt;
    }
    // The server's "nothing new": the usual answer, not a failure.
    if (answer.status == 304) {
        qCDebug(logMain) << "nothing new since" << ifModifiedSince;
        return std::nullopt;
    }
    std::optional<MsgNotifyInfos> page = parseMsgNotifyInfos(answer.body);
    if (page) {
        page->lastModified = first ? m_validators.remember(answer.lastModified, answer.etag)
                                   : ListingValidators::stampOf(answer.lastModified);
    }
    return page;
}

void MsgNotifyServiceWorker::slotReportMsgNotifyInfo(const MsgEventInfos& msgEventInfos)
{
    serialized([=, this] { report(msgEventInfos); });
}

void MsgNotifyServiceWorker::report(const MsgEventInfos& msgEventInfos)
{
    if (held("POST msgNotifyInfo")) {
        Q_EMIT sigReportMsgNotifyInfoSkipped();
        return;
    }
    const QString address = Singleton<Config>::instance()->server() + kReportPath;
    const QUrl url(address, QUrl::TolerantMode);

    QNetworkRequest request = serverRequest(url);

    QJsonArray events;
    for (const MsgEventInfo& event : msgEventInfos) {
        events.append(event.toJsonObject());
    }
    QNetworkReply* reply =
        manager()->post(request, QJsonDocument(events).toJson(QJsonDocument::Compact));
    if (!reply) {
        qCWarning(logMain).noquote() << "POST NetworkReply failed:" << address;
        Q_EMIT sigReportMsgNotifyInfo(false);
        return;
    }
    const Answer answer = waitForReply(reply, "POST NetworkReply failed:", address);
    Q_EMIT sigReportMsgNotifyInfo(answer.ok && parseReportMsgNotifyInfo(answer.body));
}

QNetworkRequest MsgNotifyServiceWorker::serverRequest(const QUrl& url) const
{
    QNetworkRequest request(url);
    Utils::initRequestHeadersWithSystemInfo(request, m_options.osVersionPath,
                                            m_options.osReleasePath);
    // Qt keeps every header on a redirect, the token included: follow none that leaves the
    // server (another host, port or scheme).
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::SameOriginRedirectPolicy);
    return request;
}

MsgNotifyServiceWorker::Answer
MsgNotifyServiceWorker::waitForReply(QNetworkReply* reply, const char* failure, const QString& url)
{
    Answer answer;
    const ReplyWaiter::Outcome outcome =
        ReplyWaiter::wait(reply, m_options.requestTimeoutMs, m_options.maxResponseBytes);
    // A time-out or a failed connection has no status: 0, a failure of the network.
    if (m_options.gate && outcome != ReplyWaiter::Oversized) {
        const int status = outcome == ReplyWaiter::TimedOut
                               ? 0
                               : reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        m_options.gate->record(status, reply->rawHeader("Retry-After"), reply->rawHeader("Date"));
    }
    switch (outcome) {
    case ReplyWaiter::Finished:
        answer.ok = true;
        answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        answer.body = reply->readAll();
        answer.lastModified = reply->rawHeader("Last-Modified");
        answer.etag = reply->rawHeader("ETag");
        break;
    case ReplyWaiter::Oversized:
        qCWarning(logMain).noquote()
            << failure << url << u"response larger than %1 bytes"_s.arg(m_options.maxResponseBytes);
        break;
    case ReplyWaiter::Failed:
        if (reply->error() == QNetworkReply::InsecureRedirectError) {
            // Refused by the request's redirect policy: say where the server wanted it to go.
            const QUrl target =
                reply->url().resolved(QUrl::fromEncoded(reply->rawHeader("Location")));
            qCWarning(logMain).noquote()
                << failure << url
                << u"redirected to %1, which leaves the server: not followed"_s.arg(
                       target.toString());
            break;
        }
        qCWarning(logMain).noquote() << failure << url << reply->errorString();
        break;
    case ReplyWaiter::TimedOut:
        qCWarning(logMain).noquote()
            << failure << url << u"timed out after %1 s"_s.arg(m_options.requestTimeoutMs / 1000.0);
        break;
    }
    // A reply still in flight (time-out) must not hold the shared manager's connection.
    if (!reply->isFinished()) {
        reply->abort();
    }
    reply->deleteLater();
    return answer;
}

std::optional<MsgNotifyInfos> MsgNotifyServiceWorker::parseMsgNotifyInfos(const QByteArray& body)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        qCWarning(logMain).noquote() << "Parse MsgNotifyInfos failed:" << body;
        return std::nullopt;
    }
    const QJsonObject object = document.object();
    if (parseResponseJsonObject(object, u"parseMsgNotifyInfos"_s).first != 200) {
        return std::nullopt;
    }
    const QJsonArray datas = object.value("datas"_L1).toArray();
    if (datas.isEmpty()) {
        qCWarning(logMain).noquote() << "Parse MsgNotifyInfos failed: empty datas:" << datas;
        return std::nullopt;
    }

    MsgNotifyInfos page;
    page.total = object.value("total"_L1).toInt(0);
    page.hasNextPage = object.value("hasNextPage"_L1).toInt(0) != 0;
    page.datas.reserve(datas.size());
    for (const QJsonValue& value : datas) {
        MsgNotifyInfo info;
        info.fromJsonObject(value.toObject());
        page.datas.append(info);
    }
    return page;
}

bool MsgNotifyServiceWorker::parseReportMsgNotifyInfo(const QByteArray& body)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        qCWarning(logMain).noquote() << "Parse ReportMsgNotifyInfo failed:" << body;
        return false;
    }
    return parseResponseJsonObject(document.object(), u"parseReportMsgNotifyInfo"_s).first == 200;
}

QPair<int, QString> MsgNotifyServiceWorker::parseResponseJsonObject(const QJsonObject& object,
                                                                    const QString& name)
{
    const int status = object.value("status"_L1).toInt(0);
    const QString desc = object.value("desc"_L1).toString();
    if (status != 200) {
        qCWarning(logMain).noquote()
            << u"%1 failed, code: %2, msg: %3"_s.arg(name, QString::number(status), desc);
    }
    return {status, desc};
}
