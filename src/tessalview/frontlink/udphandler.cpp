#include "udphandler.h"

#include "deviceorigin.h"
#include "framereceiver.h"
#include "frontlinktarget.h"
#include "indicators.h"
#include "logging.h"
#include "registerroad.h"

#include <QDebug>

#include <algorithm>

namespace Tessal
{

UdpHandler::UdpHandler(const QString& listenAddr, quint16 port, FrontLinkTarget* mainWindow,
                       QObject* parent)
    : QObject(parent), receiver(new FrameReceiver(listenAddr, port, this)),
      indicators(new Indicators(this)), registerRoad(new RegisterRoad(this)),
      main_window(mainWindow), language(mainWindow)
{
}

UdpHandler::~UdpHandler() = default;

void UdpHandler::init()
{
    receiver->init();
    registerRoad->start();

    // What the receiver decoded goes to the piece whose job it is, in the
    // order the receiver says it: DevInfo, GpioState, SnmpCfg, NetCfg, Core,
    // ModbusCfg, then first contact.
    connect(receiver, &FrameReceiver::devInfoDecoded, this,
            [this](const tup::devinfo_s& d) { language.apply(d); });
    connect(receiver, &FrameReceiver::gpioStateDecoded, indicators, &Indicators::apply);
    connect(receiver, &FrameReceiver::snmpCfgDecoded, this,
            [this](const tup::snmpcfg_s& s) { config.applySnmpCfg(s); });
    connect(receiver, &FrameReceiver::netCfgDecoded, this,
            [this](const tup::netcfg_s& n) { config.applyNetCfg(n); });
    connect(receiver, &FrameReceiver::coreItemsDecoded, registerRoad, &RegisterRoad::update);
    connect(receiver, &FrameReceiver::modbusCfgDecoded, this,
            [this](const tup::modbuscfg_s& m) { config.applyModbusCfg(m); });
    connect(receiver, &FrameReceiver::firstContact, this, [this](const QHostAddress& sender) {
        const QString address = sender.toString();
        config.deviceAttached(address);
        const QString url = DeviceOrigin::startUrlFor(address);
        if (main_window != nullptr) {
            main_window->setDefaultUrl(url);
            main_window->openUrlForce(url, true);
        }
    });
    connect(receiver, &FrameReceiver::senderLost, this, [this](const QHostAddress& sender) {
        config.deviceLost(sender.toString());
        if (main_window != nullptr)
            main_window->displayError(main_window->getLanguage());
        indicators->showLinkLost();
    });
    connect(receiver, &FrameReceiver::socketClosed, this, &UdpHandler::stop);
    connect(this, &UdpHandler::finished, this, &QObject::deleteLater);

    receiver->bindSocket();
    config.resetToDefaults();
    indicators->start();
}

void UdpHandler::stop()
{
    indicators->stop();
    receiver->stop();
    qCDebug(lcFrontLink).noquote() << "UDP stop";
    emit finished();
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

} // namespace Tessal
