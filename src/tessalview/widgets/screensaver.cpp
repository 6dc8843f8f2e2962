#include "screensaver.h"

#include "logging.h"
#include "settings.h"
#include "sysfs.h"
#include "systempath.h"

#include <QDebug>
#include <QEvent>
#include <QTimer>

namespace Tessal
{

ScreenSaver* ScreenSaver::staticInstance = nullptr;

bool MouseEventFilter::eventFilter(QObject* watched, QEvent* event)
{
    ScreenSaver* saver = ScreenSaver::instance();
    const QEvent::Type type = event->type();
    if (!saver->active()) {
        switch (type) {
        case QEvent::MouseMove: {
            // The move that wakes the screen lights it and goes no further.
            const bool woke = saver->activate(true);
            if (woke)
                sinceWake.start();
            return woke;
        }
        case QEvent::MouseButtonPress:
            // Its release is swallowed too, even if the screen lights up
            // before the finger is lifted.
            swallowingPress = true;
            return true;
        case QEvent::MouseButtonRelease:
            swallowingPress = false;
            return true;
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseTrackingChange:
            // Nothing touched on a dark screen may reach the page.
            return true;
        case QEvent::TouchBegin:
            // A widget that takes touch events directly sees no mouse move:
            // the touch itself wakes the screen, and all of it is swallowed.
            // Being a touch, it starts the idle period over.
            saver->activate(true);
            swallowingTouch = true;
            saver->resetTimer();
            return true;
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::TouchCancel:
            return true;
        default:
            return QObject::eventFilter(watched, event);
        }
    }

    if (swallowingTouch) {
        if (type == QEvent::TouchUpdate)
            return true;
        if (type == QEvent::TouchEnd || type == QEvent::TouchCancel) {
            swallowingTouch = false;
            return true;
        }
        if (type == QEvent::TouchBegin)
            swallowingTouch = false;
    }

    if (type == QEvent::MouseButtonPress && sinceWake.isValid() &&
        sinceWake.elapsed() < MouseEventFilter::WakeTouchGraceMs) {
        // The press of the touch whose move lit the screen: kept from the
        // page, but still a press, so the idle period starts over from it
        // (else a unit woken once would stay lit until the next touch).
        sinceWake.invalidate();
        swallowingPress = true;
        saver->stopBuzzer();
        saver->resetTimer();
        return true;
    }
    if (swallowingPress) {
        if (type == QEvent::MouseMove || type == QEvent::MouseButtonDblClick)
            return true;
        if (type == QEvent::MouseButtonRelease) {
            swallowingPress = false;
            return true;
        }
    }

    if (type == QEvent::MouseButtonPress) {
        sinceWake.invalidate();
        saver->stopBuzzer();
        saver->resetTimer();
    }
    return QObject::eventFilter(watched, event);
}

ScreenSaver::ScreenSaver() : QObject(nullptr), currentState(ScreenInactive), timerAsleep(nullptr)
{
    timerAsleep = new QTimer(this);
    // Creating the screen saver lights the screen.
    setScreenState(ScreenActive);
}

ScreenSaver* ScreenSaver::instance()
{
    if (!staticInstance)
        staticInstance = new ScreenSaver();
    return staticInstance;
}

QString ScreenSaver::blankPath()
{
    return SystemPath::systemPath("/sys/class/graphics/fb0/blank");
}

QString ScreenSaver::backlightPath()
{
    return SystemPath::systemPath(
        "/sys/devices/platform/pwm-backlight.0/backlight/pwm-backlight.0/bl_power");
}

void ScreenSaver::install()
{
    qCDebug(lcUi) << "Install screensaver";
    if (Settings::getUIScreenSaverInterval() <= 0)
        qCDebug(lcUi).noquote() << QString("Screen saver off (ScreenSaverInterval %1)")
                                       .arg(Settings::getUIScreenSaverInterval());
    timerAsleep->stop();
    disconnect(timerAsleep, &QTimer::timeout, this, &ScreenSaver::goSleep);
    connect(timerAsleep, &QTimer::timeout, this, &ScreenSaver::goSleep);
    resetTimer();
}

void ScreenSaver::uninstall() {}

void ScreenSaver::handleMouseMove(QObject* object)
{
    if (object)
        object->installEventFilter(&mouseEventFilter);
}

bool ScreenSaver::activate(bool on)
{
    if (on == active())
        return false;
    setScreenState(on ? ScreenActive : ScreenInactive);
    return true;
}

bool ScreenSaver::idleTimerRunning() const
{
    return timerAsleep->isActive();
}

bool ScreenSaver::active() const
{
    return currentState == ScreenActive;
}

void ScreenSaver::resetTimer()
{
    qCDebug(lcUi) << "resetTimer";
    const int interval = Settings::getUIScreenSaverInterval();
    if (interval <= 0) {
        // No idle period: the screen is never darkened. (A zero timer would
        // darken it at every touch.)
        timerAsleep->stop();
        return;
    }
    timerAsleep->setInterval(interval);
    timerAsleep->setSingleShot(true);
    timerAsleep->start();
}

void ScreenSaver::setStopBuzzerServer(const QString& address)
{
    qCInfo(lcUi).noquote() << QString("Stop buzzer server: %1").arg(address);
}

void ScreenSaver::stopBuzzer()
{
    qCDebug(lcUi) << "stopBuzzer()";
}

bool ScreenSaver::restore()
{
    return setScreenState(ScreenActive);
}

bool ScreenSaver::save(int)
{
    return setScreenState(ScreenInactive);
}

void ScreenSaver::goSleep()
{
    qCDebug(lcUi) << "goSleep";
    activate(false);
}

bool ScreenSaver::setScreenState(ScreenState state)
{
    if (state == currentState)
        return true;
    qCDebug(lcUi) << "setScreenState" << static_cast<int>(state);
    currentState = state;
    emit activated(state == ScreenInactive);
    if (state == ScreenActive)
        stopBuzzer();

    const int value = state == ScreenInactive ? 1 : 0;
    // The backlight follows only when the frame buffer accepted the change.
    if (!SysfsFile::echo(blankPath(), value))
        return false;
    return SysfsFile::echo(backlightPath(), value);
}

} // namespace Tessal
