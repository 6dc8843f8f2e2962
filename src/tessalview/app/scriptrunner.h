#ifndef TESSAL_SCRIPTRUNNER_H
#define TESSAL_SCRIPTRUNNER_H

#include <QString>
#include <QStringList>

namespace Tessal
{

// Runs the system scripts of the script directory. runScript waits for the
// script; ScriptWatcher starts them with startScript and watches them by
// events instead.
class ScriptRunner
{
public:
    // The script's path in the configured script directory.
    static QString scriptPath(const QString& name);

    // Starts a system script as runScript does, without waiting: its
    // process id, or -1 when it is missing (logged when logMissing) or could
    // not be started (logged). The child leads a process group of its own;
    // the caller reaps it.
    static qint64 startScript(const QString& name, const QStringList& arguments, bool logMissing);

    // Runs a system script from the configured script directory: only when
    // the file exists and is executable, as a child process with the
    // arguments as separate entries (no shell), waiting at most timeoutMs.
    // A script still running then is killed and the kill is logged. When the
    // script is missing and logMissing is true, logs
    // "Script '<path>' not found, do nothing". The script's output goes to
    // the kiosk's own standard output and error, so it lands in the same log.
    // Returns true when the script ran and ended by itself; its exit status is
    // not interpreted.
    static bool runScript(const QString& name, const QStringList& arguments, bool logMissing = true,
                          int timeoutMs = 30000);
};

} // namespace Tessal

#endif
