#ifndef TESSAL_UDPHANDLER_H
#define TESSAL_UDPHANDLER_H

#include "configapply.h"
#include "devicelanguage.h"
#include "framereceiver.h"
#include "indicators.h"
#include "scriptwatcher.h"
#include "tuprecords.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <vector>

namespace Tessal
{

class FrontLinkTarget;
class RegisterRoad;

// The front link's time limits: how long a system script may run before it
// is killed, and the period within which one kind of configuration record
// is applied at most once. The kiosk uses the defaults; tests shorten them.
struct FrontLinkLimits_s {
    int scriptLimitMs = ScriptWatcher::defaultLimitMs;
    int configPeriodMs = ConfigApply::defaultPeriodMs;
};

// The front link, put together: the frame receiver, the indicators, the
// device's language, the configuration scripts and the register road each
// do one job and know nothing of each other; this is the one place where the
// receiver's signals are wired to them. Everything runs in the thread the
// handler lives in (its own thread in the kiosk; its calls into the window
// are queued there), and nothing in it waits for a script.
class UdpHandler : public QObject
{
    Q_OBJECT

public:
    // Stores the listen address, port and window; nothing else happens until
    // init(). The window is not owned and may be null.
    UdpHandler(const QString& listenAddr, quint16 port, FrontLinkTarget* mainWindow,
               QObject* parent = nullptr, const FrontLinkLimits_s& limits = FrontLinkLimits_s());
    ~UdpHandler() override;

    // Creates the socket and timers, starts the Modbus server, binds, sets the
    // configuration defaults and the start-up indicator pattern.
    void init();

    // The device's first page: what the window opens on first contact and
    // falls back to after errors. An IPv6 address goes in brackets.
    static QString devicePageUrl(const QHostAddress& device);

    // The parts, for the kiosk's diagnostics and for tests.
    FrameReceiver* frameReceiver() const { return receiver; }
    Indicators* indicatorOutputs() const { return indicators; }
    RegisterRoad* registers() const { return registerRoad; }
    ConfigApply* configuration() const { return config; }
    ScriptWatcher* systemScripts() const { return scripts; }
    const tup::devinfo_s& lastDevInfo() const { return language.lastDevInfo(); }

signals:
    void finished();

public slots:
    void stop();

private:
    FrameReceiver* receiver;
    Indicators* indicators;
    RegisterRoad* registerRoad;
    ScriptWatcher* scripts;
    ConfigApply* config;
    FrontLinkTarget* main_window;
    DeviceLanguage language;
};

} // namespace Tessal

#endif
