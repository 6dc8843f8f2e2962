#ifndef TESSAL_TOUCHPOINTS_H
#define TESSAL_TOUCHPOINTS_H

#include <QPointF>

#include <functional>
#include <memory>

class QObject;
class QTouchEvent;

namespace Tessal
{

// The touch events that the kiosk builds itself. Qt 5 and Qt 6 describe the
// points of a touch differently (QTouchEvent::TouchPoint, QEventPoint); each
// has its own implementation of these, built with the kiosk's Qt.
namespace TouchPoints
{
// The position of the event's first point in the receiver's coordinates; an
// event without points gives false.
bool firstPosition(const QTouchEvent& event, QPointF* position);
// A copy of `event` for `target` (type, device, modifiers, time stamp, each
// point's id and state) with each point's positions moved through `map` into
// the target's coordinates. The screen positions stay.
std::unique_ptr<QTouchEvent> mapped(const QTouchEvent& event, QObject* target,
                                    const std::function<QPointF(const QPointF&)>& map);
} // namespace TouchPoints

} // namespace Tessal

#endif
