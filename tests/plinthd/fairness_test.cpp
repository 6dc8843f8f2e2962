// No master holds up the others or the D-Bus commands: slow, stalled and
// non-reading masters against a polling one, with raw sockets and the real
// daemon. And the idle daemon sleeps: it wakes only for real deadlines.
#include <dirent.h>
#include <signal.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

using namespace plinthd_test;
using Clock = std::chrono::steady_clock;

namespace
{

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// Polls register 0 every 10 ms on its own connection until stopped; keeps
// the worst answer time and counts failures.
class Poller
{
public:
    explicit Poller(int iPort) : m_master(iPort)
    {
        m_thread = std::thread([this] { Run(); });
    }
    ~Poller() { Stop(); }
    void Stop()
    {
        m_bStop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    double WorstMs() const { return m_dWorstMs; }
    int Answered() const { return m_iAnswered; }
    int Failed() const { return m_iFailed; }
    // When each answer arrived; read after Stop().
    const std::vector<Clock::time_point>& AnswerTimes() const { return m_answerTimes; }
    // How many answers arrived strictly between `from` and `to`.
    int AnsweredBetween(Clock::time_point from, Clock::time_point to) const
    {
        int n = 0;
        for (const Clock::time_point& t : m_answerTimes)
            n += t > from && t < to ? 1 : 0;
        return n;
    }
    // The longest stretch within [from, to] without an answer.
    double LongestSilenceMs(Clock::time_point from, Clock::time_point to) const
    {
        double dLongest = 0;
        Clock::time_point last = from;
        for (const Clock::time_point& t : m_answerTimes) {
            if (t <= from || t >= to)
                continue;
            dLongest = std::max(dLongest, Ms(t - last));
            last = t;
        }
        return std::max(dLongest, Ms(to - last));
    }

private:
    void Run()
    {
        for (int iTid = 0; !m_bStop; iTid++) {
            auto t0 = Clock::now();
            bool bOk = m_master.Send(Adu(iTid & 0xFFFF, ReadPdu(0, 1)));
            std::vector<uint8_t> a = bOk ? m_master.ReadFrame(5000) : std::vector<uint8_t>();
            double d = Ms(Clock::now() - t0);
            if (a.size() == 11 && ((a[0] << 8) | a[1]) == (iTid & 0xFFFF)) {
                m_answerTimes.push_back(Clock::now());
                m_iAnswered++;
                m_dWorstMs = std::max(m_dWorstMs.load(), d);
            } else {
                m_iFailed++;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    RawMaster m_master;
    std::thread m_thread;
    std::atomic<bool> m_bStop{false};
    std::atomic<double> m_dWorstMs{0};
    std::atomic<int> m_iAnswered{0};
    std::atomic<int> m_iFailed{0};
    std::vector<Clock::time_point> m_answerTimes;
};

// A daemon that waited for one slow master would leave the others unanswered
// until that master's request deadline (2 s). Half of it is the longest the
// poller may go without an answer while a slow master is served. How fast
// the others are answered meanwhile is a figure of bench_plinthd (its
// trickling-master scenario, against a baseline server), not a test bound.
constexpr double kMaxSilenceMs = 1000.0;

class Fairness : public ::testing::Test
{
protected:
    void SetUp() override
    {
        bus = std::make_unique<PrivateBus>();
        daemon = std::make_unique<DaemonProcess>(bus->Address());
        client = std::make_unique<BusClient>(bus->Address());
        port = FreeTcpPort();
    }
    void Init()
    {
        Json r(client->CmdJson(TcpInit(port, R"([{"address":0,"length":200,"mode":"rw"}])")));
        ASSERT_EQ(JsonInt(r.json, "err"), 0) << JsonStr(r.json, "info");
        ASSERT_EQ(client->Cmd(R"({"cmd":"setconfig","data":[{"address":0,"values":[31,32]}]})"),
                  R"({"err":0,"info":""})");
    }
    int Clients()
    {
        Json status(client->CmdJson(R"({"cmd":"getstatus"})"));
        return cJSON_GetArraySize(cJSON_GetObjectItem(status.json, "clients"));
    }
    std::unique_ptr<PrivateBus> bus;
    std::unique_ptr<DaemonProcess> daemon;
    std::unique_ptr<BusClient> client;
    int port = 0;
};

// Context switches of the daemon's worker thread (the one that is not the
// main thread), voluntary and not.
long WorkerSwitches(pid_t pid)
{
    std::string sTasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* pDir = opendir(sTasks.c_str());
    if (pDir == nullptr)
        return -1;
    long lTotal = -1;
    while (dirent* pEnt = readdir(pDir)) {
        if (pEnt->d_name[0] == '.' || atoi(pEnt->d_name) == pid)
            continue;
        std::ifstream status(sTasks + "/" + pEnt->d_name + "/status");
        std::string sLine;
        long lSum = 0;
        while (std::getline(status, sLine)) {
            if (sLine.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                sLine.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                lSum += atol(sLine.c_str() + sLine.find(':') + 1);
        }
        lTotal = lSum;
    }
    closedir(pDir);
    return lTotal;
}

} // namespace

TEST_F(Fairness, TricklingMasterHoldsUpNeitherPollerNorCommands)
{
    Init();
    Poller poller(port);
    // One byte of a valid read every 0.3 s for 5 s, reconnecting when the
    // daemon gives up on the request. The 12 bytes would take 3.3 s, more
    // than the 2 s the daemon allows: the daemon must close the connection
    // (recv reports the end or a reset), never answer.
    std::atomic<int> iDropped{0}, iAnswered{0};
    // The times of the slow master's bytes, a list per connection.
    std::vector<std::vector<Clock::time_point>> byteTimes;
    auto tStart = Clock::now();
    std::thread trickler([&] {
        auto tEnd = Clock::now() + std::chrono::seconds(5);
        const std::vector<uint8_t> req = Adu(1, ReadPdu(0, 1));
        while (Clock::now() < tEnd) {
            RawMaster slow(port);
            byteTimes.emplace_back();
            for (size_t i = 0; Clock::now() < tEnd; i = (i + 1) % req.size()) {
                if (!slow.Send({req[i]})) {
                    iDropped++;
                    break;
                }
                byteTimes.back().push_back(Clock::now());
                pollfd pfd = {slow.Fd(), POLLIN, 0};
                if (poll(&pfd, 1, 300) == 1) {
                    uint8_t aby[64];
                    ssize_t n = recv(slow.Fd(), aby, sizeof(aby), MSG_DONTWAIT);
                    if (n > 0)
                        iAnswered++;
                    else
                        iDropped += (n == 0 || errno == ECONNRESET) ? 1 : 0;
                    break;
                }
            }
        }
    });
    // Commands are answered meanwhile.
    double dWorstCmdMs = 0;
    int iStatusOk = 0;
    for (int i = 0; i < 8; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        auto t0 = Clock::now();
        Json status(client->CmdJson(R"({"cmd":"getstatus"})"));
        dWorstCmdMs = std::max(dWorstCmdMs, Ms(Clock::now() - t0));
        iStatusOk += JsonInt(status.json, "procstate") == 3;
    }
    trickler.join();
    auto tEnd = Clock::now();
    poller.Stop();
    // The other master is served while the slow one trickles: between any
    // two bytes of an unfinished request the poller got an answer.
    int iGaps = 0, iGapsUnserved = 0;
    for (const std::vector<Clock::time_point>& conn : byteTimes) {
        for (size_t i = 1; i < conn.size(); i++) {
            iGaps++;
            iGapsUnserved += poller.AnsweredBetween(conn[i - 1], conn[i]) == 0 ? 1 : 0;
        }
    }
    printf("poller: %d answered, worst %.1f ms; worst getstatus %.1f ms; %d of %d gaps between "
           "the slow master's bytes without an answer\n",
           poller.Answered(), poller.WorstMs(), dWorstCmdMs, iGapsUnserved, iGaps);
    EXPECT_GE(iGaps, 10);
    EXPECT_EQ(iGapsUnserved, 0) << "the poller waited while the slow master sent its bytes";
    EXPECT_LT(poller.LongestSilenceMs(tStart, tEnd), kMaxSilenceMs);
    EXPECT_EQ(poller.Failed(), 0);
    EXPECT_EQ(iStatusOk, 8);
    EXPECT_LT(dWorstCmdMs, kMaxSilenceMs);
    // A request that never completes in time costs the slow master its
    // connection (a 12-byte request at 0.3 s a byte takes 3.3 s).
    EXPECT_GE(iDropped.load(), 1);
    EXPECT_EQ(iAnswered.load(), 0) << "a request slower than the deadline was answered";
}

TEST_F(Fairness, HalfSentRequestIsDroppedAfterTheTimeOutWithoutOthersNoticing)
{
    Init();
    Poller poller(port);
    RawMaster half(port);
    ASSERT_TRUE(half.Connected());
    std::vector<uint8_t> req = Adu(1, ReadPdu(0, 1));
    auto t0 = Clock::now();
    ASSERT_TRUE(half.Send(std::vector<uint8_t>(req.begin(), req.begin() + 8)));
    // No answer, and the connection ends after the daemon's time-out.
    EXPECT_TRUE(half.WaitClosed(6000));
    auto tClosed = Clock::now();
    double dDroppedAfterMs = Ms(tClosed - t0);
    EXPECT_GT(dDroppedAfterMs, 1000.0);
    EXPECT_LT(dDroppedAfterMs, 5000.0);
    poller.Stop();
    EXPECT_EQ(poller.Failed(), 0);
    // Served all along while the half request waited for its deadline.
    printf("poller: %d answered, worst %.1f ms\n", poller.Answered(), poller.WorstMs());
    EXPECT_LT(poller.LongestSilenceMs(t0, tClosed), kMaxSilenceMs);
    EXPECT_EQ(Clients(), 1); // the poller
    Json status(client->CmdJson(R"({"cmd":"getstatus"})"));
    EXPECT_EQ(JsonInt(cJSON_GetObjectItem(status.json, "stat"), "rxerror"), 1);
}

TEST_F(Fairness, MasterThatNeverReadsIsDroppedWithoutStallingThePoller)
{
    Init();
    Poller poller(port);
    RawMaster flood(port, 4096);
    ASSERT_TRUE(flood.Connected());
    // Requests for 125 registers, never reading the answers.
    std::vector<uint8_t> burst;
    for (int i = 0; i < 50; i++) {
        std::vector<uint8_t> q = Adu(i, ReadPdu(0, 125));
        burst.insert(burst.end(), q.begin(), q.end());
    }
    auto tStart = Clock::now();
    auto tEnd = tStart + std::chrono::seconds(3);
    bool bDropped = false;
    while (Clock::now() < tEnd && !bDropped) {
        if (send(flood.Fd(), burst.data(), burst.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
            bDropped = errno == EPIPE || errno == ECONNRESET;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto tStop = Clock::now();
    poller.Stop();
    EXPECT_TRUE(bDropped);
    EXPECT_EQ(poller.Failed(), 0);
    // Served all along while the flood was answered and dropped.
    printf("poller: %d answered, worst %.1f ms\n", poller.Answered(), poller.WorstMs());
    EXPECT_LT(poller.LongestSilenceMs(tStart, tStop), kMaxSilenceMs);
    EXPECT_EQ(Clients(), 1); // the poller
    Json status(client->CmdJson(R"({"cmd":"getstatus"})"));
    EXPECT_GE(JsonInt(cJSON_GetObjectItem(status.json, "stat"), "txerror"), 1);
}

TEST_F(Fairness, MasterThatNeverReadsIsDroppedEveryTimeWithItsDefaultBuffers)
{
    // The same master as above but with the system's own socket buffers,
    // which grow to megabytes: the daemon must not keep queueing for it.
    // 20 masters one after the other, each dropped (a close: the daemon's
    // reset makes the master's send fail), each counted once in txerror.
    Init();
    std::vector<uint8_t> burst;
    for (int i = 0; i < 50; i++) {
        std::vector<uint8_t> q = Adu(i, ReadPdu(0, 125));
        burst.insert(burst.end(), q.begin(), q.end());
    }
    int iDropped = 0;
    auto TxValid = [this]() {
        Json status(client->CmdJson(R"({"cmd":"getstatus"})"));
        return JsonInt(cJSON_GetObjectItem(status.json, "stat"), "txvalid");
    };
    for (int iRun = 0; iRun < 20; iRun++) {
        const int iTxBefore = TxValid();
        RawMaster flood(port);
        ASSERT_TRUE(flood.Connected());
        auto tEnd = Clock::now() + std::chrono::seconds(10);
        bool bClosed = false;
        size_t uiSent = 0;
        while (Clock::now() < tEnd && !bClosed) {
            ssize_t n = send(flood.Fd(), burst.data(), burst.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                uiSent += static_cast<size_t>(n);
                continue;
            }
            if (errno == EPIPE || errno == ECONNRESET) {
                bClosed = true;
            } else {
                pollfd pfd = {flood.Fd(), POLLOUT, 0};
                poll(&pfd, 1, 100);
            }
        }
        EXPECT_TRUE(bClosed) << "run " << iRun << ": still connected after sending " << uiSent
                             << " bytes of requests without reading";
        // Dropped near the bound, not when the system's buffers are full:
        // the daemon's 64 KiB, 16 answers between two looks, and what the
        // master's receive window took (a buffer that is never read does not
        // grow) make some 400 to 700 answers of 259 bytes here; without the
        // bound the daemon answered some 16,000 (4 MB) before the drop.
        const int iAnswers = TxValid() - iTxBefore;
        EXPECT_LT(iAnswers, 2000) << "run " << iRun << ": " << uiSent << " bytes of requests";
        iDropped += bClosed ? 1 : 0;
    }
    EXPECT_EQ(iDropped, 20);
    Json status(client->CmdJson(R"({"cmd":"getstatus"})"));
    EXPECT_EQ(JsonInt(cJSON_GetObjectItem(status.json, "stat"), "txerror"), 20);
    EXPECT_EQ(Clients(), 0);
}

TEST_F(Fairness, BusThatDoesNotReadHoldsUpNoMaster)
{
    Init();
    client->WatchSignals();
    client->DrainSignals(50);
    // The bus stops reading: every write's data signal stays queued in the
    // daemon once the socket to the bus is full (about a thousand signals).
    ASSERT_EQ(kill(bus->Pid(), SIGSTOP), 0);
    // Whatever fails below, the bus runs again when the test ends.
    struct Resume {
        pid_t pid;
        ~Resume() { kill(pid, SIGCONT); }
    } resume{bus->Pid()};
    RawMaster m(port);
    ASSERT_TRUE(m.Connected());
    const int kWrites = 3000;
    int iAnswered = 0;
    double dWorstMs = 0;
    for (int i = 0; i < kWrites; i++) {
        std::vector<uint8_t> pdu = {6, 0, 1, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
        auto t0 = Clock::now();
        if (!m.Send(Adu(i, pdu)))
            break;
        std::vector<uint8_t> a = m.ReadFrame(3000);
        dWorstMs = std::max(dWorstMs, Ms(Clock::now() - t0));
        if (a.size() != 12)
            break;
        iAnswered++;
    }
    kill(bus->Pid(), SIGCONT);
    EXPECT_EQ(iAnswered, kWrites);
    printf("%d writes answered with the bus stopped, worst %.1f ms\n", iAnswered, dWorstMs);
    // Once the bus reads again, every signal arrives, in order.
    int iLast = -1, iSignals = 0;
    std::string sText;
    while (iSignals < iAnswered && client->WaitSignal("data", sText, 5000)) {
        cJSON* pData = cJSON_Parse(sText.c_str());
        cJSON* pValues = cJSON_GetObjectItem(cJSON_GetArrayItem(pData, 0), "values");
        int iValue = cJSON_GetArrayItem(pValues, 0) ? cJSON_GetArrayItem(pValues, 0)->valueint : -1;
        cJSON_Delete(pData);
        EXPECT_EQ(iValue, iLast + 1);
        iLast = iValue;
        iSignals++;
    }
    EXPECT_EQ(iSignals, iAnswered);
}

TEST_F(Fairness, IdleDaemonSleepsAndKeepsTheStatusPeriod)
{
    // Not initialised: nothing is due, nothing wakes the worker.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    long lBefore = WorkerSwitches(daemon->Pid());
    ASSERT_GE(lBefore, 0);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    long lIdle = WorkerSwitches(daemon->Pid()) - lBefore;
    EXPECT_LE(lIdle, 2) << "worker woke " << lIdle << " times in 2 s while idle";

    // Initialised, no master: only the status signal wakes it (every 3 s).
    client->WatchSignals();
    Init();
    std::string sText;
    ASSERT_TRUE(client->WaitSignal("status", sText, 5000));
    auto tFirst = Clock::now();
    lBefore = WorkerSwitches(daemon->Pid());
    std::this_thread::sleep_for(std::chrono::seconds(5));
    long lConfigured = WorkerSwitches(daemon->Pid()) - lBefore;
    EXPECT_LE(lConfigured, 15) << "worker woke " << lConfigured << " times in 5 s";
    printf("worker context switches: %ld in 2 s idle, %ld in 5 s initialised\n", lIdle,
           lConfigured);

    // The status keeps its period and its content. Signals queued during
    // the sleep are dropped first, so each arrival is timed as it comes.
    client->DrainSignals(10);
    std::vector<double> arrivals;
    while (arrivals.size() < 3 && client->WaitSignal("status", sText, 5000))
        arrivals.push_back(Ms(Clock::now() - tFirst));
    ASSERT_EQ(arrivals.size(), 3u);
    for (size_t i = 1; i < arrivals.size(); i++) {
        EXPECT_GT(arrivals[i] - arrivals[i - 1], 2000.0);
        EXPECT_LT(arrivals[i] - arrivals[i - 1], 4000.0);
    }
    Json status(cJSON_Parse(sText.c_str()));
    EXPECT_EQ(JsonStr(status.json, "protocol"), "tcp");
    EXPECT_EQ(JsonInt(status.json, "procstate"), 3);
    EXPECT_TRUE(cJSON_IsArray(cJSON_GetObjectItem(status.json, "clients")));
    EXPECT_TRUE(cJSON_IsObject(cJSON_GetObjectItem(status.json, "stat")));
}
