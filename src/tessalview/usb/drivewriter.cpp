#include "drivewriter.h"

#include "clock.h"
#include "logging.h"
#include "scriptrunner.h"
#include "settings.h"
#include "systempath.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace Tessal
{

namespace
{

const char* const MountTable = "/proc/self/mountinfo";
// One entry "major:minor" per block device the kernel knows.
const char* const BlockDevices = "/sys/dev/block/";
// Without them a drive could carry a set-user-ID program, a device node or
// an executable that the system would honour.
const char* const SafeOptions[] = {"nosuid", "nodev", "noexec"};

struct Mount {
    QString device; // "major:minor"
    QStringList options;
};

// The mount table writes a blank, tab, newline or backslash of a path as a
// backslash and three octal digits ("/media/usb\040drive").
QString unescapeMountPath(const QByteArray& field)
{
    QByteArray path;
    path.reserve(field.size());
    auto isOctal = [](char c) { return c >= '0' && c <= '7'; };
    for (int i = 0; i < field.size(); ++i) {
        if (field.at(i) == '\\' && i + 3 < field.size() && isOctal(field.at(i + 1)) &&
            isOctal(field.at(i + 2)) && isOctal(field.at(i + 3))) {
            path += static_cast<char>(((field.at(i + 1) - '0') << 6) |
                                      ((field.at(i + 2) - '0') << 3) | (field.at(i + 3) - '0'));
            i += 3;
        } else {
            path += field.at(i);
        }
    }
    return QFile::decodeName(path);
}

// The last mount whose mount point is `directory`: mounts on one directory
// stack, and the table lists the one on top last. False when there is none
// (or the table cannot be read).
bool lastMountOn(const QString& directory, Mount* found)
{
    QFile table(SystemPath::systemPath(MountTable));
    if (!table.open(QIODevice::ReadOnly)) {
        qCWarning(lcUsb).noquote() << QString("Mount table '%1' cannot be read: %2")
                                          .arg(table.fileName(), table.errorString());
        return false;
    }
    bool any = false;
    // readAll(): the table's size is reported as 0, it is read to its end.
    const QList<QByteArray> lines = table.readAll().split('\n');
    for (const QByteArray& line : lines) {
        // Mount ID, parent ID, major:minor, root, mount point, mount options,
        // optional fields, "-", file system type, source, super options.
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 6 || unescapeMountPath(fields.at(4)) != directory)
            continue;
        found->device = QString::fromLatin1(fields.at(2));
        found->options = QString::fromLatin1(fields.at(5)).split(QLatin1Char(','));
        any = true;
    }
    return any;
}

bool isBlockDevice(const QString& device)
{
    static const QRegularExpression majorMinor(QStringLiteral("^[0-9]+:[0-9]+$"));
    return majorMinor.match(device).hasMatch() &&
           QFileInfo::exists(SystemPath::systemPath(QLatin1String(BlockDevices) + device));
}

} // namespace

DriveState_s DriveWriter::check(const QString& directory)
{
    DriveState_s state;
    const QFileInfo info(directory);
    if (!info.isDir())
        return state;
    // The table names mount points by their real path: a configured
    // directory that is a symbolic link is looked up where it leads.
    Mount mount;
    if (!lastMountOn(info.canonicalFilePath(), &mount) || !isBlockDevice(mount.device))
        return state;
    for (const char* option : SafeOptions) {
        if (!mount.options.contains(QLatin1String(option)))
            state.missingOptions << QLatin1String(option);
    }
    state.presence = state.missingOptions.isEmpty() ? DriveState_s::Present : DriveState_s::Unsafe;
    return state;
}

DriveState_s DriveWriter::check()
{
    return check(Settings::getFilesDirectory());
}

QString DriveWriter::uniqueFileName(const QString& directory, const QString& name)
{
    const QDir dir(directory);
    // A dangling symbolic link counts as taken: writing through it would
    // create a file somewhere else.
    auto taken = [&dir](const QString& candidate) {
        const QFileInfo info(dir.filePath(candidate));
        return info.exists() || info.isSymLink();
    };
    if (!taken(name))
        return name;
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    const QString base = dot >= 0 ? name.left(dot) : name;
    const QString suffix = dot >= 0 ? name.mid(dot + 1) : QString();
    for (int n = 1;; ++n) {
        const QString candidate = QString("%1-%2.%3").arg(base).arg(n).arg(suffix);
        if (!taken(candidate))
            return candidate;
    }
}

bool DriveWriter::remount(bool rw)
{
    const QString argument = rw ? QStringLiteral("rw") : QStringLiteral("ro");
    qCDebug(lcUsb).noquote() << "RemountUSB" << argument;
    ScriptRunner::runScript(QStringLiteral("usbremount.sh"), {argument}, false, 30000);
    return true;
}

QString DriveWriter::driveFailure(int err, const QString& directory)
{
    // A drive pulled out while written shows up as an I/O error, a missing
    // directory or a missing device; the mount table tells for sure.
    if (check(directory).presence == DriveState_s::NotMounted)
        return Settings::getUIMsgUSBDriveRemoved();
    switch (err) {
    case ENOSPC:
    case EDQUOT:
        return Settings::getUIMsgUSBDriveFull();
    case EROFS:
        return Settings::getUIMsgUSBDriveReadOnly();
    case EIO:
    case ENODEV:
    case ENXIO:
    case ENOENT:
        return Settings::getUIMsgUSBDriveRemoved();
    default:
        return QString::fromLocal8Bit(std::strerror(err));
    }
}

DriveWriter::~DriveWriter()
{
    discard();
}

bool DriveWriter::open(const QString& targetDirectory, const QString& name)
{
    discard();
    directory = targetDirectory;
    filePath = QDir(directory).absoluteFilePath(name);
    written = 0;
    errorNumber = 0;
    failureCause.clear();

    // A drive pulled while the user was asked leaves its mount point behind
    // as a directory of the unit's own disk: nothing is saved there, nor on
    // a drive that is not mounted safely.
    openedOn = check(directory);
    int err = ENODEV;
    bool opened = false;
    // NewOnly: never truncate a file that appeared meanwhile, never follow a
    // symbolic link out of the drive.
    // Unbuffered: every write reaches the system at once, so a refusal is
    // seen with the system's own reason (a full drive, a read-only one).
    auto* target = new QFile(filePath);
    if (openedOn.presence == DriveState_s::Present) {
        errno = 0;
        opened = target->open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered);
        err = errno != 0 ? errno : EIO;
    }
    if (opened) {
        file = target;
        return true;
    }
    delete target;
    errorNumber = err;
    qCCritical(lcUsb).noquote()
        << QString("%1 - Error opening file '%2' for writing.").arg(Clock::now(), filePath);
    // A name taken meanwhile is the file's problem; a full, read-only or
    // pulled drive is the drive's, and the user is told which.
    const bool driveProblem = err == ENOSPC || err == EDQUOT || err == EROFS || err == EIO ||
                              err == ENODEV || err == ENXIO || err == ENOENT ||
                              openedOn.presence != DriveState_s::Present;
    if (openedOn.presence == DriveState_s::Unsafe)
        failureCause = Settings::getUIMsgUSBDriveUnsafe();
    else if (driveProblem)
        failureCause = driveFailure(err, directory);
    return false;
}

void DriveWriter::refused(const char* what, int err)
{
    if (errorNumber != 0)
        return;
    errorNumber = err;
    failureCause = driveFailure(err, directory);
    qCCritical(lcUsb).noquote() << QString("%1 - Error %2 file '%3': %4 (%5)")
                                       .arg(Clock::now(), QString::fromLatin1(what), filePath,
                                            failureCause, errorString());
}

QString DriveWriter::errorString() const
{
    return errorNumber != 0 ? QString::fromLocal8Bit(std::strerror(errorNumber)) : QString();
}

bool DriveWriter::write(const QByteArray& data)
{
    if (!file || errorNumber != 0)
        return false;
    errno = 0;
    if (file->write(data) == data.size()) {
        written += data.size();
        return true;
    }
    const int err = errno;
    refused("writing", err != 0 ? err : EIO);
    return false;
}

bool DriveWriter::finish()
{
    if (!file)
        return false;
    if (errorNumber == 0) {
        errno = 0;
        if (!file->flush())
            refused("writing", errno != 0 ? errno : EIO);
    }
    if (errorNumber == 0) {
        // The drive may be pulled right after the user is told: force the
        // data to the medium first. A drive that cannot take the data (full,
        // pulled) may only say so here.
        const int handle = file->handle();
        if (handle < 0) {
            qCInfo(lcUsb).noquote() << "Filesystem synchronization failed: no file handle";
        } else if (::fsync(handle) == -1) {
            const int err = errno;
            qCInfo(lcUsb).noquote()
                << QString("Filesystem synchronization failed: error %1").arg(err);
            if (err == ENOSPC || err == EDQUOT || err == EIO || err == EROFS)
                refused("synchronizing", err);
        }
    }
    if (errorNumber != 0) {
        // A partial file must not pass for the download.
        discard();
        return false;
    }
    file->close();
    delete file;
    file = nullptr;
    return true;
}

void DriveWriter::discard()
{
    if (!file)
        return;
    file->close();
    if (!file->remove()) {
        qCCritical(lcUsb).noquote()
            << QString("%1 - Error removing the incomplete file '%2': %3")
                   .arg(Clock::now(), file->fileName(), file->errorString());
    }
    delete file;
    file = nullptr;
}

} // namespace Tessal
