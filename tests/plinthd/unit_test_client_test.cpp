// libmodbus's own unit-test-client (from Debian's libmodbus source package,
// fetched and built by fetch_unit_test_client.sh) against plinthd, over TCP
// and over RTU. The client was written for libmodbus's unit-test-server; the
// assertions that only hold for that server's register layout or its special
// behaviours are listed below with the reason. Every other assertion passes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <regex>
#include <set>
#include <string>

#include "harness.h"

using namespace plinthd_test;

namespace
{

// Lines of the client (Debian's libmodbus 3.1.6-2.1+deb12u1, as patched by
// Debian) whose assertions depend on unit-test-server, not on Modbus:
// - 143-193: coils at 0x130 (37) and discrete inputs at 0x1C4 (22) with the
//   server's preset bit patterns; plinthd serves 16 coils/inputs from 0.
// - 328-408, the "(0)" cases: the server's blocks begin at its test
//   addresses, so address 0 is illegal there; plinthd's block begins at 0
//   (register 0 is served, as it must be).
// - 457: coil 0x132, where the server answers a deliberately wrong length;
//   plinthd has no coil there and answers exception 02.
// - 461: register 0x170, where the server answers a write with a broken
//   reply; plinthd writes the register.
// - 534: register 0x171, where the server answers with a wrong transaction
//   id or unit; plinthd answers correctly.
// - 605: register 0x172, where the server waits 0.5 s before answering.
// - 638 (TCP only): register 0x173, where the server sends byte by byte
//   with 5 ms between bytes.
// - 665: reading 2 registers at 0x160, which the server answers with a bad
//   byte count on purpose.
// - 674: register 0x170, where the server raises exception 06 (busy).
const std::set<int> kLayoutTcp = {143, 147, 148, 160, 165, 173, 186, 193, 328, 336, 345, 354, 360,
                                  364, 372, 381, 390, 399, 408, 457, 461, 534, 605, 638, 665, 674};

std::set<int> LayoutRtu()
{
    std::set<int> lines = kLayoutTcp;
    lines.erase(638);
    return lines;
}

// The client's own failure reports: "Line N: assertion error for ...".
std::set<int> FailedLines(const std::string& sOut)
{
    std::set<int> lines;
    std::regex re("Line ([0-9]+): assertion error");
    for (std::sregex_iterator it(sOut.begin(), sOut.end(), re), end; it != end; ++it)
        lines.insert(std::stoi((*it)[1]));
    return lines;
}

std::string Lines(const std::set<int>& lines)
{
    std::string s;
    for (int i : lines)
        s += std::to_string(i) + " ";
    return s;
}

// The tables that put the limits of the served block where the client
// expects the end of the server's registers (0x160 + 0x20), and the input
// register 0x108 the server presets to 10.
const char kTables[] = R"([{"address":0,"length":384,"mode":"rw"}])";
const char kPreset[] = R"({"cmd":"setconfig","data":[{"address":264,"values":[10]}]})";

class UnitTestClient : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const char* psz = getenv("UT_CLIENT");
        ASSERT_NE(psz, nullptr) << "UT_CLIENT (the client's path) is not set";
        sClient = psz;
        bus = std::make_unique<PrivateBus>();
        daemon = std::make_unique<DaemonProcess>(bus->Address());
        client = std::make_unique<BusClient>(bus->Address());
    }
    void Check(const std::string& sOut, const std::set<int>& expected)
    {
        // The client got to its end (its assertions no longer end the run).
        EXPECT_NE(sOut.find("TEST INVALID INITIALIZATION"), std::string::npos) << sOut;
        EXPECT_EQ(Lines(FailedLines(sOut)), Lines(expected)) << sOut;
    }
    std::string sClient;
    std::unique_ptr<PrivateBus> bus;
    std::unique_ptr<DaemonProcess> daemon;
    std::unique_ptr<BusClient> client;
};

} // namespace

TEST_F(UnitTestClient, OverTcpEveryAssertionButTheServersLayoutPasses)
{
    const int iPort = FreeTcpPort();
    ASSERT_EQ(client->Cmd(TcpInit(iPort, kTables)), R"({"err":0,"info":""})");
    ASSERT_EQ(client->Cmd(kPreset), R"({"err":0,"info":""})");
    std::string sOut;
    RunCommand("UT_TCP_PORT=" + std::to_string(iPort) + " timeout 120 " + sClient + " tcp 2>&1",
               &sOut);
    Check(sOut, kLayoutTcp);
}

TEST_F(UnitTestClient, OverRtuEveryAssertionButTheServersLayoutPasses)
{
    // A pseudo-terminal pair; the client opens its own end by path.
    const std::string sA = bus->Dir().Path() + "/ttyA", sB = bus->Dir().Path() + "/ttyB";
    pid_t pid = fork();
    if (pid == 0) {
        int iNull = open("/dev/null", O_WRONLY);
        dup2(iNull, 1);
        dup2(iNull, 2);
        execlp("socat", "socat", ("pty,raw,echo=0,link=" + sA).c_str(),
               ("pty,raw,echo=0,link=" + sB).c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    struct stat st;
    for (int i = 0; i < 300 && (stat(sA.c_str(), &st) != 0 || stat(sB.c_str(), &st) != 0); i++)
        usleep(10000);
    // Unit 17 at 115200 Bd 8N1, as the client asks.
    ASSERT_EQ(client->Cmd(R"({"cmd":"init","protocol":"rtu","delay":0,"rtu":{"devid":17,)"
                          R"("baud":115200,"port":")" +
                          sA + R"(","mode":"8N1"},"tables":)" + kTables + "}"),
              R"({"err":0,"info":""})");
    ASSERT_EQ(client->Cmd(kPreset), R"({"err":0,"info":""})");
    std::string sOut;
    RunCommand("UT_RTU_DEVICE=" + sB + " timeout 120 " + sClient + " rtu 2>&1", &sOut);
    Check(sOut, LayoutRtu());
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}
