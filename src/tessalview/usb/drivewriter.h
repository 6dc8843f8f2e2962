#ifndef TESSAL_DRIVEWRITER_H
#define TESSAL_DRIVEWRITER_H

#include <QByteArray>
#include <QString>
#include <QStringList>

class QFile;

namespace Tessal
{

// What the system's mount table says of the drive directory.
struct DriveState_s {
    enum Presence {
        // A block device is mounted there, with nosuid, nodev and noexec.
        Present,
        // No directory, nothing mounted on it, or what is mounted there is no
        // block device (the unit's own disk, a tmpfs): nothing to write to.
        NotMounted,
        // A block device mounted without some of those options: a drive from
        // which the system could run a program or open a device node.
        Unsafe,
    };
    Presence presence = NotMounted;
    // For Unsafe: the options the mount lacks, in the order nosuid, nodev,
    // noexec.
    QStringList missingOptions;
};

// The USB drive without any dialog: whether it may be used, and one file
// saved to it at a time. A file that is not finished successfully is
// removed, so no partial download stays on the drive.
class DriveWriter
{
public:
    DriveWriter() = default;
    // Removes a file that was opened and not finished.
    ~DriveWriter();
    DriveWriter(const DriveWriter&) = delete;
    DriveWriter& operator=(const DriveWriter&) = delete;

    // The drive at `directory`, from the mount table /proc/self/mountinfo:
    // the last mount on the directory (mounts stack) must be of a block
    // device, one that /sys/dev/block knows by the mount's major:minor, and
    // carry nosuid, nodev and noexec. Both paths go through the system-path
    // seam. A marker file plays no part.
    static DriveState_s check(const QString& directory);
    // The drive at the configured directory (`Files/Directory`).
    static DriveState_s check();

    // `name` itself when no entry of that name exists in `directory`, else the
    // first free "base-N.suffix" (N = 1, 2, ...).
    static QString uniqueFileName(const QString& directory, const QString& name);

    // Runs "usbremount.sh rw" or "usbremount.sh ro" from the script directory
    // when it is there, waiting for it at most 30 s. True whether or not the
    // script ran: a missing script is not an error.
    static bool remount(bool rw);

    // Opens `name` in `directory` for writing: a new file only, never over an
    // existing one nor through a symbolic link, and only while check() finds
    // the drive present. False when the file could not be opened; drive()
    // then says whether the drive was there, cause() whether the drive was
    // at fault.
    bool open(const QString& directory, const QString& name);
    bool isOpen() const { return file != nullptr; }
    // The absolute path of the file of the last open(), opened or not.
    QString path() const { return filePath; }
    // The drive as open() found it.
    const DriveState_s& drive() const { return openedOn; }

    // Writes `data` to the open file at once (unbuffered, so a refusal comes
    // with the system's own reason). False once writing has failed.
    bool write(const QByteArray& data);
    qint64 bytesWritten() const { return written; }

    // Flushes the file, forces it to the medium and closes it. False when the
    // drive refused the data at one of those steps: the file is removed then.
    bool finish();
    // Closes and removes the open file (a failed or abandoned download).
    void discard();

    // True once an open, write, flush or sync has failed.
    bool failed() const { return errorNumber != 0; }
    // The system's text for that failure ("No space left on device").
    QString errorString() const;
    // What the person at the unit is told about a failure of the drive:
    // full, read-only, removed, or the system's text for another refusal of
    // the data. Empty when the file was at fault and not the drive (a name
    // taken meanwhile).
    QString cause() const { return failureCause; }

    // What the user is told when the drive at `directory` refused a write
    // with the system error `err`.
    static QString driveFailure(int err, const QString& directory);

private:
    // Records the first failure of the file and logs it as a critical line
    // "Error <what> file '<path>': <cause> (<reason>)".
    void refused(const char* what, int err);

    QFile* file = nullptr;
    QString directory;
    QString filePath;
    DriveState_s openedOn;
    qint64 written = 0;
    int errorNumber = 0;
    QString failureCause;
};

} // namespace Tessal

#endif
