#ifndef TESSAL_HELPERS_H
#define TESSAL_HELPERS_H

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace Tessal
{

// Small stateless helpers shared by the whole kiosk.
class Helpers
{
public:
    // Local time "yyyy-MM-dd hh:mm:ss.zzz", the time stamp of log lines.
    static QString now();

    // Write a text (Latin-1, no newline) or a decimal number into a file, as
    // sysfs control files expect. When the file cannot be opened logs
    // "Error opening file '%1'", when the write is refused "Error writing
    // file '%1'", both on the critical channel, and returns false.
    static bool echo(const QString& path, const QString& text);
    static bool echo(const QString& path, int value);

    // Blocks the calling thread; the event loop does not run meanwhile.
    static void sleep(int ms);

    // MD5 digest, 16 raw bytes.
    static QByteArray calculateHash(const QByteArray& data);
    // MD5 of a whole file, empty when the file cannot be opened.
    static QByteArray calculateFileHash(const QString& path);

    // Every fixed system path (the ini file, sysfs files) goes through here.
    // On a unit it returns the path unchanged; when the environment variable
    // TESSAL_ROOT names a directory (tests, demo), the path is resolved under
    // that directory instead.
    static QString systemPath(const QString& path);

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
