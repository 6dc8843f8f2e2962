// The touch screen that QTest's touch events come from.
#ifndef TESSAL_TEST_TOUCHSCREEN_H
#define TESSAL_TEST_TOUCHSCREEN_H

#include <QTest>

// QTest::createTouchDevice() makes a touch screen: a QTouchDevice on Qt 5, a
// QPointingDevice on Qt 6. Registered with the application, never deleted.
using TouchScreen_t = decltype(QTest::createTouchDevice());

#endif
