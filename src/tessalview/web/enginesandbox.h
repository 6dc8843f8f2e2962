#ifndef TESSAL_ENGINESANDBOX_H
#define TESSAL_ENGINESANDBOX_H

#include <QString>
#include <QStringList>

namespace Tessal
{

// Whether the web engine's sandbox can run, and the one log line that says
// what became of it. The sandbox (Chromium's, in QtWebEngine) puts each
// render process into user and pid namespaces of its own and under a
// seccomp-bpf filter. Without either in the kernel it does not start and no
// page is ever shown; the kiosk then turns it off and says which is missing.
// As root the engine refuses to run with it, so it is off there too.
struct SandboxPlan_s {
    bool turnOff = false;
    // The line for the log, once the engine's first surface is made.
    QString line;
};

class EngineSandbox
{
public:
    // The kernel files read, each through the path seam (TESSAL_ROOT).
    // Unprivileged user namespaces: the count allowed (0, or a kernel built
    // without them, has none) and Debian's switch for unprivileged users.
    static const char* const MaxUserNamespaces;
    static const char* const UnprivilegedUsernsClone;
    // Seccomp filters: this file exists only in a kernel built with them.
    // The "Seccomp:" line of /proc/self/status does not tell: it is there
    // with the strict mode alone, which the sandbox cannot use.
    static const char* const SeccompActions;

    // What the kernel lacks for the sandbox, one phrase each (empty: nothing).
    static QStringList kernelShortfalls();
    // The decision: `root` when running as root, `turnedOffOutside` when the
    // environment already turned the sandbox off (QTWEBENGINE_DISABLE_SANDBOX,
    // --no-sandbox in QTWEBENGINE_CHROMIUM_FLAGS), naming how in `how`.
    static SandboxPlan_s plan(bool root, bool turnedOffOutside, const QString& how = QString());
};

} // namespace Tessal

#endif
