#ifndef TESSAL_TEST_FRONTLINKFIXTURE_H
#define TESSAL_TEST_FRONTLINKFIXTURE_H

// Shared pieces of the front-link tests: a temporary unit root (ini file,
// fake GPIO sysfs tree, script directory with scripts that record their
// arguments), a window stand-in that records the calls it receives, and
// frames built with the frame library.
#include "framebuilder.h"
#include "frontlinktarget.h"
#include "settings.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <vector>

class RecordingTarget : public Tessal::FrontLinkTarget
{
public:
    void setDefaultUrl(const QString& url) override
    {
        calls << "setDefaultUrl " + url;
        if (onDefaultUrl)
            onDefaultUrl();
    }
    void openUrlForce(const QString& url, bool force) override
    {
        calls << QString("openUrlForce %1 %2").arg(url, force ? "true" : "false");
    }
    void setLanguage(const QString& lang) override
    {
        calls << "setLanguage " + lang;
        language = lang;
    }
    QString getLanguage() override
    {
        calls << "getLanguage";
        return language;
    }
    void displayError(const QString& lang) override { calls << "displayError " + lang; }

    QStringList calls;
    QString language = "fr";
    std::function<void()> onDefaultUrl;
};

// Pins of the fake GPIO tree: green, yellow, red, buzzer.
constexpr int kGreen = 10, kYellow = 11, kRed = 12, kBuzzer = 13;

class UnitRoot
{
public:
    UnitRoot()
    {
        qputenv("TESSAL_ROOT", dir.path().toLocal8Bit());
        QDir(dir.path()).mkpath("sys/class/gpio");
        QDir(dir.path()).mkpath("scripts");
        touch("sys/class/gpio/export", "");
        for (int pin : {kGreen, kYellow, kRed, kBuzzer})
            makePin(pin);
    }

    QString path(const QString& rel) const { return dir.path() + "/" + rel; }

    void touch(const QString& rel, const QByteArray& content) const
    {
        QFile f(path(rel));
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.write(content);
    }
    QByteArray read(const QString& rel) const
    {
        QFile f(path(rel));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }

    void makePin(int pin) const
    {
        const QString d = QString("sys/class/gpio/gpio%1").arg(pin);
        QDir(dir.path()).mkpath(d);
        touch(d + "/direction", "in");
        touch(d + "/active_low", "x");
        touch(d + "/value", "x");
    }
    QByteArray gpio(int pin, const char* file) const
    {
        return read(QString("sys/class/gpio/gpio%1/%2").arg(pin).arg(file));
    }

    // Writes the ini file and loads it.
    void configure(int udpTimeout, const QString& extra = QString(),
                   const QString& network = QString()) const
    {
        configure(QString::number(udpTimeout), extra, network);
    }
    // `network`: further lines of the [Network] group.
    void configure(const QString& udpTimeout, const QString& extra,
                   const QString& network = QString()) const
    {
        QDir(dir.path()).mkpath("usr/local/etc");
        const QString ini = QString("[Files]\nScriptDir=%1\nTmpCfgDir=%2\n"
                                    "[ModbusServer]\nModbusMap=%3\n"
                                    "[Network]\nUdpTimeout=%4\n%9"
                                    "[GPIO]\nLedGreenPin=%5\nLedYellowPin=%6\nLedRedPin=%7\n"
                                    "BuzzerPin=%8\nLedGreenHigh=false\nLedYellowHigh=true\n"
                                    "LedRedHigh=false\nBuzzerHigh=true\n")
                                .arg(path("scripts"), path("tmpcfg"), path("no.map"))
                                .arg(udpTimeout)
                                .arg(kGreen)
                                .arg(kYellow)
                                .arg(kRed)
                                .arg(kBuzzer)
                                .arg(network) +
                            extra;
        touch("usr/local/etc/tessal-view.ini", ini.toUtf8());
        Tessal::Settings::resetToDefaults();
        Tessal::Settings::load();
    }

    // A script that appends one line "name|arg1|arg2..." to scripts.log,
    // in one write: the register road's scripts run beside the others.
    void recordingScript(const QString& name, const QByteArray& extra = QByteArray()) const
    {
        const QByteArray body = "#!/bin/sh\nline=\"$(basename \"$0\")\"; for a in \"$@\"; do "
                                "line=\"$line|$a\"; done; printf '%s\\n' \"$line\" >> '" +
                                path("scripts.log").toLocal8Bit() + "'\n" + extra;
        touch("scripts/" + name, body);
        QFile::setPermissions(path("scripts/" + name),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    void recordAllScripts() const
    {
        for (const char* s : {"k3p.sh", "netcfg.sh", "snmpctl.sh", "snmpcfg.sh", "snmptrap.sh",
                              "modbuscfg.sh", "mbserverupdate.sh"})
            recordingScript(s);
    }
    QStringList scriptCalls() const
    {
        const QByteArray log = read("scripts.log");
        if (log == "<missing>")
            return {};
        return QString::fromUtf8(log).split('\n', Qt::SkipEmptyParts);
    }
    void clearScriptCalls() const { QFile::remove(path("scripts.log")); }

    QTemporaryDir dir;
};

inline QByteArray toBytes(const std::vector<uint8_t>& v)
{
    return QByteArray(reinterpret_cast<const char*>(v.data()), static_cast<int>(v.size()));
}

inline tup::gpiostate_s gpio(uint8_t g, uint8_t w, uint8_t c, uint8_t b)
{
    tup::gpiostate_s s;
    s.good = g;
    s.warning = w;
    s.critical = c;
    s.buzzer = b;
    return s;
}

// A valid frame with the given sequence number and the sections added by fill.
inline QByteArray makeFrame(uint32_t seqno, const std::function<void(tup::FrameBuilder&)>& fill,
                            uint32_t timestamp = 1700000000)
{
    tup::FrameBuilder b;
    b.setSeqno(seqno);
    b.setTimestamp(timestamp);
    if (fill)
        fill(b);
    return toBytes(b.build());
}

inline QByteArray gpioFrame(uint32_t seqno, const tup::gpiostate_s& s)
{
    return makeFrame(seqno, [&](tup::FrameBuilder& b) { b.addGpioState(s); });
}

#endif
