#ifndef TESSAL_TEST_KIOSKTESTENV_H
#define TESSAL_TEST_KIOSKTESTENV_H

// A temporary unit root for the kiosk's tests: TESSAL_ROOT points at it, the
// ini file lives at its usual path below it, and sysfs files are plain files.
#include "settings.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>

class KioskTestEnv
{
public:
    KioskTestEnv()
    {
        qputenv("TESSAL_ROOT", m_dir.path().toLocal8Bit());
        QDir root(m_dir.path());
        root.mkpath("usr/local/etc");
        root.mkpath("sys/class/graphics/fb0");
        root.mkpath("sys/devices/platform/pwm-backlight.0/backlight/pwm-backlight.0");
        root.mkpath("xdg");
        QFile::setPermissions(path("xdg"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", path("xdg").toLocal8Bit());
    }

    bool isValid() const { return m_dir.isValid(); }
    QString path(const QString& relative = QString()) const
    {
        return relative.isEmpty() ? m_dir.path() : m_dir.path() + "/" + relative;
    }

    // Writes the ini file (the web cache always goes into the temporary
    // tree) and loads it on top of the defaults.
    bool loadIni(const QByteArray& content)
    {
        QFile ini(path("usr/local/etc/tessal-view.ini"));
        if (!ini.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        ini.write("[WebCache]\nPath=" + path("cache").toLocal8Bit() + "\n" + content);
        // QSettings keeps a parsed file while its size and time stamp stay
        // the same, and two rewrites can fall in one tick of the file
        // system's clock: each rewrite gets a time stamp of its own.
        static int rewrites = 0;
        ini.flush();
        ini.setFileTime(QDateTime::currentDateTime().addSecs(++rewrites),
                        QFileDevice::FileModificationTime);
        ini.close();
        Tessal::Settings::resetToDefaults();
        return Tessal::Settings::load();
    }

    bool writeFile(const QString& relative, const QByteArray& data)
    {
        const QString full = path(relative);
        QDir().mkpath(QFileInfo(full).absolutePath());
        QFile file(full);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        return file.write(data) == data.size();
    }

    QByteArray readFile(const QString& relative) const
    {
        QFile file(path(relative));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private:
    QTemporaryDir m_dir;
};

#endif
