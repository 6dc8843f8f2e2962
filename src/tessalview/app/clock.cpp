#include "clock.h"

#include <QDateTime>
#include <QMutex>
#include <QWaitCondition>

namespace Tessal
{

QString Clock::now()
{
    return QDateTime::currentDateTime().toString("yyyy-MM-dd hh:mm:ss.zzz");
}

void Clock::sleep(int ms)
{
    // A private wait condition that nothing signals: a plain timed block.
    QMutex mutex;
    QWaitCondition never;
    mutex.lock();
    never.wait(&mutex, static_cast<unsigned long>(ms < 0 ? 0 : ms));
    mutex.unlock();
}

} // namespace Tessal
