#ifndef TESSAL_STOPSIGNALS_H
#define TESSAL_STOPSIGNALS_H

#include <QObject>
#include <QThread>

namespace Tessal
{

// The process's stop signals (SIGTERM from the service manager, SIGINT from a
// console). The handler only writes the signal into a pipe; a thread of its
// own reads it, asks the GUI thread to quit, and when that thread does not
// answer (a page script that loops for ever) ends the process by the
// signal's default action after a grace period.
class StopSignals : public QObject
{
    Q_OBJECT
public:
    // Routes SIGTERM and SIGINT into the pipe. Call early: a signal that
    // arrives before start() is served once the serving thread runs.
    static void catchSignals();
    // How long the GUI thread has to quit after a stop signal.
    static int graceMs;

    StopSignals();
    ~StopSignals() override;

    // Starts serving the pipe on the thread of its own.
    void start();
    // Ends that thread.
    void stop();

private:
    // Reads one signal from the pipe; ctx is the serving thread's context.
    static void serve(QObject* ctx);

    QThread thread;
    // Lives in the serving thread; parent of the notifier and grace timer.
    QObject* context = nullptr;
};

} // namespace Tessal

#endif
