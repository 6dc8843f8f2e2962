// Bounded masters: at the connection limit the master idle the longest
// makes room for a newcomer, idle connections cannot lock out a real master
// (not even when the daemon is short of descriptors), and an idle time-out
// closes masters that stay silent. Raw sockets, libmodbus and the real
// daemon.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "harness.h"

using namespace plinthd_test;
using Clock = std::chrono::steady_clock;

namespace
{

// iCount connections that never send anything, made 100 at a time without
// waiting for each. Their descriptors, or fewer when a connection failed.
std::vector<int> IdleConnections(int iPort, int iCount)
{
    std::vector<int> fds;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(iPort));
    while (static_cast<int>(fds.size()) < iCount) {
        std::vector<pollfd> batch;
        for (int i = 0; i < 100 && static_cast<int>(fds.size() + batch.size()) < iCount; i++) {
            int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 &&
                errno != EINPROGRESS) {
                close(s);
                return fds;
            }
            batch.push_back({s, POLLOUT, 0});
        }
        size_t uiDone = 0;
        Clock::time_point tEnd = Clock::now() + std::chrono::seconds(10);
        while (uiDone < batch.size() && Clock::now() < tEnd) {
            if (poll(batch.data(), batch.size(), 100) < 0)
                break;
            for (pollfd& p : batch) {
                if (p.fd >= 0 && p.revents != 0) {
                    int iErr = 0;
                    socklen_t len = sizeof(iErr);
                    getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &iErr, &len);
                    if (iErr != 0) {
                        close(p.fd);
                        return fds;
                    }
                    fds.push_back(p.fd);
                    p.fd = -1;
                    uiDone++;
                }
            }
        }
        if (uiDone < batch.size())
            return fds;
    }
    return fds;
}

// Register iAddr read over one request; false on no or a wrong answer.
bool ReadOne(RawMaster& master, int iAddr, int& iValue)
{
    static int s_iTid = 0;
    if (!master.Send(Adu(++s_iTid, ReadPdu(iAddr, 1))))
        return false;
    std::vector<uint8_t> frame = master.ReadFrame(3000);
    if (frame.size() != 11 || frame[7] != 3)
        return false;
    iValue = (frame[9] << 8) | frame[10];
    return true;
}

// The local port of a socket, as the daemon reports the master.
int LocalPort(int iFD)
{
    sockaddr_in addr{};
    socklen_t len = sizeof(addr);
    getsockname(iFD, reinterpret_cast<sockaddr*>(&addr), &len);
    return ntohs(addr.sin_port);
}

class Limits : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        // 1,100 connections of our own need more than the usual 1,024.
        rlimit lim;
        getrlimit(RLIMIT_NOFILE, &lim);
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
    void Start(const std::string& sExtra, bool bEvents = false)
    {
        bus = std::make_unique<PrivateBus>();
        daemon = std::make_unique<DaemonProcess>(bus->Address());
        client = std::make_unique<BusClient>(bus->Address());
        port = FreeTcpPort();
        std::string sInit =
            R"({"cmd":"init","protocol":"tcp","delay":0,"tcp":{"listen":"127.0.0.1","port":)" +
            std::to_string(port) + sExtra +
            R"(},"tables":[{"address":0,"length":100,"mode":"rw"}]})";
        Json r(client->CmdJson(sInit));
        ASSERT_EQ(JsonInt(r.json, "err"), 0) << JsonStr(r.json, "info");
        std::string sValues;
        for (int i = 0; i < 100; i++)
            sValues += (i ? "," : "") + std::to_string(i + 7);
        ASSERT_EQ(client->Cmd(std::string(R"({"cmd":"setconfig","event":)") +
                              (bEvents ? "true" : "false") + R"(,"data":[{"address":0,"values":[)" +
                              sValues + "]}]}"),
                  R"({"err":0,"info":""})");
    }
    int ClientCount()
    {
        Json status(client->CmdJson(R"({"cmd":"getstatus"})"));
        return cJSON_GetArraySize(cJSON_GetObjectItem(status.json, "clients"));
    }
    int Limit(const char* pszKey)
    {
        Json status(client->CmdJson(R"({"cmd":"getstatus"})"));
        return JsonInt(cJSON_GetObjectItem(status.json, "limits"), pszKey);
    }
    // A real master (mbpoll, its own process: the test's own 1,100 sockets
    // would be beyond what libmodbus's select() takes) connects and reads
    // registers 5 and 6; the time it took, or a negative number when it
    // failed.
    double RealMasterReads()
    {
        Clock::time_point t0 = Clock::now();
        std::string sOut;
        int iStatus = RunCommand("mbpoll -m tcp -a 1 -r 6 -c 2 -t 4 -1 -o 5 -p " +
                                     std::to_string(port) + " 127.0.0.1",
                                 &sOut);
        double dMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        const bool bOk = iStatus == 0 && sOut.find("[6]: \t12") != std::string::npos &&
                         sOut.find("[7]: \t13") != std::string::npos;
        if (!bOk)
            printf("mbpoll (status %d): %s\n", iStatus, sOut.c_str());
        return bOk ? dMs : -1;
    }
    std::unique_ptr<PrivateBus> bus;
    std::unique_ptr<DaemonProcess> daemon;
    std::unique_ptr<BusClient> client;
    int port = 0;
};

} // namespace

TEST_F(Limits, AtTheLimitTheMasterIdleTheLongestMakesRoom)
{
    Start(R"(,"clients":10)", true);
    client->WatchSignals();
    std::vector<std::unique_ptr<RawMaster>> masters;
    for (int i = 0; i < 10; i++) {
        masters.push_back(std::make_unique<RawMaster>(port));
        ASSERT_TRUE(masters.back()->Connected());
    }
    // Every master but the fourth asks something, in order: the fourth is
    // idle the longest, though the first connected before it.
    int iValue = 0;
    for (int i = 0; i < 10; i++) {
        if (i != 3) {
            ASSERT_TRUE(ReadOne(*masters[i], i, iValue)) << "master " << i;
            EXPECT_EQ(iValue, i + 7);
        }
    }
    ASSERT_EQ(ClientCount(), 10);
    client->DrainSignals(100);
    RawMaster newcomer(port);
    ASSERT_TRUE(ReadOne(newcomer, 50, iValue));
    EXPECT_EQ(iValue, 57);
    EXPECT_TRUE(masters[3]->WaitClosed(2000));
    // The others are still served, on their connections.
    for (int i = 0; i < 10; i++) {
        if (i != 3) {
            EXPECT_TRUE(ReadOne(*masters[i], 1, iValue)) << "master " << i;
        }
    }
    EXPECT_EQ(ClientCount(), 10);
    EXPECT_EQ(Limit("evicted"), 1);
    EXPECT_EQ(Limit("maxclients"), 10);
    // Reported as any master that leaves.
    std::string sText;
    bool bSeen = false;
    while (!bSeen && client->WaitSignal("event", sText, 2000)) {
        bSeen = sText.find("tcpdisconnect") != std::string::npos &&
                sText.find(std::to_string(LocalPort(masters[3]->Fd()))) != std::string::npos;
    }
    EXPECT_TRUE(bSeen) << "no tcpdisconnect for the evicted master";
}

TEST_F(Limits, ElevenHundredIdleConnectionsDoNotLockOutARealMaster)
{
    Start(R"(,"clients":10)");
    RawMaster first(port);
    int iValue = 0;
    ASSERT_TRUE(ReadOne(first, 0, iValue));
    Clock::time_point t0 = Clock::now();
    std::vector<int> idle = IdleConnections(port, 1100);
    ASSERT_EQ(idle.size(), 1100u);
    printf("1,100 idle connections made in %.0f ms\n",
           std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    const double dMs = RealMasterReads();
    EXPECT_GT(dMs, 0) << "the real master was not served";
    printf("real master after 1,100 idle connections: connected and read in %.1f ms\n", dMs);
    EXPECT_TRUE(daemon->Alive());
    EXPECT_LE(ClientCount(), 10);
    EXPECT_GE(Limit("evicted"), 1091);
    // The oldest, idle since its one request, was among the first to go.
    EXPECT_TRUE(first.WaitClosed(1000));
    for (int s : idle)
        close(s);
}

TEST_F(Limits, ShortOfDescriptorsTheIdlestStillMakesRoom)
{
    // No "clients": the default (512) is far beyond what 64 descriptors
    // allow, so the descriptor limit is met first.
    Start("");
    ASSERT_EQ(RunCommand("prlimit --pid " + std::to_string(daemon->Pid()) + " --nofile=64:64"), 0);
    Clock::time_point t0 = Clock::now();
    std::vector<int> idle = IdleConnections(port, 1100);
    ASSERT_EQ(idle.size(), 1100u);
    printf("1,100 idle connections made in %.0f ms\n",
           std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    const double dMs = RealMasterReads();
    EXPECT_GT(dMs, 0) << "the real master was not served";
    printf("real master after 1,100 idle connections, 64 descriptors: read in %.1f ms\n", dMs);
    EXPECT_TRUE(daemon->Alive());
    EXPECT_LE(daemon->OpenDescriptors(), 64);
    EXPECT_GT(Limit("evicted"), 1000);
    // The newest idle ones are still connected, the first ones are not.
    RawMaster last(port);
    int iValue = 0;
    EXPECT_TRUE(ReadOne(last, 2, iValue));
    EXPECT_EQ(iValue, 9);
    for (int s : idle)
        close(s);
}

TEST_F(Limits, AnIdleTimeOutClosesSilentMastersOnly)
{
    Start(R"(,"idletimeout":1)");
    RawMaster silent(port), busy(port);
    ASSERT_TRUE(silent.Connected() && busy.Connected());
    int iValue = 0;
    Clock::time_point t0 = Clock::now();
    // The busy master asks every 200 ms for 2.5 s.
    while (Clock::now() - t0 < std::chrono::milliseconds(2500)) {
        ASSERT_TRUE(ReadOne(busy, 3, iValue));
        usleep(200000);
    }
    EXPECT_TRUE(silent.WaitClosed(100));
    EXPECT_TRUE(ReadOne(busy, 4, iValue));
    EXPECT_EQ(Limit("idleclosed"), 1);
    EXPECT_EQ(Limit("idletimeout"), 1);
}

TEST_F(Limits, TheInitRefusesBadBounds)
{
    bus = std::make_unique<PrivateBus>();
    daemon = std::make_unique<DaemonProcess>(bus->Address());
    client = std::make_unique<BusClient>(bus->Address());
    const int iPort = FreeTcpPort();
    for (const char* pszExtra : {R"("clients":-1)", R"("clients":"10")", R"("idletimeout":-5)",
                                 R"("idletimeout":1.5)", R"("idletimeout":100000)"}) {
        std::string sInit =
            R"({"cmd":"init","protocol":"tcp","delay":0,"tcp":{"listen":"127.0.0.1","port":)" +
            std::to_string(iPort) + "," + pszExtra +
            R"(},"tables":[{"address":0,"length":10,"mode":"rw"}]})";
        Json r(client->CmdJson(sInit));
        EXPECT_EQ(JsonInt(r.json, "err"), 108) << pszExtra;
        EXPECT_NE(JsonStr(r.json, "info"), "") << pszExtra;
    }
}
