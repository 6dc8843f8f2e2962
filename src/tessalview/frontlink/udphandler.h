#ifndef TESSAL_UDPHANDLER_H
#define TESSAL_UDPHANDLER_H

#include "configscripts.h"
#include "devicelanguage.h"
#include "framereceiver.h"
#include "indicators.h"
#include "sectioncheck.h"
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

// The front link, put together: the frame receiver, the indicators, the
// device's language, the configuration scripts and the register road each
// do one job and know nothing of each other; this is the one place where the
// receiver's signals are wired to them. Everything runs in the thread the
// handler lives in (its own thread in the kiosk; its calls into the window
// are queued there).
class UdpHandler : public QObject
{
    Q_OBJECT

public:
    // Stores the listen address, port and window; nothing else happens until
    // init(). The window is not owned and may be null.
    UdpHandler(const QString& listenAddr, quint16 port, FrontLinkTarget* mainWindow,
               QObject* parent = nullptr);
    ~UdpHandler() override;

    // Creates the socket and timers, starts the Modbus server, binds, sets the
    // configuration defaults and the start-up indicator pattern.
    void init();

    // Validates and processes one datagram (FrameReceiver::handleData).
    void handleData(QByteArray* datagram, QHostAddress* sender)
    {
        receiver->handleData(datagram, sender);
    }

    // The count bytes from offset in reverse order (a little-endian field
    // read as a hexadecimal number) and in wire order (addresses, texts).
    // Bytes beyond the frame are never read: the result is then shorter.
    static QByteArray getBytes(const QByteArray& frame, int offset, int count);
    static QByteArray getBytesReverse(const QByteArray& frame, int offset, int count);

    // One section decoded on its own (SectionCheck), under the names the
    // front link's callers know: the same functions, not wrappers.
    static constexpr auto handleSectionDevInfo = SectionCheck::handleSectionDevInfo;
    static constexpr auto handleSectionGpioState = SectionCheck::handleSectionGpioState;
    static constexpr auto handleSectionNetCfg = SectionCheck::handleSectionNetCfg;
    static constexpr auto handleSectionSnmpCfg = SectionCheck::handleSectionSnmpCfg;
    static constexpr auto handleSectionModbusCfg = SectionCheck::handleSectionModbusCfg;
    static constexpr auto handleSectionCore = SectionCheck::handleSectionCore;

    // State, read by the kiosk's diagnostics and by tests.
    bool isAttached() const { return receiver->isAttached(); }
    QHostAddress attendedSender() const { return receiver->attendedSender(); }
    quint32 lastSequence() const { return receiver->lastSequence(); }
    const tup::devinfo_s& lastDevInfo() const { return language.lastDevInfo(); }
    const tup::gpiostate_s& lastGpioState() const { return indicators->state(); }
    const tup::gpiostate_s& blinkGpioState() const { return indicators->phase(); }
    const tup::netcfg_s& lastNetCfg() const { return config.netCfg(); }
    const tup::snmpcfg_s& lastSnmpCfg() const { return config.snmpCfg(); }
    const tup::modbuscfg_s& lastModbusCfg() const { return config.modbusCfg(); }
    const std::vector<tup::core_tmp>& itemList() const { return receiver->itemList(); }
    // The port actually bound (useful when 0 asked for an ephemeral one).
    quint16 boundPort() const { return receiver->boundPort(); }

signals:
    void finished();

public slots:
    void processDatagrams() { receiver->processDatagrams(); }
    void stop();
    void packetTimeout() { receiver->packetTimeout(); }
    void blinkFastTimeout() { indicators->blinkFastTimeout(); }
    void blinkSlowTimeout() { indicators->blinkSlowTimeout(); }

private:
    FrameReceiver* receiver;
    Indicators* indicators;
    RegisterRoad* registerRoad;
    FrontLinkTarget* main_window;
    DeviceLanguage language;
    ConfigScripts config;
};

} // namespace Tessal

#endif
