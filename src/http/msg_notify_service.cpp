#include "http/msg_notify_service.h"

#include "common/config.h"
#include "common/singleton.h"
#include "http/server_gate.h"

#include <QThread>

namespace {
MsgNotifyServiceOptions withGate(MsgNotifyServiceOptions options, ServerGate* gate)
{
    options.gate = gate;
    return options;
}
} // namespace

// The worker reads the configuration on its thread; it is created here first, so that its
// settings object belongs to this thread, where the stamp is written.
MsgNotifyService::MsgNotifyService(QObject* parent, const MsgNotifyServiceOptions& options)
    : QObject(parent)
    , m_gate(std::make_unique<ServerGate>(Singleton<Config>::instance()->serverBackoff()))
    , m_worker(new MsgNotifyServiceWorker(nullptr, withGate(options, m_gate.get())))
    , m_thread(new QThread(nullptr))
{
    registerRecordMetaTypes();
    start();
}

MsgNotifyService::~MsgNotifyService()
{
    stop();
}

void MsgNotifyService::start()
{
    initConnections();
    m_worker->moveToThread(m_thread);
    m_thread->start();
    QMetaObject::invokeMethod(m_worker, &MsgNotifyServiceWorker::slotWatchNetwork,
                              Qt::QueuedConnection);
}

void MsgNotifyService::stop()
{
    m_thread->requestInterruption();
    m_thread->quit();
    m_thread->wait();
}

void MsgNotifyService::getMsgNotifyInfos(qint64 ifModifiedSince)
{
    MsgNotifyServiceWorker* worker = m_worker;
    QMetaObject::invokeMethod(
        worker, [worker, ifModifiedSince] { worker->slotGetMsgNotifyInfos(ifModifiedSince); },
        Qt::QueuedConnection);
}

void MsgNotifyService::reportMsgNotifyInfo(const MsgEventInfos& msgEventInfos)
{
    MsgNotifyServiceWorker* worker = m_worker;
    QMetaObject::invokeMethod(
        worker, [worker, msgEventInfos] { worker->slotReportMsgNotifyInfo(msgEventInfos); },
        Qt::QueuedConnection);
}

void MsgNotifyService::initConnections()
{
    connect(m_worker, &MsgNotifyServiceWorker::sigGetMsgNotifyInfos, this,
            &MsgNotifyService::sigGetMsgNotifyInfosFinished, Qt::QueuedConnection);
    connect(m_worker, &MsgNotifyServiceWorker::sigReportMsgNotifyInfo, this,
            &MsgNotifyService::sigReportMsgNotifyInfoFinished, Qt::QueuedConnection);
    connect(m_worker, &MsgNotifyServiceWorker::sigReportMsgNotifyInfoSkipped, this,
            &MsgNotifyService::sigReportMsgNotifyInfoSkipped, Qt::QueuedConnection);
    connect(m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    connect(m_thread, &QThread::finished, m_thread, &QObject::deleteLater);
}
