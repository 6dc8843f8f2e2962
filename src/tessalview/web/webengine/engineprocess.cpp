// What QtWebEngine needs from the process before the application object
// exists, set by the program itself so that neither the service unit nor a
// person starting it by hand has to know: software rendering (the unit has
// no GPU the engine could use, and the offscreen and linuxfb platforms have
// no OpenGL context at all), and the sandbox turned off where it cannot run:
// as root, which the engine refuses, and on a kernel without what it needs,
// where no page would ever be shown.
#include "enginesandbox.h"
#include "logging.h"

#include <QCoreApplication>
#include <QDebug>

#include <unistd.h>

namespace Tessal
{
// Adds a switch for the engine, read when it starts (with the first
// profile); one already there is not added twice.
void appendChromiumFlag(const QByteArray& flag)
{
    QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
    if (flags.split(' ').contains(flag))
        return;
    if (!flags.isEmpty())
        flags += ' ';
    flags += flag;
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags);
}

namespace
{

struct EngineProcessSetup {
    SandboxPlan_s sandbox;

    EngineProcessSetup()
    {
        if (qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND"))
            qputenv("QT_QUICK_BACKEND", "software");
        // Read before the kiosk adds its own flags.
        const bool noSandboxFlag =
            qgetenv("QTWEBENGINE_CHROMIUM_FLAGS").split(' ').contains("--no-sandbox");
        appendChromiumFlag("--disable-gpu");
        QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
        // The engine takes the variable's mere presence, empty or not, as
        // the sandbox turned off.
        const bool disabledByVariable = qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX");
        sandbox = EngineSandbox::plan(
            ::geteuid() == 0, disabledByVariable || noSandboxFlag,
            disabledByVariable ? QStringLiteral("QTWEBENGINE_DISABLE_SANDBOX")
                               : QStringLiteral("--no-sandbox in QTWEBENGINE_CHROMIUM_FLAGS"));
        if (sandbox.turnOff)
            qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    }
};

// Runs before main(): the engine reads these when the application starts.
const EngineProcessSetup setup;

} // namespace

// Referenced by the surface, so that a static link keeps this object; the
// first web surface says what became of the sandbox, once (not before: a
// program only asked for its --help or --version prints nothing else).
int engineProcessPrepared()
{
    qCInfo(lcWeb).noquote() << setup.sandbox.line;
    return 1;
}

} // namespace Tessal
