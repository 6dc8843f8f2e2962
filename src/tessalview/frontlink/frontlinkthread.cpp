#include "frontlinkthread.h"

#include "udphandler.h"

namespace Tessal
{

QueuedFrontLinkTarget::QueuedFrontLinkTarget(QObject* receiver, FrontLinkTarget* target)
    : receiver(receiver), target(target), language(target ? target->getLanguage() : QString())
{
}

void QueuedFrontLinkTarget::post(std::function<void()> call)
{
    if (receiver && target)
        QMetaObject::invokeMethod(receiver.data(), std::move(call), Qt::QueuedConnection);
}

void QueuedFrontLinkTarget::setDefaultUrl(const QString& url)
{
    post([t = target, url] { t->setDefaultUrl(url); });
}

void QueuedFrontLinkTarget::openUrlForce(const QString& url, bool force)
{
    post([t = target, url, force] { t->openUrlForce(url, force); });
}

void QueuedFrontLinkTarget::setLanguage(const QString& lang)
{
    {
        QMutexLocker lock(&mutex);
        language = lang;
    }
    post([t = target, lang] { t->setLanguage(lang); });
}

QString QueuedFrontLinkTarget::getLanguage()
{
    QMutexLocker lock(&mutex);
    return language;
}

void QueuedFrontLinkTarget::displayError(const QString& lang)
{
    post([t = target, lang] { t->displayError(lang); });
}

FrontLinkThread::FrontLinkThread(const QString& listenAddr, quint16 port, QObject* receiver,
                                 FrontLinkTarget* window)
    : target(receiver, window)
{
    frontThread.setObjectName("frontlink");
    udpHandler = new UdpHandler(listenAddr, port, &target, nullptr);
    udpHandler->moveToThread(&frontThread);
    context = new QObject();
    context->moveToThread(&frontThread);
}

FrontLinkThread::~FrontLinkThread()
{
    stop();
}

void FrontLinkThread::start()
{
    frontThread.start();
    QMetaObject::invokeMethod(
        context, [this] { udpHandler->init(); }, Qt::BlockingQueuedConnection);
}

void FrontLinkThread::stop()
{
    if (!frontThread.isRunning()) {
        delete udpHandler;
        udpHandler = nullptr;
        delete context;
        context = nullptr;
        return;
    }
    UdpHandler* handler = udpHandler;
    QObject* ctx = context;
    udpHandler = nullptr;
    context = nullptr;
    QMetaObject::invokeMethod(
        ctx,
        [handler, ctx] {
            if (handler) {
                handler->stop();
                delete handler;
            }
            delete ctx;
        },
        Qt::BlockingQueuedConnection);
    frontThread.quit();
    frontThread.wait();
}

} // namespace Tessal
