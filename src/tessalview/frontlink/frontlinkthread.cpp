#include "frontlinkthread.h"

#include "helpers.h"
#include "udphandler.h"

#include <QCoreApplication>
#include <QDebug>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace Tessal
{

namespace
{
int signalPipe[2] = {-1, -1};
// The signal being served, for the default action after the grace period.
volatile sig_atomic_t pendingSignal = 0;

void onStopSignal(int signo)
{
    const char byte = static_cast<char>(signo);
    // Only async-signal-safe work here; the front-link thread does the rest.
    [[maybe_unused]] ssize_t n = ::write(signalPipe[1], &byte, 1);
}
} // namespace

int FrontLinkThread::stopGraceMs = 5000;

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

void FrontLinkThread::catchStopSignals()
{
    if (signalPipe[0] >= 0)
        return;
    if (::pipe2(signalPipe, O_CLOEXEC) != 0)
        return;
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

void FrontLinkThread::start()
{
    frontThread.start();
    QMetaObject::invokeMethod(
        context,
        [this] {
            udpHandler->init();
            if (signalPipe[0] >= 0) {
                auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, context);
                connect(notifier, &QSocketNotifier::activated, context,
                        [this] { serveStopSignal(); });
            }
        },
        Qt::BlockingQueuedConnection);
}

void FrontLinkThread::serveStopSignal()
{
    char byte = 0;
    if (::read(signalPipe[0], &byte, 1) != 1)
        return;
    qDebug().noquote()
        << QString("%1 - Signal %2 received, stopping").arg(Helpers::now()).arg(int(byte));
    if (pendingSignal != 0)
        return; // already stopping
    pendingSignal = byte;
    QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                              Qt::QueuedConnection);
    // The GUI thread quits at its next pass through the event loop. A page
    // script that never returns keeps it from getting there: then the
    // signal's own action ends the process, as if it had not been caught.
    auto* grace = new QTimer(context);
    grace->setSingleShot(true);
    connect(grace, &QTimer::timeout, context, [] {
        qDebug().noquote() << QString("%1 - The window does not answer, stopping without clean-up")
                                  .arg(Helpers::now());
        const int signo = pendingSignal;
        ::signal(signo, SIG_DFL);
        ::raise(signo);
    });
    grace->start(stopGraceMs);
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
