// Modbus RTU serving of plinthd over a pseudo-terminal pair made by socat.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <modbus/modbus.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

using namespace plinthd_test;

namespace
{

// Two linked pseudo-terminals: the daemon opens one end, masters the other.
class PtyPair
{
public:
    explicit PtyPair(const std::string& sDir) : a(sDir + "/ttyA"), b(sDir + "/ttyB")
    {
        pid = fork();
        if (pid == 0) {
            int iNull = open("/dev/null", O_WRONLY);
            dup2(iNull, 1);
            dup2(iNull, 2);
            std::string sA = "pty,raw,echo=0,link=" + a;
            std::string sB = "pty,raw,echo=0,link=" + b;
            execlp("socat", "socat", sA.c_str(), sB.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        struct stat st;
        for (int i = 0; i < 300 && (stat(a.c_str(), &st) != 0 || stat(b.c_str(), &st) != 0); i++)
            usleep(10000);
        // socat ends the pair when the last user of one end closes it; holding
        // both ends open lets masters and the daemon come and go.
        holdA = open(a.c_str(), O_RDWR | O_NOCTTY);
        holdB = open(b.c_str(), O_RDWR | O_NOCTTY);
    }
    ~PtyPair() { Kill(); }
    // Ends the pair, as when a USB serial adapter is unplugged.
    void Kill()
    {
        if (pid < 0)
            return;
        close(holdA);
        close(holdB);
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
    std::string a, b;
    pid_t pid;
    int holdA = -1, holdB = -1;
};

class Rtu : public ::testing::Test
{
protected:
    void SetUp() override
    {
        bus = std::make_unique<PrivateBus>();
        pty = std::make_unique<PtyPair>(bus->Dir().Path());
        daemon = std::make_unique<DaemonProcess>(bus->Address());
        client = std::make_unique<BusClient>(bus->Address());
    }
    std::string InitText(int iDevId, const std::string& sMode)
    {
        return R"({"cmd":"init","protocol":"rtu","delay":0,"rtu":{"devid":)" +
               std::to_string(iDevId) + R"(,"baud":19200,"port":")" + pty->a + R"(","mode":")" +
               sMode + R"("},"tables":[{"address":0,"length":10,"mode":"rw"}]})";
    }
    modbus_t* Master(int iUnit)
    {
        modbus_t* ctx = modbus_new_rtu(pty->b.c_str(), 19200, 'E', 8, 1);
        modbus_set_slave(ctx, iUnit);
        modbus_set_response_timeout(ctx, 1, 0);
        EXPECT_EQ(modbus_connect(ctx), 0);
        return ctx;
    }
    std::unique_ptr<PrivateBus> bus;
    std::unique_ptr<PtyPair> pty;
    std::unique_ptr<DaemonProcess> daemon;
    std::unique_ptr<BusClient> client;
};

} // namespace

TEST_F(Rtu, MasterReadsAndWritesThroughTheSerialLineAsUnitOneWhenDevIdIsZero)
{
    ASSERT_EQ(client->Cmd(InitText(0, "8E1")), R"({"err":0,"info":""})");
    ASSERT_EQ(client->Cmd(R"({"cmd":"setconfig","data":[{"address":0,"values":[3,1,4,1,5]}]})"),
              R"({"err":0,"info":""})");
    // 8E1: eight data bits, parity checking, one stop bit on the daemon's
    // port (a pseudo-terminal keeps no parity bit itself, but input parity
    // checking is only switched on for a parity other than none).
    std::string sStty;
    ASSERT_EQ(RunCommand("stty -F " + pty->a + " -a", &sStty), 0);
    EXPECT_NE(sStty.find(" inpck"), std::string::npos) << sStty;
    EXPECT_NE(sStty.find(" cs8"), std::string::npos) << sStty;
    EXPECT_NE(sStty.find(" -cstopb"), std::string::npos) << sStty;

    Json status(client->CmdJson(R"({"cmd":"getstatus"})"));
    EXPECT_EQ(JsonStr(status.json, "protocol"), "rtu");
    EXPECT_EQ(JsonInt(status.json, "devid"), 0);

    modbus_t* m = Master(1);
    uint16_t regs[5] = {0};
    ASSERT_EQ(modbus_read_registers(m, 0, 5, regs), 5) << modbus_strerror(errno);
    EXPECT_EQ(std::vector<int>(regs, regs + 5), (std::vector<int>{3, 1, 4, 1, 5}));
    uint16_t values[2] = {900, 901};
    ASSERT_EQ(modbus_write_registers(m, 8, 2, values), 2);
    Json cfg(
        client->CmdJson(R"({"cmd":"getconfig","zones":[{"address":8,"length":2,"mode":"r"}]})"));
    cJSON* pValues =
        cJSON_GetObjectItem(cJSON_GetArrayItem(cJSON_GetObjectItem(cfg.json, "data"), 0), "values");
    ASSERT_EQ(cJSON_GetArraySize(pValues), 2);
    EXPECT_EQ(cJSON_GetArrayItem(pValues, 0)->valueint, 900);
    EXPECT_EQ(cJSON_GetArrayItem(pValues, 1)->valueint, 901);
    modbus_close(m);
    modbus_free(m);

    // mbpoll, an independent master, reads the same words.
    std::string sOut;
    ASSERT_EQ(
        RunCommand("mbpoll -m rtu -a 1 -b 19200 -P even -d 8 -s 1 -r 1 -c 3 -t 4 -1 -o 1 " + pty->b,
                   &sOut),
        0)
        << sOut;
    EXPECT_NE(sOut.find("[3]: \t4"), std::string::npos) << sOut;

    // Unit 2 is somebody else on the line: no answer.
    modbus_t* other = Master(2);
    EXPECT_EQ(modbus_read_registers(other, 0, 1, regs), -1);
    modbus_close(other);
    modbus_free(other);
}

TEST_F(Rtu, BrokenFrameIsNotAnsweredAndCounted)
{
    ASSERT_EQ(client->Cmd(InitText(1, "8N1")), R"({"err":0,"info":""})");
    std::string sStty;
    ASSERT_EQ(RunCommand("stty -F " + pty->a + " -a", &sStty), 0);
    EXPECT_NE(sStty.find(" -inpck"), std::string::npos) << sStty;
    int fd = open(pty->b.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios tio;
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    // Read holding register 0 of unit 1 with a wrong CRC.
    const uint8_t bad[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0xDE, 0xAD};
    ASSERT_EQ(write(fd, bad, sizeof(bad)), static_cast<ssize_t>(sizeof(bad)));
    pollfd pfd = {fd, POLLIN, 0};
    EXPECT_EQ(poll(&pfd, 1, 1000), 0) << "the daemon answered a broken frame";
    close(fd);

    Json status(client->CmdJson(R"({"cmd":"getstatus"})"));
    cJSON* pStat = cJSON_GetObjectItem(status.json, "stat");
    EXPECT_EQ(JsonInt(pStat, "rxerror"), 1);
    EXPECT_EQ(JsonInt(pStat, "txvalid"), 0);

    // The line recovers: a good query is answered.
    modbus_t* m = Master(1);
    uint16_t reg = 1;
    EXPECT_EQ(modbus_read_registers(m, 0, 1, &reg), 1) << modbus_strerror(errno);
    EXPECT_EQ(reg, 0);
    modbus_close(m);
    modbus_free(m);
}

TEST_F(Rtu, UnservedAndMalformedRequestsGetStandardExceptionsOnTheLineToo)
{
    ASSERT_EQ(client->Cmd(InitText(1, "8E1")), R"({"err":0,"info":""})");
    modbus_t* m = Master(1);
    struct Case {
        std::vector<uint8_t> req; // unit id and PDU; libmodbus adds the CRC
        int iFunction, iCode;
    };
    const Case cases[] = {
        {{1, 0x07}, 0x87, 1},                         // read exception status: not served
        {{1, 0x41}, 0xC1, 1},                         // an unassigned function
        {{1, 0x05, 0, 1, 0x12, 0x34}, 0x85, 3},       // a coil value other than 0 or 0xFF00
        {{1, 0x03, 0, 0, 0, 0}, 0x83, 3},             // a read of no register
        {{1, 0x10, 0, 0, 0, 2, 3, 0, 1, 2}, 0x90, 3}, // byte count 3 for 2 registers
        {{1, 0x03, 0, 9, 0, 2}, 0x83, 2},             // past the served range
    };
    for (const Case& c : cases) {
        ASSERT_GT(modbus_send_raw_request(m, c.req.data(), static_cast<int>(c.req.size())), 0);
        uint8_t rsp[MODBUS_RTU_MAX_ADU_LENGTH];
        ASSERT_EQ(modbus_receive_confirmation(m, rsp), 5) << "function " << int(c.req[1]);
        EXPECT_EQ(rsp[0], 1);
        EXPECT_EQ(rsp[1], c.iFunction);
        EXPECT_EQ(rsp[2], c.iCode);
    }
    // The line is still in step: a good query is answered.
    uint16_t reg = 1;
    EXPECT_EQ(modbus_read_registers(m, 0, 1, &reg), 1) << modbus_strerror(errno);
    EXPECT_EQ(reg, 0);
    modbus_close(m);
    modbus_free(m);
}

TEST_F(Rtu, RefusedUnitIdFailsInitAndReleasesThePort)
{
    // Unit ids above 247 do not exist on a serial line.
    EXPECT_EQ(client->Cmd(InitText(300, "8N1")),
              R"({"err":-1,"info":"Can't initialize Modbus interface"})");
    Json status(client->CmdJson(R"({"cmd":"getstatus"})"));
    EXPECT_EQ(JsonInt(status.json, "procstate"), 1);
    // Nothing stays open: a corrected init opens the same port.
    EXPECT_EQ(client->Cmd(InitText(5, "8N1")), R"({"err":0,"info":""})");
    modbus_t* m = Master(5);
    uint16_t reg = 1;
    EXPECT_EQ(modbus_read_registers(m, 0, 1, &reg), 1) << modbus_strerror(errno);
    modbus_close(m);
    modbus_free(m);
}

namespace
{
// CPU time (user + system) the process has used, in clock ticks.
long CpuTicks(pid_t pid)
{
    std::string sStat;
    RunCommand("cat /proc/" + std::to_string(pid) + "/stat", &sStat);
    // Fields after the command name (which ends with ')'): state is field 3,
    // utime and stime are fields 14 and 15.
    std::istringstream in(sStat.substr(sStat.rfind(')') + 2));
    std::string sField;
    long lUser = 0, lSys = 0;
    for (int i = 3; i <= 15 && in >> sField; i++) {
        if (i == 14)
            lUser = atol(sField.c_str());
        if (i == 15)
            lSys = atol(sField.c_str());
    }
    return lUser + lSys;
}
} // namespace

TEST_F(Rtu, HungUpPortIsReportedAndDoesNotSpinTheLoop)
{
    ASSERT_EQ(client->Cmd(InitText(1, "8N1")), R"({"err":0,"info":""})");
    pty->Kill();
    usleep(200000);
    long lBefore = CpuTicks(daemon->Pid());
    usleep(1000000);
    long lUsed = CpuTicks(daemon->Pid()) - lBefore;
    // A loop woken at once by the hang-up on every iteration keeps a core
    // busy (about 25 of the 100 ticks of this second were seen); the idle
    // daemon uses next to nothing.
    EXPECT_LT(lUsed, 10) << "CPU ticks used in 1 s after the hang-up";
    Json status(client->CmdJson(R"({"cmd":"getstatus"})"));
    EXPECT_EQ(JsonInt(status.json, "err"), 299);
    // The controller can close the interface and start again.
    EXPECT_EQ(client->Cmd(R"({"cmd":"deinit"})"), R"({"err":0,"info":""})");
    EXPECT_EQ(JsonInt(Json(client->CmdJson(R"({"cmd":"getstatus"})")).json, "procstate"), 1);
}
