#ifndef TESSAL_SCREENSAVER_H
#define TESSAL_SCREENSAVER_H

#include <QElapsedTimer>
#include <QObject>
#include <QString>

class QTimer;
class QEvent;

namespace Tessal
{

// Input filter installed on the window, the web view and the file dialog: it
// feeds the screen saver and keeps the touch that wakes a dark screen from
// reaching the page.
class MouseEventFilter : public QObject
{
    Q_OBJECT
public:
    explicit MouseEventFilter(QObject* parent = nullptr) : QObject(parent) {}

    // A press that follows the waking move this closely belongs to the same
    // touch: a touch screen reports the finger's new position as a move
    // just before the press.
    static const int WakeTouchGraceMs = 500;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Whether the rest of the touch that lit the screen is still being
    // swallowed, so the waking tap never reaches the page as a click.
    QElapsedTimer sinceWake;
    bool swallowingPress = false;
    bool swallowingTouch = false;
};

// Process-wide owner of the idle timer and of the display power: the screen
// goes dark after a period without presses and lights up at the next move.
class ScreenSaver : public QObject
{
    Q_OBJECT
public:
    enum ScreenState { ScreenInactive = 0, ScreenActive = 1 };

    static ScreenSaver* instance();

    void install();
    void uninstall();
    void handleMouseMove(QObject* object);
    // The input filter itself, for a web surface that installs it on the
    // widget its engine gives the input to.
    QObject* inputFilter() { return &mouseEventFilter; }
    bool activate(bool on);
    bool active() const;
    // Whether an idle period is being counted.
    bool idleTimerRunning() const;
    void resetTimer();
    void setStopBuzzerServer(const QString& address);
    void stopBuzzer();

    virtual bool restore();
    virtual bool save(int);

    // The sysfs files that switch the display, resolved through the
    // fixed-path seam.
    static QString blankPath();
    static QString backlightPath();

signals:
    void activated(bool active_state);

public slots:
    void goSleep();

private:
    ScreenSaver();
    bool setScreenState(ScreenState state);

    static ScreenSaver* staticInstance;
    ScreenState currentState;
    MouseEventFilter mouseEventFilter;
    QTimer* timerAsleep;
};

} // namespace Tessal

#endif
