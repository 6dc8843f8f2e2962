#ifndef TESSAL_CLOCK_H
#define TESSAL_CLOCK_H

#include <QString>

namespace Tessal
{

// The wall clock of log lines and a blocking wait.
class Clock
{
public:
    // Local time "yyyy-MM-dd hh:mm:ss.zzz", the time stamp of log lines.
    static QString now();

    // Blocks the calling thread; the event loop does not run meanwhile.
    static void sleep(int ms);
};

} // namespace Tessal

#endif
