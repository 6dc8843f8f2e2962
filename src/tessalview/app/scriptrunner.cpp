#include "scriptrunner.h"

#include "clock.h"
#include "logging.h"
#include "settings.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace Tessal
{

namespace
{

// Waits up to `timeoutMs` for `pid` to end; true with its status when it did.
bool waitForChild(pid_t pid, int timeoutMs, int* status)
{
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    auto elapsedMs = [&start] {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        return (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000;
    };
    // A descriptor that becomes readable when the child ends: the wait costs
    // no wake-up until then.
    const int pidFd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    int pauseMs = 1;
    for (;;) {
        const pid_t done = ::waitpid(pid, status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR))
            break;
        // A negative time-out waits for as long as the child runs.
        const long long left = timeoutMs < 0 ? -1 : timeoutMs - elapsedMs();
        if (timeoutMs >= 0 && left <= 0) {
            if (pidFd >= 0)
                ::close(pidFd);
            return false;
        }
        if (pidFd >= 0) {
            pollfd pfd = {pidFd, POLLIN, 0};
            ::poll(&pfd, 1, static_cast<int>(left));
        } else {
            // Kernels without pidfd: short, growing pauses.
            Clock::sleep(static_cast<int>(left < 0 ? pauseMs : std::min<long long>(pauseMs, left)));
            pauseMs = std::min(pauseMs * 2, 50);
        }
    }
    if (pidFd >= 0)
        ::close(pidFd);
    return true;
}

} // namespace

QString ScriptRunner::scriptPath(const QString& name)
{
    return QDir::cleanPath(Settings::getFilesScriptDir() + "/" + name);
}

qint64 ScriptRunner::startScript(const QString& name, const QStringList& arguments, bool logMissing)
{
    const QString path = scriptPath(name);
    const QFileInfo info(path);
    if (!info.exists() || !info.isFile() || !info.isExecutable()) {
        if (logMissing)
            qCDebug(lcApp).noquote() << "Script '" + path + "' not found, do nothing";
        return -1;
    }
    // posix_spawn starts the script without copying the kiosk's page tables
    // (a fork of a 130 MB process costs milliseconds on a small board).
    const QByteArray program = QFile::encodeName(path);
    std::vector<QByteArray> argBytes;
    argBytes.reserve(static_cast<size_t>(arguments.size()));
    for (const QString& argument : arguments)
        argBytes.push_back(argument.toLocal8Bit());
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.constData()));
    for (QByteArray& bytes : argBytes)
        argv.push_back(bytes.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    // Scripts get no input: a script that reads stdin sees end-of-file. Its
    // output goes where the kiosk's goes.
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    // A process group of its own, so that a hung script is killed together
    // with whatever it started (a `sleep`, a `dbus-send`...); no signal
    // blocked or ignored by the kiosk is passed on to it.
    sigset_t noSignals;
    sigemptyset(&noSignals);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGHUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setsigmask(&attributes, &noSignals);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                              POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int spawnError =
        posix_spawn(&pid, program.constData(), &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (spawnError != 0) {
        qCInfo(lcApp).noquote() << QString("Script '%1' could not be started: %2")
                                       .arg(path,
                                            QString::fromLocal8Bit(std::strerror(spawnError)));
        return -1;
    }
    return pid;
}

bool ScriptRunner::runScript(const QString& name, const QStringList& arguments, bool logMissing,
                             int timeoutMs)
{
    const qint64 started = startScript(name, arguments, logMissing);
    if (started < 0)
        return false;
    const pid_t pid = static_cast<pid_t>(started);
    const QString path = scriptPath(name);
    int status = 0;
    if (!waitForChild(pid, timeoutMs, &status)) {
        ::kill(-pid, SIGKILL);
        ::kill(pid, SIGKILL);
        waitForChild(pid, 1000, &status);
        qCInfo(lcApp).noquote()
            << QString("Script '%1' did not finish within %2 ms, killed").arg(path).arg(timeoutMs);
        return false;
    }
    if (!WIFEXITED(status)) {
        qCInfo(lcApp).noquote() << QString("Script '%1' crashed").arg(path);
        return false;
    }
    return true;
}

} // namespace Tessal
