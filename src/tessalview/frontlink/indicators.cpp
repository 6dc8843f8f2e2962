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
// critical (red), buzzer; each with its field in a gpiostate_s and its pin
// and polarity in the settings.
struct Indicator {
    uint8_t tup::gpiostate_s::*field;
    quint32 (*pin)();
    bool (*activeHigh)();
};
constexpr int indicatorCount = 4;
constexpr Indicator indicator[indicatorCount] = {
    {&tup::gpiostate_s::good, [] { return quint32(Settings::getGPIOLedGreenPin()); },
     [] { return bool(Settings::getGPIOLedGreenHigh()); }},
    {&tup::gpiostate_s::warning, [] { return quint32(Settings::getGPIOLedYellowPin()); },
     [] { return bool(Settings::getGPIOLedYellowHigh()); }},
    {&tup::gpiostate_s::critical, [] { return quint32(Settings::getGPIOLedRedPin()); },
     [] { return bool(Settings::getGPIOLedRedHigh()); }},
    {&tup::gpiostate_s::buzzer, [] { return quint32(Settings::getGPIOBuzzerPin()); },
     [] { return bool(Settings::getGPIOBuzzerHigh()); }},
};

QString gpioDir(quint32 pin)
{
    return SystemPath::systemPath(QString("/sys/class/gpio/gpio%1").arg(pin));
}

} // namespace

Indicators::Indicators(QObject* parent) : QObject(parent)
{
    registerTupMetaTypes();
}

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
    qCDebug(lcFrontLink).noquote() << "Initialize GPIOs";
    initializeGPIOs();
    qCDebug(lcFrontLink).noquote() << "All LEDs on, Buzzer off";
    handleGPIO(Settings::getGPIOLedGreenPin(), 1);
    handleGPIO(Settings::getGPIOLedYellowPin(), 1);
    handleGPIO(Settings::getGPIOLedRedPin(), 1);
    handleGPIO(Settings::getGPIOBuzzerPin(), 0);
    last_gpiostate = {2, 2, 2, 0};
    blink_gpiostate = {1, 1, 1, 0};
    blinkFastTimer->start(250);
    blinkSlowTimer->start(1000);
    emit outputsChanged(last_gpiostate, blink_gpiostate);
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
        handleGPIO(indicator[i].pin(), 1);
        last_gpiostate.*indicator[i].field = 3;
        blink_gpiostate.*indicator[i].field = 1;
    }
    emit outputsChanged(last_gpiostate, blink_gpiostate);
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
    bool toggled = false;
    for (int i = 0; i < indicatorCount; ++i) {
        if (last_gpiostate.*indicator[i].field != code)
            continue;
        uint8_t& phase = blink_gpiostate.*indicator[i].field;
        phase = phase ? 0 : 1;
        handleGPIO(indicator[i].pin(), phase);
        toggled = true;
    }
    if (toggled)
        emit outputsChanged(last_gpiostate, blink_gpiostate);
}

void Indicators::apply(const tup::gpiostate_s& state)
{
    for (int i = 0; i < indicatorCount; ++i) {
        const uint8_t code = state.*indicator[i].field;
        if (code != last_gpiostate.*indicator[i].field) {
            initializeGPIO(indicator[i].pin(), indicator[i].activeHigh());
            handleGPIO(indicator[i].pin(), code);
            blink_gpiostate.*indicator[i].field = code != 0 ? 1 : 0;
        }
    }
    for (int i = 0; i < indicatorCount; ++i) {
        const uint8_t code = state.*indicator[i].field;
        if (code == 0 || code == 1) {
            handleGPIO(indicator[i].pin(), code);
            blink_gpiostate.*indicator[i].field = code;
        }
    }
    last_gpiostate = state;
    emit outputsChanged(last_gpiostate, blink_gpiostate);
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
        initializeGPIO(indicator[i].pin(), indicator[i].activeHigh());
}

} // namespace Tessal
