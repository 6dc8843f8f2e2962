// timerfd timers in the wait list: repeating and one-shot expiry, stopping
// and deleting.
#include <chrono>
#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include "pipethread.h"

namespace
{

using Clock = std::chrono::steady_clock;

class TimerThread : public CPipeThread
{
public:
    bool Watches(int iFD) const
    {
        for (int i = 0; i < m_ciPoll; ++i)
            if (m_paPoll[i].fd == iFD)
                return true;
        return false;
    }
};

uint64_t Expirations(int iFD)
{
    uint64_t n = 0;
    if (read(iFD, &n, sizeof(n)) != static_cast<ssize_t>(sizeof(n)))
        return 0;
    return n;
}

long long Ms(Clock::duration d)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

TEST(Timer, CreatedDisarmedAndWatched)
{
    TimerThread t;
    int fd = t.TimerCreate();
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(t.Watches(fd));
    itimerspec cur{};
    ASSERT_EQ(timerfd_gettime(fd, &cur), 0);
    EXPECT_EQ(cur.it_value.tv_sec, 0);
    EXPECT_EQ(cur.it_value.tv_nsec, 0);
    int got = -1;
    EXPECT_EQ(t.WaitOnDescriptor(20, got), RET_TIMEOUT);
    EXPECT_EQ(t.TimerDelete(fd), RET_OK);
}

TEST(Timer, FiveMillisecondRepeatingTimerCountsEveryPeriod)
{
    TimerThread t;
    int fd = t.TimerCreate();
    ASSERT_GE(fd, 0);
    auto tBeforeSet = Clock::now();
    ASSERT_EQ(t.TimerSet(fd, 0, 5000, true), 0);
    auto tAfterSet = Clock::now();

    uint64_t total = 0;
    int wakeups = 0;
    while (Clock::now() - tAfterSet < std::chrono::milliseconds(120)) {
        int got = -1;
        ASSERT_EQ(t.WaitOnDescriptor(1000, got), RET_OK);
        ASSERT_EQ(got, fd);
        total += Expirations(fd);
        ++wakeups;
    }
    auto tBeforeRead = Clock::now();
    total += Expirations(fd);
    auto tAfterRead = Clock::now();

    // The kernel counts every period, however late the reads were.
    EXPECT_GE(static_cast<long long>(total), Ms(tBeforeRead - tAfterSet) / 5 - 1);
    EXPECT_LE(static_cast<long long>(total), Ms(tAfterRead - tBeforeSet) / 5 + 1);
    EXPECT_GE(wakeups, 2);

    ASSERT_EQ(t.TimerStop(fd), 0);
    Expirations(fd);
    int got = -1;
    EXPECT_EQ(t.WaitOnDescriptor(30, got), RET_TIMEOUT) << "a stopped timer stays quiet";
    EXPECT_EQ(t.TimerDelete(fd), RET_OK);
}

TEST(Timer, OneShotTimerFiresOnce)
{
    TimerThread t;
    int fd = t.TimerCreate();
    ASSERT_GE(fd, 0);
    ASSERT_EQ(t.TimerSet(fd, 0, 30000, false), 0);
    int got = -1;
    ASSERT_EQ(t.WaitOnDescriptor(1000, got), RET_OK);
    EXPECT_EQ(got, fd);
    EXPECT_EQ(Expirations(fd), 1u);
    EXPECT_EQ(t.WaitOnDescriptor(100, got), RET_TIMEOUT);

    // A two-second one-shot is armed for two seconds with no interval.
    ASSERT_EQ(t.TimerSet(fd, 2, 0, false), 0);
    itimerspec cur{};
    ASSERT_EQ(timerfd_gettime(fd, &cur), 0);
    EXPECT_EQ(cur.it_interval.tv_sec, 0);
    EXPECT_EQ(cur.it_interval.tv_nsec, 0);
    EXPECT_TRUE(cur.it_value.tv_sec == 1 || cur.it_value.tv_sec == 2);
    EXPECT_EQ(t.TimerDelete(fd), RET_OK);
}

TEST(Timer, MicrosecondsOfASecondOrMoreCarryIntoSeconds)
{
    TimerThread t;
    int fd = t.TimerCreate();
    ASSERT_GE(fd, 0);
    ASSERT_EQ(t.TimerSet(fd, 0, 1500000, true), 0);
    itimerspec cur{};
    ASSERT_EQ(timerfd_gettime(fd, &cur), 0);
    EXPECT_EQ(cur.it_interval.tv_sec, 1);
    EXPECT_EQ(cur.it_interval.tv_nsec, 500000000);
    EXPECT_EQ(t.TimerDelete(fd), RET_OK);
}

TEST(Timer, DeleteClosesAndUnwatchesOnlyOwnTimers)
{
    TimerThread t;
    int fd = t.TimerCreate();
    ASSERT_GE(fd, 0);
    ASSERT_EQ(t.TimerSet(fd, 0, 1000, true), 0);
    ASSERT_EQ(t.TimerDelete(fd), RET_OK);
    EXPECT_FALSE(t.Watches(fd));
    errno = 0;
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);

    // A descriptor the thread does not watch is neither closed nor touched.
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    EXPECT_EQ(t.TimerDelete(p[0]), RET_ERROR);
    EXPECT_NE(fcntl(p[0], F_GETFD), -1);
    EXPECT_EQ(t.TimerDelete(-1), RET_ERROR);
    close(p[0]);
    close(p[1]);
}

} // namespace
