#include "gesturelockdown.h"

#include "settings.h"

#include <QEvent>
#include <QJsonArray>
#include <QJsonDocument>
#include <QKeyEvent>
#include <QKeySequence>
#include <QNativeGestureEvent>
#include <QWheelEvent>
#include <QWidget>

namespace Tessal
{

bool GestureLockdown::enabled()
{
    return Settings::getUITouchLockdown();
}

QString GestureLockdown::styleSheet()
{
    // Form fields and editable text keep their caret and selection.
    return QStringLiteral(
        "*, *::before, *::after {"
        " -webkit-user-select: none !important; user-select: none !important;"
        " -webkit-touch-callout: none !important; -webkit-user-drag: none !important; }"
        "input, textarea, [contenteditable]:not([contenteditable='false']),"
        " [contenteditable]:not([contenteditable='false']) * {"
        " -webkit-user-select: text !important; user-select: text !important; }"
        "html, body { overscroll-behavior: none !important;"
        " touch-action: pan-x pan-y !important; }");
}

QString GestureLockdown::pageScript()
{
    // The listeners are the first on the window (the script runs when the
    // document is created) and, in a world of their own, out of the page's
    // reach: a page can neither remove them nor undo a cancelled default.
    // The page's own listeners still see every event. Where the script
    // shares the page's world (QtWebKit) it keeps its own reference to
    // preventDefault: a page that replaces the method does not disarm it.
    return QStringLiteral("(function() {"
                          "  var prevent = Event.prototype.preventDefault;"
                          "  function cancel(e) { prevent.call(e); }"
                          "  function editable(node) {"
                          "    for (var n = node; n; n = n.parentNode) {"
                          "      if (n.nodeType !== 1) continue;"
                          "      var tag = n.tagName;"
                          "      if (tag === 'INPUT' || tag === 'TEXTAREA' || n.isContentEditable)"
                          "        return true;"
                          "    }"
                          "    return false;"
                          "  }"
                          "  window.addEventListener('selectstart', function(e) {"
                          "    if (!editable(e.target)) cancel(e);"
                          "  }, true);"
                          "  window.addEventListener('contextmenu', cancel, true);"
                          "  window.addEventListener('dragstart', cancel, true);"
                          "  var css = %1[0];"
                          "  function addStyle() {"
                          "    var root = document.documentElement;"
                          "    if (!root) return false;"
                          "    var s = document.createElement('style');"
                          "    s.textContent = css;"
                          "    root.appendChild(s);"
                          "    return true;"
                          "  }"
                          "  if (!addStyle()) {"
                          "    var watcher = new MutationObserver(function() {"
                          "      if (addStyle()) watcher.disconnect();"
                          "    });"
                          "    watcher.observe(document, {childList: true});"
                          "  }"
                          "})();")
        .arg(QString::fromUtf8(
            QJsonDocument(QJsonArray{styleSheet()}).toJson(QJsonDocument::Compact)));
}

bool GestureLockdown::isBlockedKey(const QKeyEvent* event)
{
    // Backspace edits a field. Some platforms' key bindings also make it
    // "back" (the engine's own, where it has one, is turned off elsewhere).
    if (event->key() == Qt::Key_Backspace)
        return false;
    static const QKeySequence::StandardKey standard[] = {
        QKeySequence::Back,   QKeySequence::Forward, QKeySequence::Refresh,
        QKeySequence::ZoomIn, QKeySequence::ZoomOut,
    };
    for (QKeySequence::StandardKey key : standard)
        if (event->matches(key))
            return true;

    switch (event->key()) {
    case Qt::Key_Back:
    case Qt::Key_Forward:
    case Qt::Key_Refresh:
    case Qt::Key_Reload:
    case Qt::Key_Stop:
    case Qt::Key_HomePage:
    case Qt::Key_ZoomIn:
    case Qt::Key_ZoomOut:
    case Qt::Key_F5:
        return true;
    default:
        break;
    }
    const Qt::KeyboardModifiers mods =
        event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    if (mods == Qt::AltModifier) {
        // Back, forward and the home page.
        switch (event->key()) {
        case Qt::Key_Left:
        case Qt::Key_Right:
        case Qt::Key_Home:
            return true;
        default:
            return false;
        }
    }
    if (mods == Qt::ControlModifier) {
        // Reload, and the zoom keys of every layout (the plus and the equals
        // sign share a key on many, with the keypad's besides).
        switch (event->key()) {
        case Qt::Key_R:
        case Qt::Key_Plus:
        case Qt::Key_Equal:
        case Qt::Key_Minus:
        case Qt::Key_0:
            return true;
        default:
            return false;
        }
    }
    return false;
}

void GestureLockdown::watch(QWidget* widget)
{
    if (widget)
        widget->installEventFilter(this);
}

bool GestureLockdown::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
        if (isBlockedKey(static_cast<QKeyEvent*>(event))) {
            event->accept();
            return true;
        }
        break;
    case QEvent::Wheel:
        // Ctrl with the wheel zooms; a wheel alone scrolls, as a finger does.
        if (static_cast<QWheelEvent*>(event)->modifiers() & Qt::ControlModifier)
            return true;
        break;
    case QEvent::NativeGesture: {
        const auto type = static_cast<QNativeGestureEvent*>(event)->gestureType();
        if (type == Qt::ZoomNativeGesture || type == Qt::SmartZoomNativeGesture)
            return true;
        break;
    }
    case QEvent::ContextMenu:
        return true;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

} // namespace Tessal
