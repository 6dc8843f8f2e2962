#include "stopsignals.h"

#include "logging.h"

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
    // Only async-signal-safe work here; the serving thread does the rest.
    [[maybe_unused]] ssize_t n = ::write(signalPipe[1], &byte, 1);
}
} // namespace

int StopSignals::graceMs = 5000;

void StopSignals::catchSignals()
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

StopSignals::StopSignals()
{
    thread.setObjectName("stopsignals");
}

StopSignals::~StopSignals()
{
    stop();
}

void StopSignals::start()
{
    if (thread.isRunning() || signalPipe[0] < 0)
        return;
    context = new QObject();
    context->moveToThread(&thread);
    thread.start();
    QMetaObject::invokeMethod(
        context,
        [ctx = context] {
            auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, ctx);
            connect(notifier, &QSocketNotifier::activated, ctx, [ctx] { serve(ctx); });
        },
        Qt::BlockingQueuedConnection);
}

void StopSignals::stop()
{
    if (!thread.isRunning())
        return;
    QObject* ctx = context;
    context = nullptr;
    QMetaObject::invokeMethod(
        ctx, [ctx] { delete ctx; }, Qt::BlockingQueuedConnection);
    thread.quit();
    thread.wait();
}

void StopSignals::serve(QObject* ctx)
{
    char byte = 0;
    if (::read(signalPipe[0], &byte, 1) != 1)
        return;
    qCInfo(lcApp).noquote() << QString("Signal %1 received, stopping").arg(int(byte));
    if (pendingSignal != 0)
        return; // already stopping
    pendingSignal = byte;
    QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit,
                              Qt::QueuedConnection);
    // The GUI thread quits at its next pass through the event loop. A page
    // script that never returns keeps it from getting there: then the
    // signal's own action ends the process, as if it had not been caught.
    // ctx, not the member: stop() may already have cleared that from the
    // GUI thread, while ctx lives until stop() deletes it in this thread.
    auto* grace = new QTimer(ctx);
    grace->setSingleShot(true);
    connect(grace, &QTimer::timeout, ctx, [] {
        qCInfo(lcApp).noquote() << "The window does not answer, stopping without clean-up";
        const int signo = pendingSignal;
        ::signal(signo, SIG_DFL);
        ::raise(signo);
    });
    grace->start(graceMs);
}

} // namespace Tessal
