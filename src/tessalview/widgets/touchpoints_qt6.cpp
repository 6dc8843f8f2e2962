// The kiosk's touch events on Qt 6: QEventPoint. Its positions have no
// public setter (a point made with its public constructor keeps its
// position at 0,0), so the copies are moved with Qt's own QMutableEventPoint,
// as Qt's event delivery and QTest do; it needs qt6-base-private-dev.
#include "touchpoints.h"

#include <QTouchEvent>
#include <QWindow>
// After QWindow, whose whole type it needs.
#include <private/qeventpoint_p.h>

namespace Tessal
{

bool TouchPoints::firstPosition(const QTouchEvent& event, QPointF* position)
{
    if (event.points().isEmpty())
        return false;
    *position = event.points().first().position();
    return true;
}

std::unique_ptr<QTouchEvent> TouchPoints::mapped(const QTouchEvent& event, QObject* target,
                                                 const std::function<QPointF(const QPointF&)>& map)
{
    QList<QEventPoint> points = event.points();
    for (QEventPoint& point : points) {
        // A copy shares its data with the original event's point until
        // detached.
        QMutableEventPoint::detach(point);
        QMutableEventPoint::setPosition(point, map(point.position()));
    }
    auto copy = std::make_unique<QTouchEvent>(event.type(), event.pointingDevice(),
                                              event.modifiers(), points);
    // The application sets the target as it delivers the event.
    Q_UNUSED(target);
    copy->setTimestamp(event.timestamp());
    return copy;
}

} // namespace Tessal
