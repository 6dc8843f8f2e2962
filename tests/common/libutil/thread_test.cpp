// Life cycle of a pipe thread: start, messages from other threads, stop,
// and start-up failures that must not leave the owner waiting.
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "log.h"
#include "pipethread.h"

namespace
{

// Log lines of the thread under test, read back by the checks.
std::mutex g_logMutex;
std::vector<std::string> g_logLines;
void CaptureLog(int, const char* szLine)
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_logLines.emplace_back(szLine);
}
bool Logged(const std::string& sLine)
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    for (const std::string& s : g_logLines) {
        if (s == sLine)
            return true;
    }
    return false;
}

struct Received {
    unsigned short usCmd;
    unsigned short usSize;
    short sSessionID;
    uint32_t ulInfo;
    std::vector<unsigned char> payload;
};

class ProbeThread : public CPipeThread
{
public:
    enum Failure { NONE, INIT_FAILS, INIT_THROWS, RUN_THROWS };
    enum { CMD_SELF_STOP = CMD_FIRST_USER + 10 };
    explicit ProbeThread(Failure eFailure = NONE) : m_eFailure(eFailure) {}
    ~ProbeThread() override { Stop(); }

    int Init() override
    {
        int iResult = CPipeThread::Init();
        if (iResult != RET_OK)
            return iResult;
        pthread_sigmask(SIG_BLOCK, nullptr, &maskAfterInit);
        if (m_eFailure == INIT_FAILS)
            return RET_ERROR;
        if (m_eFailure == INIT_THROWS)
            throw std::runtime_error("init");
        AppInit();
        pthread_sigmask(SIG_BLOCK, nullptr, &maskAfterAppInit);
        return RET_OK;
    }
    int Run() override
    {
        ++runs;
        if (m_eFailure == RUN_THROWS)
            throw std::runtime_error("run");
        return CPipeThread::Run();
    }
    int Close() override
    {
        ++closes;
        return CPipeThread::Close();
    }
    int DispatchMessage(Msg_t* pMsg) override
    {
        if (pMsg->Header.usCmd == CMD_SELF_STOP) {
            selfStopResult = Stop(); // the worker ends its own loop
            return RET_OK;
        }
        Received r;
        r.usCmd = pMsg->Header.usCmd;
        r.usSize = pMsg->Header.usSize;
        r.sSessionID = pMsg->Header.sSessionID;
        r.ulInfo = r.usSize >= sizeof(MsgInfo_t) ? reinterpret_cast<MsgInfo_t*>(pMsg)->ulInfo : 0;
        const unsigned char* p = reinterpret_cast<unsigned char*>(pMsg);
        r.payload.assign(p + sizeof(MsgHeader_t), p + r.usSize);
        {
            std::lock_guard<std::mutex> lock(mutex);
            received.push_back(r);
        }
        return CPipeThread::DispatchMessage(pMsg);
    }
    std::vector<Received> Snapshot()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return received;
    }

    std::atomic<int> runs{0};
    std::atomic<int> closes{0};
    std::atomic<int> selfStopResult{-99};
    sigset_t maskAfterInit;
    sigset_t maskAfterAppInit;

private:
    Failure m_eFailure;
    std::mutex mutex;
    std::vector<Received> received;
};

// Waits (bounded) until pred() holds.
template <typename Pred> bool WaitFor(Pred pred, int iMs = 5000)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(iMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TEST(ThreadLifeCycle, StopMessageEndsTheLoopAndCloseRuns)
{
    ProbeThread t;
    EXPECT_FALSE(t.Started());
    EXPECT_FALSE(t.Running());
    ASSERT_EQ(CThread::Start(&t), 0);
    ASSERT_EQ(t.WaitRunning(), RET_OK);
    EXPECT_TRUE(t.Started());
    EXPECT_TRUE(t.Running());
    EXPECT_EQ(t.GetPID(), getpid());

    LogSetSink(CaptureLog);
    testing::internal::CaptureStdout();
    ASSERT_EQ(t.SendCmd(CMD_STOP, 0, 0), RET_OK);
    bool bFinished = WaitFor([&] { return t.Finished(); });
    std::string sOut = testing::internal::GetCapturedStdout();
    LogSetSink(nullptr);
    ASSERT_TRUE(bFinished);
    EXPECT_EQ(t.Stop(), RET_OK);
    // Logged, not printed: the daemon writes nothing to its standard output.
    EXPECT_TRUE(Logged("thread  Stopping thread"));
    EXPECT_EQ(sOut, "");
    EXPECT_EQ(t.runs, 1);
    EXPECT_EQ(t.closes, 1);
    EXPECT_FALSE(t.Started());
    EXPECT_FALSE(t.Running());
    EXPECT_EQ(t.GetPID(), -1);
    // Posting after Close fails instead of writing to a closed pipe.
    EXPECT_EQ(t.SendCmd(CMD_FIRST_USER, 0, 0), RET_ERROR);
}

TEST(ThreadLifeCycle, StopJoinsARunningThreadAndIsSafeToRepeat)
{
    ProbeThread t;
    EXPECT_EQ(t.WaitRunning(), RET_ERROR) << "a thread never started is not waited for";
    EXPECT_EQ(t.Stop(), RET_OK) << "nothing to join before Start";
    ASSERT_EQ(CThread::Start(&t), 0);
    ASSERT_EQ(t.WaitRunning(), RET_OK);
    // Stop only clears the flag; the loop notices it when its poll returns.
    ASSERT_EQ(t.SendCmd(CMD_NOTHING, 0, 0), RET_OK);
    EXPECT_EQ(t.Stop(), RET_OK);
    EXPECT_TRUE(t.Finished());
    EXPECT_EQ(t.closes, 1);
    EXPECT_EQ(t.Stop(), RET_OK);
}

TEST(ThreadLifeCycle, WorkerStoppingItselfLeavesTheJoinToTheOwner)
{
    ProbeThread t;
    ASSERT_EQ(CThread::Start(&t), 0);
    ASSERT_EQ(t.WaitRunning(), RET_OK);
    ASSERT_EQ(t.SendCmd(ProbeThread::CMD_SELF_STOP, 0, 0), RET_OK);
    ASSERT_TRUE(WaitFor([&] { return t.Finished(); }));
    EXPECT_EQ(t.selfStopResult, RET_OK) << "a thread cannot join itself";
    EXPECT_EQ(t.closes, 1);
    EXPECT_EQ(t.Stop(), RET_OK);
}

TEST(ThreadLifeCycle, FailedInitEndsTheWaitAndStillCloses)
{
    ProbeThread t(ProbeThread::INIT_FAILS);
    ASSERT_EQ(CThread::Start(&t), 0);
    EXPECT_EQ(t.WaitRunning(), RET_ERROR);
    EXPECT_TRUE(t.Finished());
    EXPECT_EQ(t.GetInitResult(), RET_ERROR);
    EXPECT_EQ(t.runs, 0);
    EXPECT_EQ(t.closes, 1);
    EXPECT_FALSE(t.Running());
    EXPECT_EQ(t.Stop(), RET_OK);
}

TEST(ThreadLifeCycle, ExceptionsEndTheBodyWithoutHangingTheOwner)
{
    ProbeThread tInit(ProbeThread::INIT_THROWS);
    ASSERT_EQ(CThread::Start(&tInit), 0);
    EXPECT_EQ(tInit.WaitRunning(), RET_ERROR);
    EXPECT_EQ(tInit.runs, 0);
    EXPECT_EQ(tInit.GetPID(), -1);

    // A body that threw out of Run no longer reports itself running, so an
    // owner polling Running() ends.
    ProbeThread tRun(ProbeThread::RUN_THROWS);
    ASSERT_EQ(CThread::Start(&tRun), 0);
    EXPECT_EQ(tRun.WaitRunning(), RET_OK);
    ASSERT_TRUE(WaitFor([&] { return tRun.Finished(); }));
    EXPECT_FALSE(tRun.Running());
    EXPECT_EQ(tRun.GetPID(), -1);
}

TEST(ThreadLifeCycle, WorkerMasksSignalsAndLeavesTheOwnerAlone)
{
    sigset_t before;
    pthread_sigmask(SIG_BLOCK, nullptr, &before);
    ProbeThread t;
    ASSERT_EQ(CThread::Start(&t), 0);
    ASSERT_EQ(t.WaitRunning(), RET_OK);
    EXPECT_TRUE(sigismember(&t.maskAfterInit, SIGINT));
    EXPECT_TRUE(sigismember(&t.maskAfterInit, SIGPIPE));
    EXPECT_FALSE(sigismember(&t.maskAfterAppInit, SIGINT));
    EXPECT_TRUE(sigismember(&t.maskAfterAppInit, SIGPIPE));
    sigset_t after;
    pthread_sigmask(SIG_BLOCK, nullptr, &after);
    EXPECT_EQ(sigismember(&before, SIGINT), sigismember(&after, SIGINT));
    EXPECT_EQ(sigismember(&before, SIGPIPE), sigismember(&after, SIGPIPE));
    t.SendCmd(CMD_STOP, 0, 0);
    t.Stop();
}

TEST(ThreadMessages, MessagesFromSeveralThreadsArriveWholeAndInOrder)
{
    ProbeThread t;
    ASSERT_EQ(CThread::Start(&t), 0);
    ASSERT_EQ(t.WaitRunning(), RET_OK);

    const int kSenders = 3, kEach = 200;
    std::vector<std::thread> senders;
    std::atomic<int> failures{0};
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            for (int i = 0; i < kEach; ++i)
                if (t.SendCmd(CMD_FIRST_USER, static_cast<unsigned long>(i),
                              static_cast<short>(s)) != RET_OK)
                    ++failures;
        });
    }
    for (auto& th : senders)
        th.join();
    ASSERT_EQ(failures, 0);

    // A full-size message and a header-only one through SendCmd(usCmd, pMsg, size).
    static MsgLarge_t large;
    for (size_t i = 0; i < sizeof(large.abyData); ++i)
        large.abyData[i] = static_cast<unsigned char>(i % 251);
    ASSERT_EQ(t.SendCmd(CMD_FIRST_USER + 1, reinterpret_cast<Msg_t*>(&large), sizeof(large)),
              RET_OK);
    Msg_t bare{};
    ASSERT_EQ(t.SendCmd(CMD_FIRST_USER + 2, &bare, sizeof(bare)), RET_OK);

    ASSERT_TRUE(WaitFor([&] { return t.Snapshot().size() == kSenders * kEach + 2; }));
    auto got = t.Snapshot();
    std::vector<int> next(kSenders, 0);
    for (size_t i = 0; i < kSenders * kEach; ++i) {
        const Received& r = got[i];
        ASSERT_EQ(r.usCmd, CMD_FIRST_USER);
        ASSERT_EQ(r.usSize, sizeof(MsgInfo_t));
        ASSERT_GE(r.sSessionID, 0);
        ASSERT_LT(r.sSessionID, kSenders);
        EXPECT_EQ(r.ulInfo, static_cast<uint32_t>(next[r.sSessionID]++));
    }
    const Received& rl = got[kSenders * kEach];
    EXPECT_EQ(rl.usCmd, CMD_FIRST_USER + 1);
    ASSERT_EQ(rl.payload.size(), sizeof(large.abyData));
    EXPECT_EQ(memcmp(rl.payload.data(), large.abyData, rl.payload.size()), 0);
    const Received& rb = got[kSenders * kEach + 1];
    EXPECT_EQ(rb.usCmd, CMD_FIRST_USER + 2);
    EXPECT_EQ(rb.usSize, sizeof(MsgHeader_t));
    EXPECT_TRUE(rb.payload.empty());
    EXPECT_TRUE(t.Running()) << "user commands must not stop the loop";

    t.SendCmd(CMD_STOP, 0, 0);
    t.Stop();
}

TEST(ThreadMessages, SendRefusesMissingPipesAndBadSizes)
{
    ProbeThread t; // not started: its pipe is not open yet
    EXPECT_EQ(t.SendCmd(CMD_FIRST_USER, 1, 0), RET_ERROR);
    EXPECT_EQ(t.SendCmdToPipe(nullptr, CMD_FIRST_USER, 1, 0), RET_ERROR);

    ASSERT_EQ(CThread::Start(&t), 0);
    ASSERT_EQ(t.WaitRunning(), RET_OK);
    static unsigned char big[8192];
    Msg_t* pMsg = reinterpret_cast<Msg_t*>(big);
    EXPECT_EQ(t.SendCmd(CMD_FIRST_USER, pMsg, 11), RET_ERROR);
    EXPECT_EQ(t.SendCmd(CMD_FIRST_USER, pMsg, sizeof(MsgLarge_t) + 1), RET_ERROR);
    EXPECT_EQ(t.SendCmd(CMD_FIRST_USER, nullptr, 16), RET_ERROR);
    // The loop still works after the refusals.
    ASSERT_EQ(t.SendCmd(CMD_FIRST_USER, 5, 1), RET_OK);
    ASSERT_TRUE(WaitFor([&] { return t.Snapshot().size() == 1; }));
    EXPECT_EQ(t.Snapshot()[0].ulInfo, 5u);
    t.SendCmd(CMD_STOP, 0, 0);
    t.Stop();
}

} // namespace
