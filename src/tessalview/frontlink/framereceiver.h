#ifndef TESSAL_FRAMERECEIVER_H
#define TESSAL_FRAMERECEIVER_H

#include "framecheck.h"
#include "tupmetatypes.h"
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

// Receives TUP frames and checks them by libtup's rules (the ones tupwatch
// applies), attaches to a sender, walks and decodes the sections and says
// what it decoded through its signals. It knows nothing of LEDs, scripts,
// registers or windows. A silence watchdog detaches a sender that stops
// talking.
//
// Whom it attaches to is decided once, at init(), by `[Network]
// DeviceAddress`: empty, the first sender whose frame passes the checks
// (trust on first use, and again after each silence); an address, that
// device only, before the first contact and after a silence alike; anything
// else, nobody at all.
class FrameReceiver : public QObject
{
    Q_OBJECT

public:
    FrameReceiver(const QString& listenAddr, quint16 port, QObject* parent = nullptr);

    // Creates the socket and the watchdog and reads the silence window.
    void init();
    // Listens: binds the socket (a failed bind is logged, not fatal).
    void bindSocket();
    // Stops the watchdog and closes the socket.
    void stop();

    // Validates and processes one datagram. Once the checksum has been
    // checked the byte array is shortened by the two checksum bytes.
    void handleData(QByteArray* datagram, QHostAddress* sender);
    void processDatagrams();
    // The watchdog's end: detaches the sender and says so (senderLost).
    void packetTimeout();

    // Who may attach, from the settings read by init().
    enum class Trust { FirstSender, Pinned, Nobody };
    Trust trust() const { return trustMode; }
    QHostAddress pinnedDevice() const { return pinned; }
    // True when `sender` is the device `pin` names. A pin without a zone
    // (fe80::1) names the device on whichever link it speaks from: the
    // sender's zone (fe80::1%eth1) is then left out of the comparison.
    static bool isPinnedSender(const QHostAddress& pin, const QHostAddress& sender);

    bool isAttached() const { return link.hasPacketSender; }
    QHostAddress attendedSender() const { return packetSender; }
    quint32 lastSequence() const { return link.lastSeqno; }
    const std::vector<tup::core_tmp>& itemList() const { return m_itemList; }
    int watchdogWindowSeconds() const { return watchdogSeconds; }
    // The port actually bound (useful when 0 asked for an ephemeral one).
    quint16 boundPort() const;

signals:
    // A frame passed the checks (before its sections take effect).
    void frameAccepted(quint32 seqno, const QHostAddress& sender);
    // A frame was dropped by the check `check` (tup::FrameCheck).
    void frameDropped(int check, const QHostAddress& sender);
    // After an accepted frame, one signal per section that decoded, in this
    // order: DevInfo, GpioState, SnmpCfg, NetCfg, Core, ModbusCfg; then
    // firstContact when the frame attached its sender.
    void devInfoDecoded(const tup::devinfo_s& devinfo);
    void gpioStateDecoded(const tup::gpiostate_s& gpiostate);
    void snmpCfgDecoded(const tup::snmpcfg_s& snmpcfg);
    void netCfgDecoded(const tup::netcfg_s& netcfg);
    void coreItemsDecoded(const std::vector<tup::core_tmp>& items);
    void modbusCfgDecoded(const tup::modbuscfg_s& modbuscfg);
    void firstContact(const QHostAddress& sender);
    // The watchdog detached `sender`.
    void senderLost(const QHostAddress& sender);
    // The socket was closed under the receiver.
    void socketClosed();

private:
    QUdpSocket* udpSocket = nullptr;
    QTimer* packetTimer = nullptr;
    QString listenAddr;
    quint16 listenPort = 0;
    tup::link_state_s link;
    QHostAddress packetSender;
    std::vector<tup::core_tmp> m_itemList;
    Trust trustMode = Trust::FirstSender;
    QHostAddress pinned;
    // Silence window of the watchdog, from the settings.
    static constexpr int defaultWatchdogSeconds = 10;
    int watchdogSeconds = defaultWatchdogSeconds;
};

} // namespace Tessal

#endif
