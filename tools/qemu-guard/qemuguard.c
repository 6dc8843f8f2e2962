/* Preloaded into every ARM program the test suite runs under qemu-user.
 *
 * Qt 5.15 starts child processes with clone(CLONE_PIDFD) once a probe,
 * waitid(P_PIDFD, ...) through syscall(), answers EBADF. qemu-user 7.2 answers
 * the probe that way but refuses the clone flag: QProcess then starts
 * nothing, closes a descriptor it does not own, and its destructor may end
 * up sending SIGKILL to pid -1, i.e. to every process the user may signal.
 * Making the probe fail as on a kernel without pidfds sends Qt down its plain
 * fork() path, which qemu emulates correctly.
 *
 * Everything else goes to the C library's syscall() untouched. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

typedef long (*syscall_fn)(long, ...);

/* Looked up once when the library is loaded, never during a call: a call may
 * come from a signal handler, where dlsym (which may allocate) must not run. */
static syscall_fn real_syscall;

__attribute__((constructor)) static void qemuguard_init(void)
{
    real_syscall = (syscall_fn)dlsym(RTLD_NEXT, "syscall");
}

long syscall(long number, ...)
{
    long a[6];
    va_list ap;
    va_start(ap, number);
    /* Every argument is passed as a machine word: forwarding six words gives
     * the real syscall() the same registers and stack it would have had. */
    for (int i = 0; i < 6; ++i)
        a[i] = va_arg(ap, long);
    va_end(ap);
    if ((number == SYS_waitid && a[0] == P_PIDFD) || real_syscall == 0) {
        errno = ENOSYS;
        return -1;
    }
    return real_syscall(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}
