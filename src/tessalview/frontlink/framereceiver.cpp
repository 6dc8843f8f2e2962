#include "framereceiver.h"

#include "logging.h"
#include "sectiondecoders.h"
#include "sectionvisitor.h"
#include "settings.h"
#include "tupwire.h"

#include <QDebug>
#include <QTimer>
#include <QUdpSocket>

#include <algorithm>
#include <optional>

namespace Tessal
{

namespace
{

// An IPv4 peer seen through a dual-stack socket arrives as ::ffff:a.b.c.d;
// the device is addressed (and its pages loaded) by its plain IPv4 form.
QHostAddress plainAddress(const QHostAddress& address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : address;
}

const uint8_t* bytesOf(const QByteArray& a)
{
    return reinterpret_cast<const uint8_t*>(a.constData());
}

// What one accepted frame brought, gathered while libtup's visitor walks
// it: each kind's record (a later section of the same kind overwrites an
// earlier one), acted upon after the walk. The walk's lines and the
// decoders' reasons are logged here, in the walk's order.
struct FrameSections : tup::SectionVisitor {
    std::optional<tup::devinfo_s> devinfo;
    std::optional<tup::gpiostate_s> gpiostate;
    std::optional<tup::netcfg_s> netcfg;
    std::optional<tup::snmpcfg_s> snmpcfg;
    std::optional<tup::modbuscfg_s> modbuscfg;
    std::optional<std::vector<tup::core_tmp>> core;

    void onDevInfo(const tup::section_view_s&, const tup::devinfo_s& r) override { devinfo = r; }
    void onGpioState(const tup::section_view_s&, const tup::gpiostate_s& r) override
    {
        gpiostate = r;
    }
    void onNetCfg(const tup::section_view_s&, const tup::netcfg_s& r) override { netcfg = r; }
    void onSnmpCfg(const tup::section_view_s&, const tup::snmpcfg_s& r) override { snmpcfg = r; }
    void onModbusCfg(const tup::section_view_s&, const tup::modbuscfg_s& r) override
    {
        modbuscfg = r;
    }
    void onCore(const tup::section_view_s&, const std::vector<tup::core_tmp>& items) override
    {
        core = items;
    }
    // An item that runs past the end of the section ends the list; the items
    // before it still reach the registers.
    bool acceptTruncatedCore(const tup::section_view_s&,
                             const std::vector<tup::core_tmp>& itemsBefore) override
    {
        qCWarning(lcFrontLink).noquote()
            << QString("Core item %1 runs past the end of the section. Stop item list")
                   .arg(itemsBefore.size() + 1);
        return true;
    }
    void onSectionError(const tup::section_view_s& section, tup::SectionOutcome outcome,
                        tup::DecodeStatus status) override
    {
        // Unknown and skipped sections are said by the walk's own lines.
        if (outcome != tup::SectionOutcome::DecodeFailed)
            return;
        if (section.type == tup::SECT_CORE)
            qCWarning(lcFrontLink).noquote() << tup::decodeStatusText(status);
        else
            qCDebug(lcFrontLink).noquote() << tup::decodeStatusText(status);
    }
    void onLog(const std::string& line) override
    {
        qCDebug(lcFrontLink).noquote() << QString::fromStdString(line);
    }
    void onSectionDone(const tup::section_view_s& v, tup::SectionOutcome outcome) override
    {
        const char* name = tup::sectionName(v.type);
        qCDebug(lcFrames).noquote()
            << QString("Section %1 (type 0x%2, length %3) %4")
                   .arg(name != nullptr ? name : "unknown")
                   .arg(v.type, 2, 16, QChar('0'))
                   .arg(v.length)
                   .arg(outcome == tup::SectionOutcome::Decoded ? "decoded" : "not decoded");
    }
};

} // namespace

bool FrameReceiver::isPinnedSender(const QHostAddress& pin, const QHostAddress& sender)
{
    // QHostAddress's own comparison leaves zones out: they are compared
    // here, unless the pin names none.
    const QHostAddress from = plainAddress(sender);
    return from.isEqual(pin) && (pin.scopeId().isEmpty() || from.scopeId() == pin.scopeId());
}

FrameReceiver::FrameReceiver(const QString& listenAddr, quint16 port, QObject* parent)
    : QObject(parent), listenAddr(listenAddr), listenPort(port)
{
    registerTupMetaTypes();
}

void FrameReceiver::init()
{
    udpSocket = new QUdpSocket(this);
    packetTimer = new QTimer(this);
    packetTimer->setObjectName("packetTimer");
    packetTimer->setTimerType(Qt::PreciseTimer);
    link = tup::link_state_s();
    // A time-out of 0 (also what a mistyped value reads as) would detach the
    // device right after every frame: it would be registered again, its
    // first page reloaded and the error page shown on every frame.
    watchdogSeconds = Settings::getNetUdpTimeout();
    if (watchdogSeconds == 0) {
        watchdogSeconds = defaultWatchdogSeconds;
        qCInfo(lcFrontLink).noquote()
            << QString("UDP time-out of 0 s is not usable, using %1 s").arg(watchdogSeconds);
    }

    // Whom to trust, said once at start.
    const QString device = Settings::getNetDeviceAddress().trimmed();
    pinned = QHostAddress();
    if (device.isEmpty()) {
        trustMode = Trust::FirstSender;
        qCInfo(lcFrontLink).noquote()
            << "No device pinned: the first sender is trusted (trust on first use)";
    } else if (QHostAddress parsed; parsed.setAddress(device)) {
        trustMode = Trust::Pinned;
        pinned = plainAddress(parsed);
        qCInfo(lcFrontLink).noquote() << "Device pinned to " + pinned.toString();
    } else {
        // A typing error must not open the unit to the first sender.
        trustMode = Trust::Nobody;
        qCCritical(lcFrontLink).noquote()
            << QString("DeviceAddress '%1' is not an IP address: no device will be attached")
                   .arg(device);
    }
}

void FrameReceiver::bindSocket()
{
    connect(udpSocket, &QUdpSocket::readyRead, this, &FrameReceiver::processDatagrams);
    connect(udpSocket, &QUdpSocket::disconnected, this, &FrameReceiver::socketClosed);
    connect(packetTimer, &QTimer::timeout, this, &FrameReceiver::packetTimeout);

    qCDebug(lcFrontLink).noquote().nospace() << "UDP listen " << listenAddr << ":" << listenPort;
    // A unit that cannot receive frames looks dead; say why in the log
    // rather than claim the socket is bound.
    if (udpSocket->bind(QHostAddress(listenAddr), listenPort))
        qCDebug(lcFrontLink).noquote() << "UDP bound";
    else
        qCDebug(lcFrontLink).noquote().nospace() << "UDP bind failed on " << listenAddr << ":"
                                                 << listenPort << ": " << udpSocket->errorString();
}

void FrameReceiver::stop()
{
    if (packetTimer != nullptr)
        packetTimer->stop();
    if (udpSocket != nullptr) {
        // A close asked for here is not one "under the receiver": without
        // this, the owner would be told to stop a second time.
        disconnect(udpSocket, &QUdpSocket::readyRead, this, &FrameReceiver::processDatagrams);
        disconnect(udpSocket, &QUdpSocket::disconnected, this, &FrameReceiver::socketClosed);
        udpSocket->close();
    }
}

quint16 FrameReceiver::boundPort() const
{
    return udpSocket != nullptr ? udpSocket->localPort() : 0;
}

void FrameReceiver::processDatagrams()
{
    while (udpSocket != nullptr && udpSocket->hasPendingDatagrams()) {
        const qint64 size = udpSocket->pendingDatagramSize();
        QByteArray datagram(static_cast<int>(std::max<qint64>(size, 0)), Qt::Uninitialized);
        QHostAddress sender;
        const qint64 got = udpSocket->readDatagram(datagram.data(), datagram.size(), &sender);
        if (got < 0)
            break;
        datagram.resize(static_cast<int>(got));
        handleData(&datagram, &sender);
    }
}

void FrameReceiver::handleData(QByteArray* datagram, QHostAddress* sender)
{
    if (datagram == nullptr || sender == nullptr)
        return;
    const QHostAddress from = plainAddress(*sender);
    const std::string fromText = from.toString().toStdString();

    // A pinned device is the attended sender even while detached: the
    // sender check then drops everyone else, before the first contact and
    // after a silence alike. With a malformed pin no one is attended.
    tup::link_state_s expected = link;
    if (!expected.hasPacketSender && trustMode != Trust::FirstSender) {
        expected.hasPacketSender = true;
        if (trustMode == Trust::Nobody)
            expected.packetSender = "nobody";
        else if (isPinnedSender(pinned, from))
            expected.packetSender = fromText;
        else
            expected.packetSender = pinned.toString().toStdString();
    }
    const tup::frame_check_s check = tup::checkFrame(
        bytesOf(*datagram), static_cast<size_t>(datagram->size()), fromText, expected);
    if (check.crcPresent && check.receivedCrc == check.computedCrc)
        datagram->chop(static_cast<int>(tup::TUP_CRC_SIZE));
    for (const std::string& line : check.log)
        qCDebug(lcFrontLink).noquote() << QString::fromStdString(line);
    if (!check.accepted()) {
        emit frameDropped(check.failed, from);
        return;
    }

    // Accepted: the watchdog starts over.
    if (packetTimer != nullptr) {
        packetTimer->setSingleShot(true);
        packetTimer->start(watchdogSeconds * 1000);
    }

    FrameSections sections;
    const size_t walked =
        tup::visitSections(bytesOf(*datagram), static_cast<size_t>(datagram->size()), sections);
    qCDebug(lcFrames).noquote() << QString("Frame %1 from %2 accepted, %3 sections walked")
                                       .arg(check.header.seqno)
                                       .arg(from.toString())
                                       .arg(walked);
    if (sections.core)
        m_itemList = *sections.core;

    // The frame's sequence number is remembered and, on first contact, the
    // sender attended before anyone hears of the sections.
    const bool first = tup::acceptFrame(link, fromText, check);
    if (first)
        packetSender = from;
    emit frameAccepted(check.header.seqno, from);

    // The effects in the front link's fixed order, whatever the frame's.
    if (sections.devinfo)
        emit devInfoDecoded(*sections.devinfo);
    if (sections.gpiostate)
        emit gpioStateDecoded(*sections.gpiostate);
    if (sections.snmpcfg)
        emit snmpCfgDecoded(*sections.snmpcfg);
    if (sections.netcfg)
        emit netCfgDecoded(*sections.netcfg);
    if (sections.core)
        emit coreItemsDecoded(m_itemList);
    if (sections.modbuscfg)
        emit modbusCfgDecoded(*sections.modbuscfg);
    if (first) {
        qCDebug(lcFrontLink).noquote()
            << "First frame, try to connect to the web server at " + from.toString();
        emit firstContact(from);
    }
}

void FrameReceiver::packetTimeout()
{
    qCDebug(lcFrontLink).noquote()
        << QString("No packet received within the %1s window, unregister %2")
               .arg(watchdogSeconds)
               .arg(packetSender.toString());
    tup::detachSender(link);
    emit senderLost(packetSender);
}

} // namespace Tessal
