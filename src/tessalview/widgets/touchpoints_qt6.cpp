// The kiosk's touch events on Qt 6: QEventPoint, whose positions are only
// set when a point is made. A point made anew keeps its id, state and screen
// position; its start and last positions, pressure and size are the
// defaults.
#include "touchpoints.h"

#include <QTouchEvent>

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
    QList<QEventPoint> points;
    points.reserve(event.points().size());
    for (const QEventPoint& point : event.points()) {
        QEventPoint moved(point.id(), point.state(), map(point.position()), point.globalPosition());
        points.append(moved);
    }
    auto copy = std::make_unique<QTouchEvent>(event.type(), event.pointingDevice(),
                                              event.modifiers(), points);
    // The application sets the target as it delivers the event.
    Q_UNUSED(target);
    copy->setTimestamp(event.timestamp());
    return copy;
}

} // namespace Tessal
