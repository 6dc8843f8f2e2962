// The poll wait list: growth, removal order, which descriptor a wake-up
// serves, and the idle call of a quiet loop.
#include <chrono>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

#include "pipethread.h"

namespace
{

class ListThread : public CPipeThread
{
public:
    std::vector<int> Fds() const
    {
        std::vector<int> v;
        for (int i = 0; i < m_ciPoll; ++i)
            v.push_back(m_paPoll[i].fd);
        return v;
    }
    int Capacity() const { return m_ciPollAllocated; }
};

struct Pipe {
    Pipe() { EXPECT_EQ(pipe(fd), 0); }
    ~Pipe()
    {
        for (int f : fd)
            if (f >= 0)
                close(f);
    }
    void CloseWriter()
    {
        close(fd[1]);
        fd[1] = -1;
    }
    int fd[2];
};

TEST(WaitList, GrowsInStepsOfTwentyAndKeepsOrder)
{
    ListThread t;
    EXPECT_EQ(t.Capacity(), 0);
    std::vector<int> expected;
    for (int i = 0; i < 45; ++i) {
        ASSERT_EQ(t.AddWaitDescriptor(100 + i, POLLIN), RET_OK);
        expected.push_back(100 + i);
    }
    EXPECT_EQ(t.Capacity(), 60);
    EXPECT_EQ(t.Fds(), expected);
}

TEST(WaitList, RemovingAMiddleEntryMovesTheLastIntoItsPlace)
{
    ListThread t;
    for (int fd : {10, 11, 12, 13})
        t.AddWaitDescriptor(fd, POLLIN);
    EXPECT_EQ(t.RemoveWaitDescriptor(11), RET_OK);
    EXPECT_EQ(t.Fds(), (std::vector<int>{10, 13, 12}));
    EXPECT_EQ(t.RemoveWaitDescriptor(99), RET_ERROR);
    EXPECT_EQ(t.Fds(), (std::vector<int>{10, 13, 12}));
    EXPECT_EQ(t.RemoveWaitDescriptor(12), RET_OK);
    EXPECT_EQ(t.Fds(), (std::vector<int>{10, 13}));
    EXPECT_EQ(t.RemoveWaitDescriptor(10), RET_OK);
    EXPECT_EQ(t.RemoveWaitDescriptor(13), RET_OK);
    EXPECT_TRUE(t.Fds().empty());
    EXPECT_EQ(t.RemoveWaitDescriptor(13), RET_ERROR);
}

TEST(WaitList, DuplicateEntriesAreRemovedOneAtATime)
{
    ListThread t;
    t.AddWaitDescriptor(5, POLLIN);
    t.AddWaitDescriptor(6, POLLIN);
    t.AddWaitDescriptor(5, POLLOUT);
    EXPECT_EQ(t.RemoveWaitDescriptor(5), RET_OK);
    EXPECT_EQ(t.Fds(), (std::vector<int>{5, 6}));
}

TEST(WaitList, FirstReadyEntryInListOrderIsServed)
{
    ListThread t;
    Pipe a, b;
    t.AddWaitDescriptor(b.fd[0], POLLIN);
    t.AddWaitDescriptor(a.fd[0], POLLIN);
    int fd = -1;
    EXPECT_EQ(t.WaitOnDescriptor(10, fd), RET_TIMEOUT);

    ASSERT_EQ(write(a.fd[1], "x", 1), 1);
    ASSERT_EQ(write(b.fd[1], "y", 1), 1);
    ASSERT_EQ(t.WaitOnDescriptor(1000, fd), RET_OK);
    EXPECT_EQ(fd, b.fd[0]);
    EXPECT_EQ(t.GetReturnedEvents(b.fd[0]) & POLLIN, POLLIN);
    char c;
    ASSERT_EQ(read(b.fd[0], &c, 1), 1);
    ASSERT_EQ(t.WaitOnDescriptor(1000, fd), RET_OK);
    EXPECT_EQ(fd, a.fd[0]);
    EXPECT_EQ(t.GetReturnedEvents(b.fd[0]), 0);
}

TEST(WaitList, HangUpAloneIsServedSoTheLoopCannotSpin)
{
    ListThread t;
    Pipe p;
    t.AddWaitDescriptor(p.fd[0], POLLIN);
    p.CloseWriter();
    int fd = -1;
    ASSERT_EQ(t.WaitOnDescriptor(1000, fd), RET_OK);
    EXPECT_EQ(fd, p.fd[0]);
    EXPECT_TRUE(t.GetReturnedEvents(p.fd[0]) & POLLHUP);
}

TEST(WaitList, WritableEntriesReportPollout)
{
    ListThread t;
    Pipe p;
    t.AddWaitDescriptor(p.fd[1], POLLOUT);
    int fd = -1;
    ASSERT_EQ(t.WaitOnDescriptor(1000, fd), RET_OK);
    EXPECT_EQ(fd, p.fd[1]);
    EXPECT_EQ(t.GetReturnedEvents(p.fd[1]), POLLOUT);
}

// Counts idle calls of a loop with nothing to do.
class IdleThread : public CPipeThread
{
public:
    IdleThread() { m_ulPollTimeout = 100; }
    int Idle() override
    {
        std::lock_guard<std::mutex> lock(mutex);
        stamps.push_back(std::chrono::steady_clock::now());
        return RET_OK;
    }
    int DescriptorAvailable(int iFD) override
    {
        ++available;
        return CPipeThread::DescriptorAvailable(iFD);
    }
    std::vector<std::chrono::steady_clock::time_point> Stamps()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return stamps;
    }
    std::atomic<int> available{0};

private:
    std::mutex mutex;
    std::vector<std::chrono::steady_clock::time_point> stamps;
};

TEST(WaitList, QuietLoopCallsIdleOncePerTimeout)
{
    IdleThread t;
    ASSERT_EQ(CThread::Start(&t), 0);
    ASSERT_EQ(t.WaitRunning(), RET_OK);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (t.Stamps().size() < 4 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    auto stamps = t.Stamps();
    ASSERT_GE(stamps.size(), 4u);
    // Each idle call follows a full time-out: no busy loop between them.
    for (size_t i = 1; i < stamps.size(); ++i) {
        auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(stamps[i] - stamps[i - 1]);
        EXPECT_GE(gap.count(), 95) << "idle call " << i;
    }
    EXPECT_EQ(t.available, 0);

    // A message wakes the loop and is followed by one idle call as well.
    size_t before = t.Stamps().size();
    ASSERT_EQ(t.SendCmd(CMD_STOP, 0, 0), RET_OK);
    t.Stop();
    EXPECT_EQ(t.available, 1);
    EXPECT_GE(t.Stamps().size(), before + 1);
}

} // namespace
