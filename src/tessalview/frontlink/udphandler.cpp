#include "udphandler.h"

#include "clock.h"
#include "configapply.h"
#include "framecheck.h"
#include "frontlinktarget.h"
#include "sectiondecoders.h"
#include "sectionwalker.h"
#include "settings.h"
#include "sysfs.h"
#include "systempath.h"
#include "tupwire.h"

#include <QDebug>
#include <QFileInfo>
#include <QTimer>
#include <QUdpSocket>

#include <algorithm>

namespace Tessal
{

namespace
{

// The four indicators in their fixed order: good (green), warning (yellow),
// critical (red), buzzer.
constexpr int indicatorCount = 4;
constexpr uint8_t tup::gpiostate_s::*indicatorField[indicatorCount] = {
    &tup::gpiostate_s::good, &tup::gpiostate_s::warning, &tup::gpiostate_s::critical,
    &tup::gpiostate_s::buzzer};

quint32 indicatorPin(int i)
{
    switch (i) {
    case 0:
        return Settings::getGPIOLedGreenPin();
    case 1:
        return Settings::getGPIOLedYellowPin();
    case 2:
        return Settings::getGPIOLedRedPin();
    default:
        return Settings::getGPIOBuzzerPin();
    }
}

bool indicatorActiveHigh(int i)
{
    switch (i) {
    case 0:
        return Settings::getGPIOLedGreenHigh();
    case 1:
        return Settings::getGPIOLedYellowHigh();
    case 2:
        return Settings::getGPIOLedRedHigh();
    default:
        return Settings::getGPIOBuzzerHigh();
    }
}

QString gpioDir(quint32 pin)
{
    return SystemPath::systemPath(QString("/sys/class/gpio/gpio%1").arg(pin));
}

// An IPv4 peer seen through a dual-stack socket arrives as ::ffff:a.b.c.d;
// the device is addressed (and its pages loaded) by its plain IPv4 form.
QHostAddress plainAddress(const QHostAddress& address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : address;
}

// The window builds file paths and URLs from the language: only a plain
// code ("en", "pt-br", "zh_TW") is handed on.
bool isLanguageCode(const QString& lang)
{
    for (const QChar c : lang) {
        const ushort u = c.unicode();
        const bool ok = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') ||
                        (u >= '0' && u <= '9') || u == '-' || u == '_';
        if (!ok)
            return false;
    }
    return !lang.isEmpty();
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
        qWarning().noquote() << failure;
    else
        qDebug().noquote() << failure;
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
        qDebug().noquote() << tup::decodeStatusText(status);
        return false;
    }
    *target = std::move(record);
    if (outCount != nullptr)
        *outCount = length;
    return true;
}

} // namespace

UdpHandler::UdpHandler(const QString& listenAddr, quint16 port, FrontLinkTarget* mainWindow,
                       QObject* parent)
    : QObject(parent), listenAddr(listenAddr), listenPort(port), main_window(mainWindow)
{
    hasPacketSender = false;
}

UdpHandler::~UdpHandler() = default;

void UdpHandler::init()
{
    udpSocket = new QUdpSocket(this);
    packetTimer = new QTimer(this);
    blinkFastTimer = new QTimer(this);
    blinkSlowTimer = new QTimer(this);
    packetTimer->setObjectName("packetTimer");
    packetTimer->setTimerType(Qt::PreciseTimer);
    blinkFastTimer->setObjectName("blinkFastTimer");
    blinkSlowTimer->setObjectName("blinkSlowTimer");
    lastSeqno = 0;
    // A time-out of 0 (also what a mistyped value reads as) would detach the
    // device right after every frame: it would be registered again, its
    // first page reloaded and the error page shown on every frame.
    watchdogSeconds = Settings::getNetUdpTimeout();
    if (watchdogSeconds == 0) {
        watchdogSeconds = defaultWatchdogSeconds;
        qDebug().noquote() << QString("%1 - UDP time-out of 0 s is not usable, using %2 s")
                                  .arg(Clock::now())
                                  .arg(watchdogSeconds);
    }

    if (!modbusInterface.LoadConfig(Settings::getModbusMap()))
        qDebug().noquote() << "Failed to load modbus map";
    if (modbusInterface.GenerateDbusInit(Settings::getFilesTmpCfgDir())) {
        modbusInterface.DbusStopMonitor();
        modbusInterface.DbusStartMonitor(Settings::getFilesTmpCfgDir());
    } else {
        qDebug().noquote() << "Failed to load modbus map";
    }

    connect(udpSocket, &QUdpSocket::readyRead, this, &UdpHandler::processDatagrams);
    connect(udpSocket, &QUdpSocket::disconnected, this, &UdpHandler::stop);
    connect(this, &UdpHandler::finished, udpSocket, &QObject::deleteLater);
    connect(this, &UdpHandler::finished, this, &QObject::deleteLater);
    connect(packetTimer, &QTimer::timeout, this, &UdpHandler::packetTimeout);
    connect(blinkFastTimer, &QTimer::timeout, this, &UdpHandler::blinkFastTimeout);
    connect(blinkSlowTimer, &QTimer::timeout, this, &UdpHandler::blinkSlowTimeout);

    qDebug().noquote().nospace() << "UDP listen " << listenAddr << ":" << listenPort;
    // A unit that cannot receive frames looks dead; say why in the log
    // rather than claim the socket is bound.
    if (udpSocket->bind(QHostAddress(listenAddr), listenPort))
        qDebug().noquote() << "UDP bound";
    else
        qDebug().noquote().nospace() << "UDP bind failed on " << listenAddr << ":" << listenPort
                                     << ": " << udpSocket->errorString();

    last_snmpcfg.port = 161;
    last_snmpcfg.port_trap = 162;
    last_modbuscfg.tcp_port = 502;
    last_netcfg.resetcfg = true;
    last_snmpcfg.resetcfg = true;
    last_modbuscfg.resetcfg = true;

    // Until the device says otherwise, all three LEDs blink slowly together
    // and the buzzer is silent.
    qDebug().noquote() << "Initialize GPIOs";
    initializeGPIOs();
    qDebug().noquote() << "All LEDs on, Buzzer off";
    handleGPIO(Settings::getGPIOLedGreenPin(), 1);
    handleGPIO(Settings::getGPIOLedYellowPin(), 1);
    handleGPIO(Settings::getGPIOLedRedPin(), 1);
    handleGPIO(Settings::getGPIOBuzzerPin(), 0);
    last_gpiostate = {2, 2, 2, 0};
    blink_gpiostate = {1, 1, 1, 0};
    blinkFastTimer->start(250);
    blinkSlowTimer->start(1000);
}

quint16 UdpHandler::boundPort() const
{
    return udpSocket != nullptr ? udpSocket->localPort() : 0;
}

void UdpHandler::processDatagrams()
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

void UdpHandler::handleData(QByteArray* datagram, QHostAddress* sender)
{
    if (datagram == nullptr || sender == nullptr)
        return;
    const QHostAddress from = plainAddress(*sender);
    const std::string fromText = from.toString().toStdString();

    tup::link_state_s link;
    link.hasPacketSender = hasPacketSender;
    if (hasPacketSender)
        link.packetSender = packetSender.toString().toStdString();
    link.lastSeqno = lastSeqno;

    const tup::frame_check_s check =
        tup::checkFrame(bytesOf(*datagram), static_cast<size_t>(datagram->size()), fromText, link);
    if (check.crcPresent && check.receivedCrc == check.computedCrc)
        datagram->chop(static_cast<int>(tup::TUP_CRC_SIZE));
    for (const std::string& line : check.log)
        qDebug().noquote() << QString::fromStdString(line);
    if (!check.accepted())
        return;

    // Accepted: the watchdog starts over.
    if (packetTimer != nullptr) {
        packetTimer->setSingleShot(true);
        packetTimer->start(watchdogSeconds * 1000);
    }

    // Decoded records and result flags of this frame only; a later section
    // of the same type overwrites an earlier one.
    tup::devinfo_s devinfo;
    tup::gpiostate_s gpiostate;
    tup::netcfg_s netcfg;
    tup::snmpcfg_s snmpcfg;
    tup::modbuscfg_s modbuscfg;
    bool devinfoOk = false, gpiostateOk = false, netcfgOk = false, snmpcfgOk = false,
         modbuscfgOk = false, coreOk = false;

    auto decode = [&](const tup::section_view_s& v) -> bool {
        const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(v.bytes),
                                                         static_cast<int>(v.size));
        quint16 count = 0;
        switch (v.type) {
        case tup::SECT_DEVINFO:
            return devinfoOk = handleSectionDevInfo(v.type, v.length, bytes, &devinfo, &count);
        case tup::SECT_GPIOSTATE:
            return gpiostateOk =
                       handleSectionGpioState(v.type, v.length, bytes, &gpiostate, &count);
        case tup::SECT_NETCFG:
            return netcfgOk = handleSectionNetCfg(v.type, v.length, bytes, &netcfg, &count);
        case tup::SECT_SNMPCFG:
            return snmpcfgOk = handleSectionSnmpCfg(v.type, v.length, bytes, &snmpcfg, &count);
        case tup::SECT_MODBUSCFG:
            return modbuscfgOk =
                       handleSectionModbusCfg(v.type, v.length, bytes, &modbuscfg, &count);
        case tup::SECT_CORE:
            return coreOk = handleSectionCore(v.type, v.length, bytes, &m_itemList, &count);
        default:
            return false;
        }
    };
    auto log = [](const std::string& line) { qDebug().noquote() << QString::fromStdString(line); };
    tup::walkSections(bytesOf(*datagram), static_cast<size_t>(datagram->size()), decode, log);

    lastSeqno = check.header.seqno;
    if (!hasPacketSender)
        packetSender = from;

    if (devinfoOk) {
        if (!devinfo.lang.empty() && main_window != nullptr) {
            const QString lang = QString::fromLatin1(devinfo.lang.c_str());
            if (isLanguageCode(lang))
                main_window->setLanguage(lang);
            else
                qDebug().noquote()
                    << "DevInfo language '" +
                           QString::fromLatin1(
                               QByteArray::fromStdString(devinfo.lang).toPercentEncoding()) +
                           "' is not a language code, language unchanged";
        }
        last_devinfo = devinfo;
    }
    if (gpiostateOk)
        applyGpioState(gpiostate);
    if (snmpcfgOk)
        ConfigApply::updateSnmpCfg(last_snmpcfg, snmpcfg);
    if (netcfgOk)
        ConfigApply::updateNetCfg(last_netcfg, netcfg);
    if (coreOk) {
        const QVector<int> tables = modbusInterface.CheckTableToUpdate(m_itemList);
        const QVector<MbRawData_s> raw = modbusInterface.ComputeRawData(tables);
        const QString query = modbusInterface.GenerateDbusUpdateQuery(raw);
        modbusInterface.DbusUpdateRegisters(query);
    }
    if (modbuscfgOk)
        ConfigApply::updateModbusCfg(last_modbuscfg, modbuscfg);

    if (!hasPacketSender) {
        hasPacketSender = true;
        packetSender = from;
        const QString address = from.toString();
        qDebug().noquote() << "First frame, try to connect to the web server at " + address;
        addK3P();
        const QString url = "http://" + address + "/index.html";
        if (main_window != nullptr) {
            main_window->setDefaultUrl(url);
            main_window->openUrlForce(url, true);
        }
    }
}

void UdpHandler::stop()
{
    if (blinkFastTimer != nullptr)
        blinkFastTimer->stop();
    if (blinkSlowTimer != nullptr)
        blinkSlowTimer->stop();
    if (packetTimer != nullptr)
        packetTimer->stop();
    qDebug().noquote() << "UDP stop";
    if (udpSocket != nullptr) {
        disconnect(udpSocket, &QUdpSocket::readyRead, this, &UdpHandler::processDatagrams);
        udpSocket->close();
    }
    emit finished();
}

void UdpHandler::packetTimeout()
{
    qDebug().noquote() << QString("No packet received within the %1s window, unregister %2")
                              .arg(watchdogSeconds)
                              .arg(packetSender.toString());
    hasPacketSender = false;
    lastSeqno = 0;
    removeK3P();
    if (main_window != nullptr)
        main_window->displayError(main_window->getLanguage());

    // Lost link: the three LEDs blink fast together; the buzzer keeps its
    // state.
    for (int i = 0; i < 3; ++i) {
        handleGPIO(indicatorPin(i), 1);
        last_gpiostate.*indicatorField[i] = 3;
        blink_gpiostate.*indicatorField[i] = 1;
    }
}

void UdpHandler::blinkFastTimeout()
{
    toggleBlinking(3);
}

void UdpHandler::blinkSlowTimeout()
{
    toggleBlinking(2);
}

void UdpHandler::toggleBlinking(quint8 code)
{
    for (int i = 0; i < indicatorCount; ++i) {
        if (last_gpiostate.*indicatorField[i] != code)
            continue;
        uint8_t& phase = blink_gpiostate.*indicatorField[i];
        phase = phase ? 0 : 1;
        handleGPIO(indicatorPin(i), phase);
    }
}

void UdpHandler::applyGpioState(const tup::gpiostate_s& state)
{
    // A change re-exports and re-configures the pin first; a change to a
    // blink code starts the blink in the on phase.
    for (int i = 0; i < indicatorCount; ++i) {
        const uint8_t code = state.*indicatorField[i];
        if (code != last_gpiostate.*indicatorField[i]) {
            initializeGPIO(indicatorPin(i), indicatorActiveHigh(i));
            handleGPIO(indicatorPin(i), code);
            blink_gpiostate.*indicatorField[i] = code != 0 ? 1 : 0;
        }
    }
    // Steady states are rewritten on every frame.
    for (int i = 0; i < indicatorCount; ++i) {
        const uint8_t code = state.*indicatorField[i];
        if (code == 0 || code == 1) {
            handleGPIO(indicatorPin(i), code);
            blink_gpiostate.*indicatorField[i] = code;
        }
    }
    last_gpiostate = state;
}

void UdpHandler::initializeGPIO(quint32 pin, bool activeHigh)
{
    const QString dir = gpioDir(pin);
    if (!QFileInfo::exists(dir)) {
        const QString exportFile = SystemPath::systemPath("/sys/class/gpio/export");
        if (QFileInfo::exists(exportFile))
            SysfsFile::echo(exportFile, static_cast<int>(pin));
    }
    if (QFileInfo::exists(dir + "/direction"))
        SysfsFile::echo(dir + "/direction", QString("out"));
    if (QFileInfo::exists(dir + "/active_low"))
        SysfsFile::echo(dir + "/active_low", activeHigh ? 0 : 1);
}

void UdpHandler::handleGPIO(quint32 pin, int value)
{
    const QString file = gpioDir(pin) + "/value";
    if (QFileInfo::exists(file))
        SysfsFile::echo(file, value != 0 ? 1 : 0);
}

void UdpHandler::initializeGPIOs()
{
    for (int i = 0; i < indicatorCount; ++i)
        initializeGPIO(indicatorPin(i), indicatorActiveHigh(i));
}

void UdpHandler::addK3P()
{
    ConfigApply::addK3P(packetSender.toString());
}

void UdpHandler::removeK3P()
{
    ConfigApply::removeK3P(packetSender.toString());
}

QByteArray UdpHandler::getBytes(const QByteArray& frame, int offset, int count)
{
    QByteArray bytes = getBytesReverse(frame, offset, count);
    std::reverse(bytes.begin(), bytes.end());
    return bytes;
}

QByteArray UdpHandler::getBytesReverse(const QByteArray& frame, int offset, int count)
{
    if (offset < 0 || count <= 0 || offset >= frame.size())
        return QByteArray();
    return frame.mid(offset, std::min(count, frame.size() - offset));
}

bool UdpHandler::handleSectionDevInfo(quint16 type, quint16 length, const QByteArray& section,
                                      tup::devinfo_s* target, quint16* outCount)
{
    return decodeFixed(type, tup::SECT_DEVINFO, length, tup::SECT_DEVINFO_SIZE, section, target,
                       outCount, tup::decodeDevInfo);
}

bool UdpHandler::handleSectionGpioState(quint16 type, quint16 length, const QByteArray& section,
                                        tup::gpiostate_s* target, quint16* outCount)
{
    return decodeFixed(type, tup::SECT_GPIOSTATE, length, tup::SECT_GPIOSTATE_SIZE, section, target,
                       outCount, tup::decodeGpioState);
}

bool UdpHandler::handleSectionNetCfg(quint16 type, quint16 length, const QByteArray& section,
                                     tup::netcfg_s* target, quint16* outCount)
{
    return decodeFixed(type, tup::SECT_NETCFG, length, tup::SECT_NETCFG_SIZE, section, target,
                       outCount, tup::decodeNetCfg);
}

bool UdpHandler::handleSectionSnmpCfg(quint16 type, quint16 length, const QByteArray& section,
                                      tup::snmpcfg_s* target, quint16* outCount)
{
    return decodeFixed(type, tup::SECT_SNMPCFG, length, tup::SECT_SNMPCFG_SIZE, section, target,
                       outCount, tup::decodeSnmpCfg);
}

bool UdpHandler::handleSectionModbusCfg(quint16 type, quint16 length, const QByteArray& section,
                                        tup::modbuscfg_s* target, quint16* outCount)
{
    return decodeFixed(type, tup::SECT_MODBUSCFG, length, tup::SECT_MODBUSCFG_SIZE, section, target,
                       outCount, tup::decodeModbusCfg);
}

bool UdpHandler::handleSectionCore(quint16 type, quint16 length, const QByteArray& section,
                                   std::vector<tup::core_tmp>* target, quint16* outCount)
{
    // A Core section has no minimum length: a length field short of the
    // bytes handed over is a size mismatch like any other.
    if (!checkSection(type, tup::SECT_CORE, length, 0, section, target, true))
        return false;
    const size_t head = tup::TUP_SECTION_HEAD;
    if (length < head) {
        // Only a caller handing over fewer bytes than a section head gets here.
        qWarning().noquote() << "Too short";
        return false;
    }
    std::vector<tup::core_tmp> items;
    if (!tup::parseCoreItems(bytesOf(section) + head, static_cast<size_t>(length) - head, items))
        qWarning().noquote() << QString("Core item %1 runs past the end of the section. Stop "
                                        "item list")
                                    .arg(items.size() + 1);
    target->swap(items);
    if (outCount != nullptr)
        *outCount = length;
    return true;
}

} // namespace Tessal
