#include "framereceiver.h"

#include "clock.h"
#include "logging.h"
#include "sectiondecoders.h"
#include "sectionwalker.h"
#include "settings.h"
#include "tupwire.h"

#include <QDebug>
#include <QTimer>
#include <QUdpSocket>

#include <algorithm>

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

// The checks every section decoder makes before reading the payload, in
// their order: own type, minimum length, bytes handed over, target.
bool checkSection(quint16 type, quint16 ownType, quint16 length, quint16 minimum,
                  const QByteArray& section, const void* target, bool warning)
{
    const char* failure = nullptr;
    if (type != ownType)
        failure = "Bad type";
    else if (length < minimum)
        failure = "Too short";
    else if (section.size() != length)
        failure = "Payload size mismatch";
    else if (target == nullptr)
        failure = "Null pointer";
    if (failure == nullptr)
        return true;
    if (warning)
        qCWarning(lcFrontLink).noquote() << failure;
    else
        qCInfo(lcFrontLink).noquote() << failure;
    return false;
}

template <class Record, class Decode>
bool decodeFixed(quint16 type, quint16 ownType, quint16 length, quint16 minimum,
                 const QByteArray& section, Record* target, quint16* outCount, Decode decode)
{
    if (!checkSection(type, ownType, length, minimum, section, target, false))
        return false;
    Record record;
    const tup::DecodeStatus status =
        decode(bytesOf(section), static_cast<size_t>(section.size()), record);
    if (status != tup::DecodeStatus::Ok) {
        qCInfo(lcFrontLink).noquote() << tup::decodeStatusText(status);
        return false;
    }
    *target = std::move(record);
    if (outCount != nullptr)
        *outCount = length;
    return true;
}

// One decoded record of a frame and whether its section decoded. A later
// section of the same type overwrites an earlier one.
template <class Record> struct Decoded {
    Record record;
    bool ok = false;
};

} // namespace

FrameReceiver::FrameReceiver(const QString& listenAddr, quint16 port, QObject* parent)
    : QObject(parent), listenAddr(listenAddr), listenPort(port)
{
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
            << QString("%1 - UDP time-out of 0 s is not usable, using %2 s")
                   .arg(Clock::now())
                   .arg(watchdogSeconds);
    }
}

void FrameReceiver::bindSocket()
{
    connect(udpSocket, &QUdpSocket::readyRead, this, &FrameReceiver::processDatagrams);
    connect(udpSocket, &QUdpSocket::disconnected, this, &FrameReceiver::socketClosed);
    connect(packetTimer, &QTimer::timeout, this, &FrameReceiver::packetTimeout);

    qCInfo(lcFrontLink).noquote().nospace() << "UDP listen " << listenAddr << ":" << listenPort;
    // A unit that cannot receive frames looks dead; say why in the log
    // rather than claim the socket is bound.
    if (udpSocket->bind(QHostAddress(listenAddr), listenPort))
        qCInfo(lcFrontLink).noquote() << "UDP bound";
    else
        qCInfo(lcFrontLink).noquote().nospace() << "UDP bind failed on " << listenAddr << ":"
                                                << listenPort << ": " << udpSocket->errorString();
}

void FrameReceiver::stop()
{
    if (packetTimer != nullptr)
        packetTimer->stop();
    if (udpSocket != nullptr) {
        disconnect(udpSocket, &QUdpSocket::readyRead, this, &FrameReceiver::processDatagrams);
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

    const tup::frame_check_s check =
        tup::checkFrame(bytesOf(*datagram), static_cast<size_t>(datagram->size()), fromText, link);
    if (check.crcPresent && check.receivedCrc == check.computedCrc)
        datagram->chop(static_cast<int>(tup::TUP_CRC_SIZE));
    for (const std::string& line : check.log)
        qCInfo(lcFrontLink).noquote() << QString::fromStdString(line);
    if (!check.accepted())
        return;

    // Accepted: the watchdog starts over.
    if (packetTimer != nullptr) {
        packetTimer->setSingleShot(true);
        packetTimer->start(watchdogSeconds * 1000);
    }

    Decoded<tup::devinfo_s> devinfo;
    Decoded<tup::gpiostate_s> gpiostate;
    Decoded<tup::netcfg_s> netcfg;
    Decoded<tup::snmpcfg_s> snmpcfg;
    Decoded<tup::modbuscfg_s> modbuscfg;
    bool coreOk = false;
    auto decode = [&](const tup::section_view_s& v) -> bool {
        const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(v.bytes),
                                                         static_cast<int>(v.size));
        quint16 count = 0;
        switch (v.type) {
        case tup::SECT_DEVINFO:
            return devinfo.ok =
                       handleSectionDevInfo(v.type, v.length, bytes, &devinfo.record, &count);
        case tup::SECT_GPIOSTATE:
            return gpiostate.ok =
                       handleSectionGpioState(v.type, v.length, bytes, &gpiostate.record, &count);
        case tup::SECT_NETCFG:
            return netcfg.ok = handleSectionNetCfg(v.type, v.length, bytes, &netcfg.record, &count);
        case tup::SECT_SNMPCFG:
            return snmpcfg.ok =
                       handleSectionSnmpCfg(v.type, v.length, bytes, &snmpcfg.record, &count);
        case tup::SECT_MODBUSCFG:
            return modbuscfg.ok =
                       handleSectionModbusCfg(v.type, v.length, bytes, &modbuscfg.record, &count);
        case tup::SECT_CORE:
            return coreOk = handleSectionCore(v.type, v.length, bytes, &m_itemList, &count);
        default:
            return false;
        }
    };
    auto log = [](const std::string& line) {
        qCInfo(lcFrontLink).noquote() << QString::fromStdString(line);
    };
    auto report = [](const tup::section_view_s& v, tup::SectionOutcome outcome) {
        const char* name = tup::sectionName(v.type);
        qCDebug(lcFrontLink).noquote()
            << QString("Section %1 (type 0x%2, length %3) %4")
                   .arg(name != nullptr ? name : "unknown")
                   .arg(v.type, 2, 16, QChar('0'))
                   .arg(v.length)
                   .arg(outcome == tup::SectionOutcome::Decoded ? "decoded" : "not decoded");
    };
    const size_t sections = tup::walkSections(
        bytesOf(*datagram), static_cast<size_t>(datagram->size()), decode, log,
        lcFrontLink().isDebugEnabled() ? tup::SectionReport(report) : tup::SectionReport());
    qCDebug(lcFrontLink).noquote() << QString("Frame %1 from %2 accepted, %3 sections walked")
                                          .arg(check.header.seqno)
                                          .arg(from.toString())
                                          .arg(sections);

    // The frame's sequence number is remembered and, on first contact, the
    // sender attended before anyone hears of the sections.
    const bool first = tup::acceptFrame(link, fromText, check);
    if (first)
        packetSender = from;

    if (devinfo.ok)
        emit devInfoDecoded(devinfo.record);
    if (gpiostate.ok)
        emit gpioStateDecoded(gpiostate.record);
    if (snmpcfg.ok)
        emit snmpCfgDecoded(snmpcfg.record);
    if (netcfg.ok)
        emit netCfgDecoded(netcfg.record);
    if (coreOk)
        emit coreItemsDecoded(m_itemList);
    if (modbuscfg.ok)
        emit modbusCfgDecoded(modbuscfg.record);
    if (first) {
        qCInfo(lcFrontLink).noquote()
            << "First frame, try to connect to the web server at " + from.toString();
        emit firstContact(from);
    }
}

void FrameReceiver::packetTimeout()
{
    qCInfo(lcFrontLink).noquote() << QString(
                                         "No packet received within the %1s window, unregister %2")
                                         .arg(watchdogSeconds)
                                         .arg(packetSender.toString());
    tup::detachSender(link);
    emit senderLost(packetSender);
}

bool FrameReceiver::handleSectionDevInfo(quint16 type, quint16 length, const QByteArray& section,
                                         tup::devinfo_s* target, quint16* outCount)
{
    return decodeFixed(type, tup::SECT_DEVINFO, length, tup::SECT_DEVINFO_SIZE, section, target,
                       outCount, tup::decodeDevInfo);
}

bool FrameReceiver::handleSectionGpioState(quint16 type, quint16 length, const QByteArray& section,
                                           tup::gpiostate_s* target, quint16* outCount)
{
    return decodeFixed(type, tup::SECT_GPIOSTATE, length, tup::SECT_GPIOSTATE_SIZE, section, target,
                       outCount, tup::decodeGpioState);
}

bool FrameReceiver::handleSectionNetCfg(quint16 type, quint16 length, const QByteArray& section,
                                        tup::netcfg_s* target, quint16* outCount)
{
    return decodeFixed(type, tup::SECT_NETCFG, length, tup::SECT_NETCFG_SIZE, section, target,
                       outCount, tup::decodeNetCfg);
}

bool FrameReceiver::handleSectionSnmpCfg(quint16 type, quint16 length, const QByteArray& section,
                                         tup::snmpcfg_s* target, quint16* outCount)
{
    return decodeFixed(type, tup::SECT_SNMPCFG, length, tup::SECT_SNMPCFG_SIZE, section, target,
                       outCount, tup::decodeSnmpCfg);
}

bool FrameReceiver::handleSectionModbusCfg(quint16 type, quint16 length, const QByteArray& section,
                                           tup::modbuscfg_s* target, quint16* outCount)
{
    return decodeFixed(type, tup::SECT_MODBUSCFG, length, tup::SECT_MODBUSCFG_SIZE, section, target,
                       outCount, tup::decodeModbusCfg);
}

bool FrameReceiver::handleSectionCore(quint16 type, quint16 length, const QByteArray& section,
                                      std::vector<tup::core_tmp>* target, quint16* outCount)
{
    // A Core section has no minimum length: a length field short of the
    // bytes handed over is a size mismatch like any other.
    if (!checkSection(type, tup::SECT_CORE, length, 0, section, target, true))
        return false;
    const size_t head = tup::TUP_SECTION_HEAD;
    if (length < head) {
        // Only a caller handing over fewer bytes than a section head gets here.
        qCWarning(lcFrontLink).noquote() << "Too short";
        return false;
    }
    std::vector<tup::core_tmp> items;
    if (!tup::parseCoreItems(bytesOf(section) + head, static_cast<size_t>(length) - head, items))
        qCWarning(lcFrontLink).noquote()
            << QString("Core item %1 runs past the end of the section. Stop "
                       "item list")
                   .arg(items.size() + 1);
    target->swap(items);
    if (outCount != nullptr)
        *outCount = length;
    return true;
}

} // namespace Tessal
