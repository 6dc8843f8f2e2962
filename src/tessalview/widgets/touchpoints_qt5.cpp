// The kiosk's touch events on Qt 5: QTouchEvent::TouchPoint.
#include "touchpoints.h"

#include <QTouchEvent>

namespace Tessal
{

bool TouchPoints::firstPosition(const QTouchEvent& event, QPointF* position)
{
    if (event.touchPoints().isEmpty())
        return false;
    *position = event.touchPoints().first().pos();
    return true;
}

std::unique_ptr<QTouchEvent> TouchPoints::mapped(const QTouchEvent& event, QObject* target,
                                                 const std::function<QPointF(const QPointF&)>& map)
{
    QList<QTouchEvent::TouchPoint> points = event.touchPoints();
    for (QTouchEvent::TouchPoint& point : points) {
        point.setPos(map(point.pos()));
        point.setStartPos(map(point.startPos()));
        point.setLastPos(map(point.lastPos()));
    }
    auto copy = std::make_unique<QTouchEvent>(event.type(), event.device(), event.modifiers(),
                                              event.touchPointStates(), points);
    copy->setTarget(target);
    copy->setTimestamp(event.timestamp());
    return copy;
}

} // namespace Tessal
