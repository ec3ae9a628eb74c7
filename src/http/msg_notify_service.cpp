#include "http/msg_notify_service.h"

#include "common/config.h"
#include "common/singleton.h"

#include <QThread>

MsgNotifyService::MsgNotifyService(QObject* parent, const MsgNotifyServiceOptions& options)
    : QObject(parent)
    , m_worker(new MsgNotifyServiceWorker(nullptr, options))
    , m_thread(new QThread(nullptr))
{
    registerRecordMetaTypes();
    // The worker reads the configuration on its thread; create it here first, so that its
    // settings object belongs to this thread, where the stamp is written.
    Singleton<Config>::instance();
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
    connect(m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    connect(m_thread, &QThread::finished, m_thread, &QObject::deleteLater);
}
