// Proves the qemu guard works before any other Qt program runs under
// emulation: Qt's pidfd probe fails, QProcess starts a host program and an
// emulated one (this program again, through binfmt) and sees their real exit
// codes. Exits 0 only when all of that holds.
#include <QCoreApplication>
#include <QProcess>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

namespace
{

// The probe Qt makes: EBADF means "pidfds work", anything else sends it to fork().
bool pidfdProbeFails()
{
    errno = 0;
    const long rc = syscall(SYS_waitid, P_PIDFD, INT_MAX, nullptr, WEXITED | WNOHANG, nullptr);
    return rc == -1 && errno != EBADF;
}

bool runs(const QString& program, const QStringList& args, int expectedCode)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForStarted(30000)) {
        std::fprintf(stderr, "guardcheck: %s did not start: %s\n", qPrintable(program),
                     qPrintable(p.errorString()));
        return false;
    }
    if (!p.waitForFinished(60000)) {
        std::fprintf(stderr, "guardcheck: %s did not finish\n", qPrintable(program));
        p.kill();
        p.waitForFinished(5000);
        return false;
    }
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != expectedCode) {
        std::fprintf(stderr, "guardcheck: %s ended with status %d code %d, expected code %d\n",
                     qPrintable(program), int(p.exitStatus()), p.exitCode(), expectedCode);
        return false;
    }
    std::printf("guardcheck: %s %s -> exit %d\n", qPrintable(program), qPrintable(args.join(' ')),
                expectedCode);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--child") == 0)
        return pidfdProbeFails() ? 7 : 8;

    QCoreApplication app(argc, argv);
    if (!pidfdProbeFails()) {
        std::fprintf(stderr, "guardcheck: the pidfd probe succeeds: the guard is not loaded\n");
        return 1;
    }
    const bool ok = runs("/bin/true", {}, 0) && runs("/bin/sh", {"-c", "exit 3"}, 3) &&
                    runs(QCoreApplication::applicationFilePath(), {"--child"}, 7);
    std::printf("guardcheck: %s\n", ok ? "QProcess works under emulation" : "FAILED");
    return ok ? 0 : 1;
}
