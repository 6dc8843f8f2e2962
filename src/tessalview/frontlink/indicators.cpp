#include "indicators.h"

#include "logging.h"
#include "settings.h"
#include "sysfs.h"
#include "systempath.h"

#include <QDebug>
#include <QFileInfo>
#include <QTimer>

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

} // namespace

Indicators::Indicators(QObject* parent) : QObject(parent) {}

void Indicators::start()
{
    blinkFastTimer = new QTimer(this);
    blinkSlowTimer = new QTimer(this);
    blinkFastTimer->setObjectName("blinkFastTimer");
    blinkSlowTimer->setObjectName("blinkSlowTimer");
    connect(blinkFastTimer, &QTimer::timeout, this, &Indicators::blinkFastTimeout);
    connect(blinkSlowTimer, &QTimer::timeout, this, &Indicators::blinkSlowTimeout);

    // Until the device says otherwise, all three LEDs blink slowly together
    // and the buzzer is silent.
    qCInfo(lcFrontLink).noquote() << "Initialize GPIOs";
    initializeGPIOs();
    qCInfo(lcFrontLink).noquote() << "All LEDs on, Buzzer off";
    handleGPIO(Settings::getGPIOLedGreenPin(), 1);
    handleGPIO(Settings::getGPIOLedYellowPin(), 1);
    handleGPIO(Settings::getGPIOLedRedPin(), 1);
    handleGPIO(Settings::getGPIOBuzzerPin(), 0);
    last_gpiostate = {2, 2, 2, 0};
    blink_gpiostate = {1, 1, 1, 0};
    blinkFastTimer->start(250);
    blinkSlowTimer->start(1000);
}

void Indicators::stop()
{
    if (blinkFastTimer != nullptr)
        blinkFastTimer->stop();
    if (blinkSlowTimer != nullptr)
        blinkSlowTimer->stop();
}

void Indicators::showLinkLost()
{
    for (int i = 0; i < 3; ++i) {
        handleGPIO(indicatorPin(i), 1);
        last_gpiostate.*indicatorField[i] = 3;
        blink_gpiostate.*indicatorField[i] = 1;
    }
}

void Indicators::blinkFastTimeout()
{
    toggleBlinking(3);
}

void Indicators::blinkSlowTimeout()
{
    toggleBlinking(2);
}

void Indicators::toggleBlinking(quint8 code)
{
    for (int i = 0; i < indicatorCount; ++i) {
        if (last_gpiostate.*indicatorField[i] != code)
            continue;
        uint8_t& phase = blink_gpiostate.*indicatorField[i];
        phase = phase ? 0 : 1;
        handleGPIO(indicatorPin(i), phase);
    }
}

void Indicators::apply(const tup::gpiostate_s& state)
{
    for (int i = 0; i < indicatorCount; ++i) {
        const uint8_t code = state.*indicatorField[i];
        if (code != last_gpiostate.*indicatorField[i]) {
            initializeGPIO(indicatorPin(i), indicatorActiveHigh(i));
            handleGPIO(indicatorPin(i), code);
            blink_gpiostate.*indicatorField[i] = code != 0 ? 1 : 0;
        }
    }
    for (int i = 0; i < indicatorCount; ++i) {
        const uint8_t code = state.*indicatorField[i];
        if (code == 0 || code == 1) {
            handleGPIO(indicatorPin(i), code);
            blink_gpiostate.*indicatorField[i] = code;
        }
    }
    last_gpiostate = state;
}

void Indicators::initializeGPIO(quint32 pin, bool activeHigh)
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

void Indicators::handleGPIO(quint32 pin, int value)
{
    const QString file = gpioDir(pin) + "/value";
    if (QFileInfo::exists(file))
        SysfsFile::echo(file, value != 0 ? 1 : 0);
}

void Indicators::initializeGPIOs()
{
    for (int i = 0; i < indicatorCount; ++i)
        initializeGPIO(indicatorPin(i), indicatorActiveHigh(i));
}

} // namespace Tessal
