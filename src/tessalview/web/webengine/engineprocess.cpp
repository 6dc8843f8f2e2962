// What QtWebEngine needs from the process before the application object
// exists, set by the program itself so that neither the service unit nor a
// person starting it by hand has to know: software rendering (the unit has
// no GPU the engine could use, and the offscreen and linuxfb platforms have
// no OpenGL context at all), and, as root, the sandbox turned off, which the
// engine otherwise refuses to start without.
#include "logging.h"

#include <QCoreApplication>
#include <QDebug>

#include <unistd.h>

namespace Tessal
{
namespace
{

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

struct EngineProcessSetup {
    bool sandboxTurnedOff = false;

    EngineProcessSetup()
    {
        if (qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND"))
            qputenv("QT_QUICK_BACKEND", "software");
        appendChromiumFlag("--disable-gpu");
        QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
        if (::geteuid() == 0 && qEnvironmentVariableIsEmpty("QTWEBENGINE_DISABLE_SANDBOX")) {
            qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
            sandboxTurnedOff = true;
        }
    }
};

// Runs before main(): the engine reads these when the application starts.
const EngineProcessSetup setup;

} // namespace

// Referenced by the surface, so that a static link keeps this object; the
// first web surface says what was set, once (not before: a program only
// asked for its --help or --version prints nothing else).
int engineProcessPrepared()
{
    if (setup.sandboxTurnedOff)
        qCInfo(lcWeb).noquote() << "Running as root: the web engine's sandbox is turned off";
    return 1;
}

} // namespace Tessal
