#ifndef TESSAL_SCRIPTWATCHER_H
#define TESSAL_SCRIPTWATCHER_H

#include <QMetaType>
#include <QObject>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <sys/types.h>

class QSocketNotifier;
class QTimer;

namespace Tessal
{

// How a run ended: by itself, by a signal, killed at the time limit, or not
// at all (the script is missing or could not be started).
enum class ScriptEnd { Exited, Crashed, Killed, NotRun };

// One run of a system script: its name in the script directory, its
// arguments, whether a missing script is logged, the key of a run that a
// newer one may replace while it waits (empty: never replaced), and what to
// do once it has ended, however it ended.
struct ScriptRun_s {
    QString name;
    QStringList arguments;
    bool logMissing = true;
    QString key;
    std::function<void(ScriptEnd)> then;
};

// Runs system scripts one after the other, in the order they were asked for,
// without ever waiting: the child's end is seen through a descriptor that
// becomes readable when it exits (pidfd), its time limit through a timer.
// A script still running at its limit is killed with its whole process
// group, and the kill is logged. The thread that owns the watcher never
// blocks on a script, so frames, blink ticks and register updates go on
// while one hangs.
class ScriptWatcher : public QObject
{
    Q_OBJECT

public:
    static constexpr int defaultLimitMs = 30000;

    explicit ScriptWatcher(int limitMs = defaultLimitMs, QObject* parent = nullptr);
    // A script still running is killed and reaped: no child outlives the
    // front link it belongs to.
    ~ScriptWatcher() override;

    // Queues a run behind the ones already asked for; `then` is called when
    // it has ended.
    void run(const QString& name, const QStringList& arguments, bool logMissing = true,
             std::function<void(ScriptEnd)> then = nullptr);
    // Queues a run that replaces a waiting run with the same key (the waiting
    // one is dropped, said by `replaced`); the run in progress is never
    // touched. So at most one run of that key waits, and it is the newest.
    void runLatest(const QString& key, const QString& name, const QStringList& arguments,
                   bool logMissing = true);

    bool isBusy() const { return childPid > 0; }
    int waiting() const { return static_cast<int>(queue.size()); }
    int limitMs() const { return limit; }

signals:
    void started(const Tessal::ScriptRun_s& run);
    void finished(const Tessal::ScriptRun_s& run, Tessal::ScriptEnd end);
    void replaced(const Tessal::ScriptRun_s& run);

private:
    void startNext();
    void checkChild();
    void limitReached();
    void release();

    const int limit;
    std::deque<ScriptRun_s> queue;
    ScriptRun_s current;
    pid_t childPid = -1;
    int pidFd = -1;
    bool killedAtLimit = false;
    bool starting = false;
    QSocketNotifier* exitNotifier = nullptr;
    QTimer* limitTimer = nullptr;
    // Kernels without pidfd: the child is looked at every few milliseconds.
    QTimer* pollTimer = nullptr;
};

} // namespace Tessal

Q_DECLARE_METATYPE(Tessal::ScriptRun_s)
Q_DECLARE_METATYPE(Tessal::ScriptEnd)

#endif
