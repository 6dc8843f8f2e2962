#ifndef TESSAL_INDICATORS_H
#define TESSAL_INDICATORS_H

#include "tupmetatypes.h"
#include "tuprecords.h"

#include <QObject>

class QTimer;

namespace Tessal
{

// The front panel's indicators: the green, yellow and red LEDs and the
// buzzer, driven through the GPIO sysfs files (pins and polarity from the
// settings). Each has a state code (0 off, 1 on, 2 slow blink, 3 fast blink)
// and an output phase that the blink ticks toggle: 250 ms for fast, 1000 ms
// for slow.
class Indicators : public QObject
{
    Q_OBJECT

public:
    explicit Indicators(QObject* parent = nullptr);

    // Prepares the four outputs and shows the start-up pattern: the three
    // LEDs blink slowly together, the buzzer is silent. Starts the ticks.
    void start();
    // Stops the ticks; the outputs keep their last values.
    void stop();

    // A GpioState from the device. A change re-exports and re-configures the
    // pin first; a change to a blink code starts the blink in the on phase;
    // steady states are rewritten on every frame.
    void apply(const tup::gpiostate_s& state);
    // The link is lost: the three LEDs blink fast together; the buzzer keeps
    // its state.
    void showLinkLost();

    void blinkFastTimeout();
    void blinkSlowTimeout();

    const tup::gpiostate_s& state() const { return last_gpiostate; }
    const tup::gpiostate_s& phase() const { return blink_gpiostate; }

signals:
    // The outputs were written: each indicator's state code and its output
    // phase (0 or 1) now. A blink tick that toggles nothing says nothing.
    void outputsChanged(const tup::gpiostate_s& state, const tup::gpiostate_s& phase);

private:
    void initializeGPIO(quint32 pin, bool activeHigh);
    void handleGPIO(quint32 pin, int value);
    void initializeGPIOs();
    void toggleBlinking(quint8 code);

    QTimer* blinkFastTimer = nullptr;
    QTimer* blinkSlowTimer = nullptr;
    tup::gpiostate_s last_gpiostate;
    tup::gpiostate_s blink_gpiostate;
};

} // namespace Tessal

#endif
