#ifndef TESSAL_PAGEWATCHDOG_H
#define TESSAL_PAGEWATCHDOG_H

#include <QElapsedTimer>
#include <QObject>

class QTimer;

namespace Tessal
{

class WebSurface;

// Watches that the page's script engine still answers. Where the page runs
// in a render process of its own, a page stuck in a loop leaves the window
// running but the page dead: a page silent for `SilenceLimitMs` has its
// render process ended, which the surface then reports like a crash. (Where
// the page runs in the window's own thread, a stuck page stops the window
// too, and the service manager's watchdog covers it.)
class PageWatchdog : public QObject
{
    Q_OBJECT
public:
    // A probe goes out this often...
    static int probeIntervalMs;
    // ...and a page that answered none for this long is ended.
    static int silenceLimitMs;

    explicit PageWatchdog(WebSurface* surface, QObject* parent = nullptr);

    // The page's process changed or a new page started: the silence counts
    // from now.
    void restart();

signals:
    // The page did not answer for `silentMs` and its process was ended.
    void pageEnded(qint64 pid, qint64 silentMs);

private:
    void probe();

    WebSurface* surface;
    QTimer* timer;
    QElapsedTimer sinceAnswer;
    // Probes of an earlier page or process decide nothing.
    quint64 generation = 0;
};

} // namespace Tessal

#endif
