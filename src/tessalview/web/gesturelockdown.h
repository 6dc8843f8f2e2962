#ifndef TESSAL_GESTURELOCKDOWN_H
#define TESSAL_GESTURELOCKDOWN_H

#include <QObject>
#include <QString>

class QKeyEvent;
class QWidget;

namespace Tessal
{

// A finger on the unit's screen is the only input, and nothing it does may
// leave the device's page other than the device laid it out: no zoom (pinch,
// double tap, the zoom keys or the wheel), no selected text outside the
// fields of a form, no menu, no dragged link or picture, no overscroll, and
// no navigation by a key. Only the engine's default actions are turned off:
// a page that handles touches itself (a slider, its own scrolling) still gets
// every touch event. Each engine applies the pieces it has: the style sheet,
// the page script, the key filter below and, for QtWebEngine, the Chromium
// switches.
class GestureLockdown : public QObject
{
    Q_OBJECT
public:
    // `[UI] TouchLockdown`, on by default.
    static bool enabled();

    // Style rules for every page and frame. Marked important: in a user
    // style sheet (QtWebKit) no rule of a page can undo them.
    static QString styleSheet();
    // The script for every page and frame, run before the page's own
    // scripts, in a world of its own where the engine has one: it cancels
    // the default of text selection (outside form fields), of the context
    // menu and of drags, and adds `styleSheet()` to the document.
    static QString pageScript();
    // Keys that navigate (back, forward, reload, home) or zoom.
    static bool isBlockedKey(const QKeyEvent* event);

    explicit GestureLockdown(QObject* parent = nullptr) : QObject(parent) {}

    // Filters `widget`'s key, wheel, menu and zoom-gesture events.
    void watch(QWidget* widget);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

} // namespace Tessal

#endif
