#include "udphandler.h"

#include "deviceorigin.h"
#include "framereceiver.h"
#include "frontlinktarget.h"
#include "indicators.h"
#include "logging.h"
#include "registerroad.h"

#include <QDebug>
#include <QPointer>

namespace Tessal
{

UdpHandler::UdpHandler(const QString& listenAddr, quint16 port, FrontLinkTarget* mainWindow,
                       QObject* parent, const FrontLinkLimits_s& limits)
    : QObject(parent), receiver(new FrameReceiver(listenAddr, port, this)),
      indicators(new Indicators(this)), registerRoad(new RegisterRoad(limits.scriptLimitMs, this)),
      scripts(new ScriptWatcher(limits.scriptLimitMs, this)),
      config(new ConfigApply(scripts, limits.configPeriodMs, this)), main_window(mainWindow),
      language(mainWindow)
{
}

UdpHandler::~UdpHandler() = default;

QString UdpHandler::devicePageUrl(const QHostAddress& device)
{
    return DeviceOrigin::startUrlFor(device.toString());
}

void UdpHandler::init()
{
    receiver->init();
    registerRoad->start();

    // What the receiver decoded goes to the piece whose job it is, in the
    // order the receiver says it: DevInfo, GpioState, SnmpCfg, NetCfg, Core,
    // ModbusCfg, then first contact. The receiver only passes on frames of
    // the attached device, so configuration records come from it alone.
    connect(receiver, &FrameReceiver::devInfoDecoded, this,
            [this](const tup::devinfo_s& d) { language.apply(d); });
    connect(receiver, &FrameReceiver::gpioStateDecoded, indicators, &Indicators::apply);
    connect(receiver, &FrameReceiver::snmpCfgDecoded, config, &ConfigApply::receiveSnmpCfg);
    connect(receiver, &FrameReceiver::netCfgDecoded, config, &ConfigApply::receiveNetCfg);
    connect(receiver, &FrameReceiver::coreItemsDecoded, registerRoad, &RegisterRoad::update);
    connect(receiver, &FrameReceiver::modbusCfgDecoded, config, &ConfigApply::receiveModbusCfg);
    connect(receiver, &FrameReceiver::firstContact, this, [this](const QHostAddress& sender) {
        // The device's pages are asked for once it is registered; the
        // script is watched, not waited for. A device lost meanwhile gets no
        // page: the error page stands.
        QPointer<FrameReceiver> guard(receiver);
        config->deviceAttached(sender.toString(), [this, guard, sender] {
            if (!guard || !guard->isAttached() || guard->attendedSender() != sender)
                return;
            const QString url = devicePageUrl(sender);
            if (main_window != nullptr) {
                main_window->setDefaultUrl(url);
                main_window->openUrlForce(url, true);
            }
        });
    });
    connect(receiver, &FrameReceiver::senderLost, this, [this](const QHostAddress& sender) {
        config->deviceLost(sender.toString());
        if (main_window != nullptr)
            main_window->displayError(main_window->getLanguage());
        indicators->showLinkLost();
    });
    connect(receiver, &FrameReceiver::socketClosed, this, &UdpHandler::stop);
    connect(this, &UdpHandler::finished, this, &QObject::deleteLater);

    receiver->bindSocket();
    config->resetToDefaults();
    indicators->start();
}

void UdpHandler::stop()
{
    indicators->stop();
    receiver->stop();
    qCDebug(lcFrontLink).noquote() << "UDP stop";
    emit finished();
}

} // namespace Tessal
