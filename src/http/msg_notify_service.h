#pragma once

#include "common/data.h"
#include "http/msg_notify_service_worker.h"

#include <QObject>

#include <memory>
#include <optional>

class QThread;
class ServerGate;

// Front of the message server client in the caller's thread: queues requests into its worker
// thread and re-emits the results here.
class MsgNotifyService : public QObject
{
    Q_OBJECT

public:
    explicit MsgNotifyService(QObject* parent = nullptr,
                              const MsgNotifyServiceOptions& options = {});
    ~MsgNotifyService() override;

    // Ends the worker's thread; a request in flight ends as failed. Called once, at the end.
    void stop();

    // One sigGetMsgNotifyInfosFinished per page; the empty optional for no page.
    void getMsgNotifyInfos(qint64 ifModifiedSince);
    // Exactly one sigReportMsgNotifyInfoFinished per call.
    void reportMsgNotifyInfo(const MsgEventInfos& msgEventInfos);
    // Whether the server may be asked now, and how the network is; shared with the worker.
    ServerGate* gate() const { return m_gate.get(); }

Q_SIGNALS:
    void sigGetMsgNotifyInfosFinished(std::optional<MsgNotifyInfos> msgNotifyInfos);
    void sigReportMsgNotifyInfoFinished(bool ret);
    void sigReportMsgNotifyInfoSkipped();

private:
    // The constructor's: connecting twice would deliver every answer twice.
    void start();
    void initConnections();

    std::unique_ptr<ServerGate> m_gate;
    MsgNotifyServiceWorker* m_worker = nullptr;
    QThread* m_thread = nullptr;
};
