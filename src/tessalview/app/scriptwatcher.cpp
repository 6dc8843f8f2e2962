#include "scriptwatcher.h"

#include "logging.h"
#include "scriptrunner.h"

#include <QDebug>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace Tessal
{

ScriptWatcher::ScriptWatcher(int limitMs, QObject* parent) : QObject(parent), limit(limitMs)
{
    qRegisterMetaType<Tessal::ScriptRun_s>();
    qRegisterMetaType<Tessal::ScriptEnd>();
    limitTimer = new QTimer(this);
    limitTimer->setSingleShot(true);
    // A coarse timer may fire 5 % early: a script is never cut short.
    limitTimer->setTimerType(Qt::PreciseTimer);
    connect(limitTimer, &QTimer::timeout, this, &ScriptWatcher::limitReached);
    pollTimer = new QTimer(this);
    pollTimer->setInterval(20);
    connect(pollTimer, &QTimer::timeout, this, &ScriptWatcher::checkChild);
}

ScriptWatcher::~ScriptWatcher()
{
    if (childPid > 0) {
        ::kill(-childPid, SIGKILL);
        ::kill(childPid, SIGKILL);
        int status = 0;
        while (::waitpid(childPid, &status, 0) < 0 && errno == EINTR) {
        }
        childPid = -1;
    }
    release();
}

void ScriptWatcher::run(const QString& name, const QStringList& arguments, bool logMissing,
                        std::function<void(ScriptEnd)> then)
{
    queue.push_back({name, arguments, logMissing, QString(), std::move(then)});
    startNext();
}

void ScriptWatcher::runLatest(const QString& key, const QString& name, const QStringList& arguments,
                              bool logMissing)
{
    for (auto it = queue.begin(); it != queue.end(); ++it) {
        if (it->key == key) {
            const ScriptRun_s dropped = *it;
            *it = {name, arguments, logMissing, key, nullptr};
            emit replaced(dropped);
            return;
        }
    }
    queue.push_back({name, arguments, logMissing, key, nullptr});
    startNext();
}

void ScriptWatcher::startNext()
{
    // A run that cannot start ends at once and the next one follows; the
    // guard keeps a slot connected to `finished` from starting runs inside
    // this loop.
    if (starting)
        return;
    starting = true;
    while (childPid <= 0 && !queue.empty()) {
        current = queue.front();
        queue.pop_front();
        const qint64 pid =
            ScriptRunner::startScript(current.name, current.arguments, current.logMissing);
        if (pid < 0) {
            const ScriptRun_s ended = current;
            if (ended.then)
                ended.then(ScriptEnd::NotRun);
            emit finished(ended, ScriptEnd::NotRun);
            continue;
        }
        childPid = static_cast<pid_t>(pid);
        killedAtLimit = false;
        emit started(current);
        pidFd = static_cast<int>(::syscall(SYS_pidfd_open, childPid, 0));
        if (pidFd >= 0) {
            exitNotifier = new QSocketNotifier(pidFd, QSocketNotifier::Read, this);
            connect(exitNotifier, &QSocketNotifier::activated, this, &ScriptWatcher::checkChild);
        } else {
            pollTimer->start();
        }
        if (limit >= 0)
            limitTimer->start(limit);
        // A child that ended before its descriptor was opened leaves it
        // readable, so the notifier fires all the same.
    }
    starting = false;
}

void ScriptWatcher::checkChild()
{
    if (childPid <= 0)
        return;
    int status = 0;
    pid_t done;
    do {
        done = ::waitpid(childPid, &status, WNOHANG);
    } while (done < 0 && errno == EINTR);
    if (done == 0)
        return;
    const QString path = ScriptRunner::scriptPath(current.name);
    ScriptEnd end = ScriptEnd::Exited;
    if (killedAtLimit) {
        end = ScriptEnd::Killed;
        qCInfo(lcApp).noquote()
            << QString("Script '%1' did not finish within %2 ms, killed").arg(path).arg(limit);
    } else if (done < 0 || !WIFEXITED(status)) {
        // done < 0: someone else reaped it; what became of it is unknown.
        end = ScriptEnd::Crashed;
        qCInfo(lcApp).noquote() << QString("Script '%1' crashed").arg(path);
    }
    childPid = -1;
    release();
    const ScriptRun_s ended = current;
    if (ended.then)
        ended.then(end);
    emit finished(ended, end);
    startNext();
}

void ScriptWatcher::limitReached()
{
    if (childPid <= 0)
        return;
    killedAtLimit = true;
    ::kill(-childPid, SIGKILL);
    ::kill(childPid, SIGKILL);
    // The end is reaped when the descriptor (or the poll) sees it.
    if (pidFd < 0 && !pollTimer->isActive())
        pollTimer->start();
}

void ScriptWatcher::release()
{
    limitTimer->stop();
    pollTimer->stop();
    if (exitNotifier != nullptr) {
        exitNotifier->setEnabled(false);
        exitNotifier->deleteLater();
        exitNotifier = nullptr;
    }
    if (pidFd >= 0) {
        ::close(pidFd);
        pidFd = -1;
    }
}

} // namespace Tessal
