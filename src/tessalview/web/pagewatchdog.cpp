#include "pagewatchdog.h"

#include "websurface.h"

#include <QPointer>
#include <QTimer>

namespace Tessal
{

int PageWatchdog::probeIntervalMs = 1000;
int PageWatchdog::silenceLimitMs = 5000;

PageWatchdog::PageWatchdog(WebSurface* surface, QObject* parent)
    : QObject(parent), surface(surface), timer(new QTimer(this))
{
    sinceAnswer.start();
    timer->setInterval(probeIntervalMs);
    connect(timer, &QTimer::timeout, this, &PageWatchdog::probe);
    timer->start();
}

void PageWatchdog::restart()
{
    ++generation;
    sinceAnswer.restart();
}

void PageWatchdog::probe()
{
    const qint64 pid = surface->renderProcessPid();
    if (pid <= 0) {
        // No render process (yet, or none at all): nothing can hang apart
        // from the window itself.
        sinceAnswer.restart();
        return;
    }
    const qint64 silent = sinceAnswer.elapsed();
    if (silent >= silenceLimitMs) {
        ++generation;
        sinceAnswer.restart();
        surface->killRenderProcess();
        emit pageEnded(pid, silent);
        return;
    }
    QPointer<PageWatchdog> self(this);
    const quint64 sent = generation;
    surface->runJavaScript(QStringLiteral("1"), [self, sent](const QVariant&) {
        if (self && self->generation == sent)
            self->sinceAnswer.restart();
    });
}

} // namespace Tessal
