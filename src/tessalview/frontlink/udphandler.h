#ifndef TESSAL_UDPHANDLER_H
#define TESSAL_UDPHANDLER_H

#include "modbusinterface.h"
#include "tuprecords.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <vector>

class QTimer;
class QUdpSocket;

namespace Tessal
{

class FrontLinkTarget;

// The receiving end of the front link. Owns the UDP socket, checks every
// datagram against the TUP frame format, attaches to the first sender whose
// frame passes, walks the sections and acts on them: page language, LEDs and
// buzzer, network/SNMP/Modbus configuration scripts and the device's live
// values for the Modbus bridge. A silence watchdog detaches a sender that
// stops talking. Everything runs in the thread the handler lives in (its own
// thread in the kiosk; its calls into the window are queued there).
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

    // Validates and processes one datagram. Once the checksum has been
    // checked the byte array is shortened by the two checksum bytes.
    void handleData(QByteArray* datagram, QHostAddress* sender);

    // The count bytes from offset in reverse order (a little-endian field
    // read as a hexadecimal number) and in wire order (addresses, texts).
    // Bytes beyond the frame are never read: the result is then shorter.
    static QByteArray getBytes(const QByteArray& frame, int offset, int count);
    static QByteArray getBytesReverse(const QByteArray& frame, int offset, int count);

    // The section decoders: (type, section length, the section bytes with
    // their 4-byte head, target record, out-count). True on success, with
    // the out-count set to the section length.
    static bool handleSectionDevInfo(quint16 type, quint16 length, const QByteArray& section,
                                     tup::devinfo_s* target, quint16* outCount);
    static bool handleSectionGpioState(quint16 type, quint16 length, const QByteArray& section,
                                       tup::gpiostate_s* target, quint16* outCount);
    static bool handleSectionNetCfg(quint16 type, quint16 length, const QByteArray& section,
                                    tup::netcfg_s* target, quint16* outCount);
    static bool handleSectionSnmpCfg(quint16 type, quint16 length, const QByteArray& section,
                                     tup::snmpcfg_s* target, quint16* outCount);
    static bool handleSectionModbusCfg(quint16 type, quint16 length, const QByteArray& section,
                                       tup::modbuscfg_s* target, quint16* outCount);
    // Replaces the list with the section's data items in wire order. An item
    // that runs past the end of the section ends the list (logged); the
    // items before it are kept.
    static bool handleSectionCore(quint16 type, quint16 length, const QByteArray& section,
                                  std::vector<tup::core_tmp>* target, quint16* outCount);

    // State, read by the kiosk's diagnostics and by tests.
    bool isAttached() const { return hasPacketSender; }
    QHostAddress attendedSender() const { return packetSender; }
    quint32 lastSequence() const { return lastSeqno; }
    const tup::devinfo_s& lastDevInfo() const { return last_devinfo; }
    const tup::gpiostate_s& lastGpioState() const { return last_gpiostate; }
    const tup::gpiostate_s& blinkGpioState() const { return blink_gpiostate; }
    const tup::netcfg_s& lastNetCfg() const { return last_netcfg; }
    const tup::snmpcfg_s& lastSnmpCfg() const { return last_snmpcfg; }
    const tup::modbuscfg_s& lastModbusCfg() const { return last_modbuscfg; }
    const std::vector<tup::core_tmp>& itemList() const { return m_itemList; }
    // The port actually bound (useful when 0 asked for an ephemeral one).
    quint16 boundPort() const;

signals:
    void finished();

public slots:
    void processDatagrams();
    void stop();
    void packetTimeout();
    void blinkFastTimeout();
    void blinkSlowTimeout();

private:
    void initializeGPIO(quint32 pin, bool activeHigh);
    void handleGPIO(quint32 pin, int value);
    void initializeGPIOs();
    void applyGpioState(const tup::gpiostate_s& state);
    void toggleBlinking(quint8 code);
    void addK3P();
    void removeK3P();

    QUdpSocket* udpSocket = nullptr;
    QString listenAddr;
    quint16 listenPort = 0;
    FrontLinkTarget* main_window = nullptr;
    quint32 lastSeqno = 0;
    bool hasPacketSender = false;
    QHostAddress packetSender;
    QTimer* packetTimer = nullptr;
    QTimer* blinkFastTimer = nullptr;
    QTimer* blinkSlowTimer = nullptr;
    tup::devinfo_s last_devinfo;
    tup::netcfg_s last_netcfg;
    tup::modbuscfg_s last_modbuscfg;
    tup::gpiostate_s last_gpiostate;
    tup::snmpcfg_s last_snmpcfg;
    tup::gpiostate_s blink_gpiostate;
    std::vector<tup::core_tmp> m_itemList;
    ModbusInterface modbusInterface;
    // Silence window of the watchdog, from the settings.
    static constexpr int defaultWatchdogSeconds = 10;
    int watchdogSeconds = defaultWatchdogSeconds;
};

} // namespace Tessal

#endif
