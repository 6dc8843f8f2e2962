#include "enginesandbox.h"

#include "systempath.h"

#include <QFile>

namespace Tessal
{

const char* const EngineSandbox::MaxUserNamespaces = "/proc/sys/user/max_user_namespaces";
const char* const EngineSandbox::UnprivilegedUsernsClone =
    "/proc/sys/kernel/unprivileged_userns_clone";
const char* const EngineSandbox::SeccompActions = "/proc/sys/kernel/seccomp/actions_avail";

namespace
{

enum class Sysctl { Missing, Unreadable, Zero, NonZero };

Sysctl readSysctl(const char* path)
{
    QFile file(SystemPath::systemPath(QString::fromLatin1(path)));
    if (!file.exists())
        return Sysctl::Missing;
    if (!file.open(QIODevice::ReadOnly))
        return Sysctl::Unreadable;
    bool ok = false;
    const qlonglong value = file.readAll().trimmed().toLongLong(&ok);
    if (!ok)
        return Sysctl::Unreadable;
    return value == 0 ? Sysctl::Zero : Sysctl::NonZero;
}

} // namespace

QStringList EngineSandbox::kernelShortfalls()
{
    QStringList missing;
    switch (readSysctl(MaxUserNamespaces)) {
    case Sysctl::Missing:
        missing << QString("the kernel has no user namespaces (no %1)").arg(MaxUserNamespaces);
        break;
    case Sysctl::Unreadable:
        missing << QString("user namespaces cannot be told (%1 unreadable)").arg(MaxUserNamespaces);
        break;
    case Sysctl::Zero:
        missing << QString("user namespaces are turned off (%1 is 0)").arg(MaxUserNamespaces);
        break;
    case Sysctl::NonZero:
        // Only Debian's kernels have the switch; elsewhere its absence
        // means no such restriction.
        if (readSysctl(UnprivilegedUsernsClone) == Sysctl::Zero)
            missing << QString("user namespaces are closed to unprivileged users (%1 is 0)")
                           .arg(UnprivilegedUsernsClone);
        break;
    }
    if (!QFile::exists(SystemPath::systemPath(QString::fromLatin1(SeccompActions))))
        missing << QString("the kernel has no seccomp filters (no %1)").arg(SeccompActions);
    return missing;
}

SandboxPlan_s EngineSandbox::plan(bool root, bool turnedOffOutside, const QString& how)
{
    SandboxPlan_s plan;
    if (root) {
        plan.turnOff = !turnedOffOutside;
        plan.line = QStringLiteral("Running as root: the web engine's sandbox is turned off");
        return plan;
    }
    if (turnedOffOutside) {
        plan.line = QString("The web engine's sandbox is turned off by %1").arg(how);
        return plan;
    }
    const QStringList missing = kernelShortfalls();
    if (missing.isEmpty()) {
        plan.line = QStringLiteral("The web engine's sandbox is on");
        return plan;
    }
    plan.turnOff = true;
    plan.line = QString("The web engine's sandbox is turned off: %1").arg(missing.join(" and "));
    return plan;
}

} // namespace Tessal
