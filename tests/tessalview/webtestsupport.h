// Page access for tests through the kiosk's web seam, so one test source
// runs on every engine: the engine answers scripts at once (QtWebKit) or
// later (QtWebEngine); these helpers wait for the answer.
#ifndef TESSAL_WEBTESTSUPPORT_H
#define TESSAL_WEBTESTSUPPORT_H

#include "websurface.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QPoint>
#include <QRect>
#include <QSignalSpy>
#include <QTest>
#include <QVariant>

#include <memory>

namespace WebTest
{

// The result of `script` in the page, or an invalid value when the page does
// not answer within `timeoutMs`.
inline QVariant runJs(Tessal::WebSurface* surface, const QString& script, int timeoutMs = 5000)
{
    auto result = std::make_shared<QVariant>();
    auto done = std::make_shared<bool>(false);
    surface->runJavaScript(script, [result, done](const QVariant& value) {
        *result = value;
        *done = true;
    });
    QElapsedTimer clock;
    clock.start();
    while (!*done && clock.elapsed() < timeoutMs)
        QTest::qWait(10);
    return *result;
}

inline QString plainText(Tessal::WebSurface* surface, int timeoutMs = 5000)
{
    auto result = std::make_shared<QString>();
    auto done = std::make_shared<bool>(false);
    surface->toPlainText([result, done](const QString& text) {
        *result = text;
        *done = true;
    });
    QElapsedTimer clock;
    clock.start();
    while (!*done && clock.elapsed() < timeoutMs)
        QTest::qWait(10);
    return *result;
}

inline QString html(Tessal::WebSurface* surface, int timeoutMs = 5000)
{
    auto result = std::make_shared<QString>();
    auto done = std::make_shared<bool>(false);
    surface->toHtml([result, done](const QString& text) {
        *result = text;
        *done = true;
    });
    QElapsedTimer clock;
    clock.start();
    while (!*done && clock.elapsed() < timeoutMs)
        QTest::qWait(10);
    return *result;
}

// The element's box in the page's (and the surface's) coordinates; empty
// when there is no such element.
inline QRect elementRect(Tessal::WebSurface* surface, const QString& selector)
{
    const QVariant box = runJs(surface, QString("(function(){var e=document.querySelector('%1');"
                                                "if(!e)return [];var r=e.getBoundingClientRect();"
                                                "return [r.left,r.top,r.width,r.height];})()")
                                            .arg(selector));
    const QVariantList v = box.toList();
    if (v.size() != 4)
        return QRect();
    return QRect(qRound(v[0].toDouble()), qRound(v[1].toDouble()), qRound(v[2].toDouble()),
                 qRound(v[3].toDouble()));
}

// A tap (move, press, release) at `pos` on the widget that takes the page's
// input.
inline void tap(Tessal::WebSurface* surface, const QPoint& pos)
{
    QWidget* target = surface->inputWidget();
    // A finger arrives where it presses: a move first, as a touch screen
    // reports it (QTest::mouseMove only moves the cursor).
    QMouseEvent move(QEvent::MouseMove, pos, target->mapToGlobal(pos), Qt::NoButton, Qt::NoButton,
                     Qt::NoModifier);
    QApplication::sendEvent(target, &move);
    QTest::mouseClick(target, Qt::LeftButton, Qt::NoModifier, pos);
}

// Waits until the page takes a tap at `pos`; false on time-out. QtWebEngine
// 6 drops the input that comes before a freshly loaded page's first picture
// is on the screen: probe taps, which the page swallows before any of its
// own handlers sees them, are given until one arrives.
inline bool waitForInput(Tessal::WebSurface* surface, const QPoint& pos, int timeoutMs = 10000)
{
    runJs(surface,
          "window.tessalProbe = { hit: false, stop: function(e) {"
          "  tessalProbe.hit = true; e.preventDefault(); e.stopImmediatePropagation(); } };"
          "['mousedown', 'mouseup', 'click', 'touchstart', 'touchend'].forEach(function(t) {"
          "  window.addEventListener(t, tessalProbe.stop, true); }); true");
    QElapsedTimer clock;
    clock.start();
    bool hit = false;
    while (!hit && clock.elapsed() < timeoutMs) {
        tap(surface, pos);
        QTest::qWait(50);
        hit = runJs(surface, "tessalProbe.hit").toBool();
    }
    // Taps still on their way are swallowed too before the probe goes.
    QTest::qWait(100);
    runJs(surface, "['mousedown', 'mouseup', 'click', 'touchstart', 'touchend'].forEach("
                   "function(t) { window.removeEventListener(t, tessalProbe.stop, true); }); true");
    return hit;
}

// Taps the centre of the element once the page takes input; false when it is
// not in the page or the page takes no input.
inline bool tapElement(Tessal::WebSurface* surface, const QString& selector)
{
    const QRect box = elementRect(surface, selector);
    if (box.isEmpty() || !waitForInput(surface, box.center()))
        return false;
    tap(surface, box.center());
    return true;
}

// Waits for the next end of a page load; its result, or false on time-out.
inline bool waitForLoad(Tessal::WebSurface* surface, int timeoutMs = 10000)
{
    QSignalSpy spy(surface, &Tessal::WebSurface::loadFinished);
    if (!spy.wait(timeoutMs))
        return false;
    return spy.last().first().toBool();
}

} // namespace WebTest

#endif
