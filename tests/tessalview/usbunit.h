#ifndef TESSAL_TEST_USBUNIT_H
#define TESSAL_TEST_USBUNIT_H

// The unit tree of the USB tests, without any widget: an ini file under
// TESSAL_ROOT, a drive directory, the mount table and the block devices as
// the kiosk reads them (proc/self/mountinfo and sys/dev/block under the
// root), and a remount script that records its arguments. The drive is
// "plugged" by a line of the mount table: a block device mounted on the
// drive directory.
#include "settings.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <sys/sysmacros.h>

class UsbUnit
{
public:
    // The per-mount options of a drive mounted as the kiosk requires.
    static QString safeOptions() { return QStringLiteral("rw,nosuid,nodev,noexec,relatime"); }
    // The drive's block device, known under sys/dev/block.
    static QString driveDevice() { return QStringLiteral("8:1"); }

    // `extraIni` is appended to the generated ini file (for example a [UI]
    // group with translated texts). The ini file names the marker file of
    // old ini files, which decides nothing.
    bool create(const QByteArray& extraIni = QByteArray())
    {
        if (!m_root.isValid())
            return false;
        QDir root(m_root.path());
        if (!root.mkpath("usr/local/etc") || !root.mkpath("usbmnt") || !root.mkpath("scripts") ||
            !root.mkpath("tmp") || !root.mkpath("proc/self") ||
            !root.mkpath("sys/dev/block/" + driveDevice()) || !root.mkpath("sys/dev/block/254:1") ||
            !root.mkpath("proc/sys/user") || !root.mkpath("proc/sys/kernel"))
            return false;
        // Whether the web engine's sandbox can run is the kernel's own answer.
        for (const char* file : {"sys/user/max_user_namespaces", "sys/kernel/seccomp",
                                 "sys/kernel/unprivileged_userns_clone"}) {
            const QString real = QString("/proc/") + file;
            const QString link = m_root.path() + "/proc/" + file;
            if (QFileInfo::exists(real) && !QFileInfo(link).isSymLink() && !QFile::link(real, link))
                return false;
        }
        QFile ini(m_root.path() + "/usr/local/etc/tessal-view.ini");
        if (!ini.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        ini.write("[Files]\nDirectory=" + drive().toLocal8Bit() +
                  "\nUsbDriveFile=" + marker().toLocal8Bit() +
                  "\nScriptDir=" + (m_root.path() + "/scripts").toLocal8Bit() + "\n" + extraIni);
        ini.close();
        qputenv("TESSAL_ROOT", m_root.path().toLocal8Bit());
        Tessal::Settings::resetToDefaults();
        if (!Tessal::Settings::load())
            return false;
        return plugDrive() && installRemountScript();
    }

    QString root() const { return m_root.path(); }
    QString drive() const { return m_root.path() + "/usbmnt"; }
    // Where the system of old created its marker file.
    QString marker() const { return m_root.path() + "/tmp/usbdrive"; }
    QString mountTable() const { return m_root.path() + "/proc/self/mountinfo"; }
    QString remountLog() const { return m_root.path() + "/remount.log"; }

    // The drive's block device mounted on the drive directory with
    // `options`, and nothing else mounted there.
    bool plugDrive(const QString& options = safeOptions())
    {
        m_mounts.clear();
        return addMount(driveDevice(), drive(), options);
    }
    // Nothing mounted on the drive directory any more; false when nothing was.
    bool unplugDrive()
    {
        const bool plugged = !m_mounts.isEmpty();
        m_mounts.clear();
        return writeMountTable() && plugged;
    }
    // One more mount, listed after (stacked on) those there already.
    // `device` is "major:minor"; a device of major 0 is no block device.
    bool addMount(const QString& device, const QString& mountPoint, const QString& options)
    {
        const QString type = device.startsWith("0:") ? "tmpfs" : "vfat";
        const QString source = device.startsWith("0:") ? "tmpfs" : "/dev/sda1";
        m_mounts << QString("%1 21 %2 / %3 %4 shared:%1 - %5 %6 rw")
                        .arg(m_mounts.size() + 40)
                        .arg(device, escapeMountPath(mountPoint), options, type, source);
        return writeMountTable();
    }
    // The marker file that the system of old left while a drive was mounted.
    bool leaveStaleMarker()
    {
        QFile file(marker());
        return file.open(QIODevice::WriteOnly);
    }

    // For tests that mount for real: the kiosk reads the process's own mount
    // table, and a device counts as a block device once markBlockDevice()
    // names it.
    bool useSystemMountTable()
    {
        QFile::remove(mountTable());
        return QFile::link("/proc/self/mountinfo", mountTable());
    }
    // Makes the device of what is mounted on `path` now a block device under
    // the fake sys/dev/block (a tmpfs standing in for the USB drive).
    bool markBlockDevice(const QString& path)
    {
        struct stat info;
        if (::stat(QFile::encodeName(path).constData(), &info) != 0)
            return false;
        return QDir(m_root.path())
            .mkpath(QString("sys/dev/block/%1:%2").arg(major(info.st_dev)).arg(minor(info.st_dev)));
    }

    // The mount table's escape of a blank, tab, newline or backslash.
    static QString escapeMountPath(const QString& path)
    {
        QString escaped;
        for (const QChar c : path) {
            if (c == ' ' || c == '\t' || c == '\n' || c == '\\')
                escaped += QString("\\%1").arg(c.unicode(), 3, 8, QLatin1Char('0'));
            else
                escaped += c;
        }
        return escaped;
    }

    bool installRemountScript()
    {
        const QString path = m_root.path() + "/scripts/usbremount.sh";
        QFile script(path);
        if (!script.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        script.write("#!/bin/sh\necho \"$*\" >> '" + remountLog().toLocal8Bit() + "'\n");
        script.close();
        return script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    // Arguments of every run of the remount script, oldest first.
    QStringList remounts() const
    {
        QFile file(remountLog());
        if (!file.open(QIODevice::ReadOnly))
            return QStringList();
        return QString::fromLocal8Bit(file.readAll()).split('\n', Qt::SkipEmptyParts);
    }
    void clearRemounts() { QFile::remove(remountLog()); }

    // Regular files on the drive, sorted.
    QStringList driveFiles() const
    {
        return QDir(drive()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    }
    void clearDrive()
    {
        for (const QString& name : driveFiles())
            QFile::remove(drive() + "/" + name);
    }
    QByteArray readDriveFile(const QString& name) const
    {
        QFile file(drive() + "/" + name);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    bool writeDriveFile(const QString& name, const QByteArray& data)
    {
        QFile file(drive() + "/" + name);
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
               file.write(data) == data.size();
    }

private:
    // What a unit's table holds besides the drive: its own disk (a block
    // device, mounted on "/") and the usual kernel file systems.
    bool writeMountTable()
    {
        if (QFileInfo(mountTable()).isSymLink())
            return true;
        QFile table(mountTable());
        if (!table.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        QStringList lines = {
            "21 1 254:1 / / rw,relatime shared:1 - ext4 /dev/vda1 rw",
            "22 21 0:20 / /proc rw,nosuid,nodev,noexec,relatime shared:2 - proc proc rw",
            "23 21 0:21 / /sys rw,nosuid,nodev,noexec,relatime shared:3 - sysfs sysfs rw",
            "24 21 0:22 / /tmp rw,nosuid,nodev shared:4 - tmpfs tmpfs rw",
        };
        lines << m_mounts;
        const QByteArray text = lines.join('\n').toLocal8Bit() + '\n';
        return table.write(text) == text.size();
    }

    QTemporaryDir m_root;
    QStringList m_mounts;
};

// Deterministic bytes covering every value, so an offset or a lost piece
// shows up in a comparison.
inline QByteArray patternBytes(qint64 size)
{
    QByteArray data(static_cast<int>(size), Qt::Uninitialized);
    quint32 x = 0x12345678u;
    for (qint64 i = 0; i < size; ++i) {
        x = x * 1664525u + 1013904223u;
        data[static_cast<int>(i)] = static_cast<char>(x >> 24);
    }
    return data;
}

#endif
