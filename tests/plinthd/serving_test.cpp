// Modbus TCP and TCP-PI serving of plinthd: real masters (libmodbus,
// pymodbus, mbpoll) against the real daemon, signals seen on a private bus.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <thread>
#include <memory>
#include <string>
#include <vector>

#include "harness.h"

using namespace plinthd_test;

namespace
{

struct Master {
    explicit Master(int iPort, const char* pszHost = "127.0.0.1")
    {
        ctx = modbus_new_tcp(pszHost, iPort);
        modbus_set_response_timeout(ctx, 3, 0);
        connected = modbus_connect(ctx) == 0;
    }
    ~Master()
    {
        modbus_close(ctx);
        modbus_free(ctx);
    }
    std::vector<int> Read(int iAddr, int iLen, bool bInput = false)
    {
        std::vector<uint16_t> regs(iLen);
        int n = bInput ? modbus_read_input_registers(ctx, iAddr, iLen, regs.data())
                       : modbus_read_registers(ctx, iAddr, iLen, regs.data());
        if (n != iLen)
            return {};
        return std::vector<int>(regs.begin(), regs.end());
    }
    int LocalPort()
    {
        sockaddr_in addr{};
        socklen_t len = sizeof(addr);
        getsockname(modbus_get_socket(ctx), reinterpret_cast<sockaddr*>(&addr), &len);
        return ntohs(addr.sin_port);
    }
    modbus_t* ctx;
    bool connected;
};

class Serving : public ::testing::Test
{
protected:
    void SetUp() override
    {
        bus = std::make_unique<PrivateBus>();
        daemon = std::make_unique<DaemonProcess>(bus->Address());
        client = std::make_unique<BusClient>(bus->Address());
        client->WatchSignals();
        port = FreeTcpPort();
    }
    void Init(const std::string& sTables, const std::string& sListen = "127.0.0.1")
    {
        Json r(client->CmdJson(TcpInit(port, sTables, sListen)));
        ASSERT_EQ(JsonInt(r.json, "err"), 0) << JsonStr(r.json, "info");
    }
    void Set(const std::string& sData, bool bEvents = false)
    {
        std::string s = R"({"cmd":"setconfig","event":)" + std::string(bEvents ? "true" : "false") +
                        R"(,"data":)" + sData + "}";
        ASSERT_EQ(client->Cmd(s), R"({"err":0,"info":""})");
    }
    std::vector<int> Backend(int iAddr, int iLen)
    {
        Json r(client->CmdJson(R"({"cmd":"getconfig","zones":[{"address":)" +
                               std::to_string(iAddr) + R"(,"length":)" + std::to_string(iLen) +
                               R"(,"mode":"r"}]})"));
        std::vector<int> v;
        cJSON* p = nullptr;
        cJSON_ArrayForEach(
            p, cJSON_GetObjectItem(cJSON_GetArrayItem(cJSON_GetObjectItem(r.json, "data"), 0),
                                   "values")) v.push_back(p->valueint);
        return v;
    }
    std::unique_ptr<PrivateBus> bus;
    std::unique_ptr<DaemonProcess> daemon;
    std::unique_ptr<BusClient> client;
    int port = 0;
};

std::vector<int> Seq(int iFrom, int iCount)
{
    std::vector<int> v;
    for (int i = 0; i < iCount; i++)
        v.push_back(iFrom + i);
    return v;
}

std::string JsonArray(const std::vector<int>& v)
{
    std::string s = "[";
    for (size_t i = 0; i < v.size(); i++)
        s += (i ? "," : "") + std::to_string(v[i]);
    return s + "]";
}

} // namespace

TEST_F(Serving, MastersReadOnlyReadableRegistersWithFunctions3And4Alike)
{
    Init(
        R"([{"address":0,"length":10,"mode":"r","zones":[{"address":2,"length":3,"mode":"w"}]},{"address":20,"length":5,"mode":"rw"}])");
    Set(R"([{"address":0,"values":)" + JsonArray(Seq(1, 25)) + "}]");

    Master m(port);
    ASSERT_TRUE(m.connected);
    std::vector<int> expected = Seq(1, 25);
    for (int a = 2; a <= 4; a++)
        expected[a] = 0; // the "w" zone inside the "r" table
    for (int a = 10; a <= 19; a++)
        expected[a] = 0; // no table covers them
    EXPECT_EQ(m.Read(0, 25), expected);
    EXPECT_EQ(m.Read(0, 25, true), expected);
    // The controller still sees everything it stored.
    EXPECT_EQ(Backend(0, 25), Seq(1, 25));
    // Register 25 lies beyond the range: an exception, not data.
    uint16_t reg = 0;
    EXPECT_EQ(modbus_read_registers(m.ctx, 24, 2, &reg), -1);
    EXPECT_EQ(errno, EMBXILADD);
}

TEST_F(Serving, MasterWritesFollowTheAccessOfEachRegisterAndAreSignalled)
{
    Init(
        R"([{"address":0,"length":20,"mode":"-","zones":[{"address":10,"length":1,"mode":"r"},{"address":11,"length":1,"mode":"rw"}]}])");
    Set(R"([{"address":10,"values":[100,200,300]}])");
    client->DrainSignals(50);

    Master m(port);
    ASSERT_TRUE(m.connected);
    uint16_t values[3] = {1, 2, 3};
    ASSERT_EQ(modbus_write_registers(m.ctx, 10, 3, values), 3);
    std::string sText;
    ASSERT_TRUE(client->WaitSignal("data", sText, 2000));
    // Listeners may read the text line by line: its layout is fixed.
    EXPECT_EQ(sText, "[\n"
                     "\t{\n"
                     "\t\t\"address\": 10,\n"
                     "\t\t\"values\": \n"
                     "\t\t[\n"
                     "\t\t\t100,\n"
                     "\t\t\t2,\n"
                     "\t\t\t0\n"
                     "\t\t]\n"
                     "\t}\n"
                     "]");
    Json data(sText);
    ASSERT_TRUE(cJSON_IsArray(data.json)) << sText;
    EXPECT_EQ(cJSON_GetArraySize(data.json), 1);
    cJSON* pBlock = cJSON_GetArrayItem(data.json, 0);
    EXPECT_EQ(JsonInt(pBlock, "address"), 10);
    cJSON* pValues = cJSON_GetObjectItem(pBlock, "values");
    ASSERT_EQ(cJSON_GetArraySize(pValues), 3);
    EXPECT_EQ(cJSON_GetArrayItem(pValues, 0)->valueint, 100); // "r": the master's write is undone
    EXPECT_EQ(cJSON_GetArrayItem(pValues, 1)->valueint, 2);   // "rw": taken
    EXPECT_EQ(cJSON_GetArrayItem(pValues, 2)->valueint, 0);   // "-": cleared on both sides

    EXPECT_EQ(Backend(10, 3), (std::vector<int>{100, 2, 0}));
    EXPECT_EQ(m.Read(10, 2), (std::vector<int>{100, 2}));

    // A single-register write (function 6) is handled the same way.
    ASSERT_EQ(modbus_write_register(m.ctx, 11, 4242), 1);
    ASSERT_TRUE(client->WaitSignal("data", sText, 2000));
    EXPECT_EQ(Backend(11, 1), (std::vector<int>{4242}));
}

TEST_F(Serving, MaskWriteAndWriteReadFollowTheAccessRulesToo)
{
    Init(
        R"([{"address":0,"length":10,"mode":"r","zones":[{"address":5,"length":5,"mode":"rw"}]}])");
    Set(R"([{"address":0,"values":[10,11,12,13,14,15,16,17,18,19]}])");
    client->DrainSignals(50);
    Master m(port);
    ASSERT_TRUE(m.connected);
    // Function 22 on a read-only register: the change is undone.
    ASSERT_EQ(modbus_mask_write_register(m.ctx, 1, 0x0000, 0x7777), 1);
    EXPECT_EQ(m.Read(1, 1), (std::vector<int>{11}));
    std::string sText;
    ASSERT_TRUE(client->WaitSignal("data", sText, 2000));
    EXPECT_EQ(JsonInt(cJSON_GetArrayItem(Json(sText).json, 0), "address"), 1);
    // On a read-write register it is taken and reported.
    ASSERT_EQ(modbus_mask_write_register(m.ctx, 6, 0x0000, 0x0042), 1);
    ASSERT_TRUE(client->WaitSignal("data", sText, 2000));
    EXPECT_EQ(JsonInt(cJSON_GetArrayItem(Json(sText).json, 0), "address"), 6);
    EXPECT_EQ(Backend(6, 1), (std::vector<int>{0x42}));
    // Function 23 writing registers 3..6 ("r", "r", "rw", "rw").
    uint16_t values[4] = {100, 101, 102, 103};
    uint16_t read[2] = {0, 0};
    ASSERT_EQ(modbus_write_and_read_registers(m.ctx, 3, 4, values, 8, 2, read), 2);
    EXPECT_EQ(Backend(3, 4), (std::vector<int>{13, 14, 102, 103}));
    EXPECT_EQ(m.Read(3, 4), (std::vector<int>{13, 14, 102, 103}));
    ASSERT_TRUE(client->WaitSignal("data", sText, 2000));
    Json data(sText);
    EXPECT_EQ(JsonInt(cJSON_GetArrayItem(data.json, 0), "address"), 3);
}

TEST_F(Serving, WriteAcrossTheEndOfTheRangeIsRefusedAndReportsTheLastRegister)
{
    Init(R"([{"address":0,"length":8,"mode":"rw"}])");
    Set(R"([{"address":7,"values":[77]}])");
    client->DrainSignals(50);
    Master m(port);
    ASSERT_TRUE(m.connected);
    uint16_t values[2] = {5, 6};
    EXPECT_EQ(modbus_write_registers(m.ctx, 7, 2, values), -1);
    EXPECT_EQ(errno, EMBXILADD);
    std::string sText;
    ASSERT_TRUE(client->WaitSignal("data", sText, 2000));
    Json data(sText);
    cJSON* pBlock = cJSON_GetArrayItem(data.json, 0);
    EXPECT_EQ(JsonInt(pBlock, "address"), 7);
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(pBlock, "values")), 1);
    EXPECT_EQ(Backend(7, 1), (std::vector<int>{77}));
}

TEST_F(Serving, EventsAreSignalledOnlyWhenEnabled)
{
    Init(R"([{"address":0,"length":8,"mode":"rw"}])");
    Set(R"([{"address":0,"values":[1]}])", false);
    client->DrainSignals(50);
    {
        Master m(port);
        ASSERT_TRUE(m.connected);
        EXPECT_EQ(m.Read(0, 2).size(), 2u);
        ASSERT_EQ(modbus_write_register(m.ctx, 1, 9), 1);
    }
    // Writes are always reported; connects, reads and disconnects are not.
    EXPECT_EQ(client->CountSignals("data", 300), 1);
    EXPECT_EQ(client->CountSignals("event", 0), 0);

    Set(R"([])", true);
    client->DrainSignals(50);
    Master m(port);
    ASSERT_TRUE(m.connected);
    std::string sText;
    ASSERT_TRUE(client->WaitSignal("event", sText, 2000));
    EXPECT_EQ(sText, "{\n"
                     "\t\"tcpclient\": \n"
                     "\t{\n"
                     "\t\t\"ip\": \"127.0.0.1\",\n"
                     "\t\t\"port\": " +
                         std::to_string(m.LocalPort()) +
                         "\n"
                         "\t},\n"
                         "\t\"type\": \"tcpconnect\"\n"
                         "}");
    {
        Json ev(sText);
        EXPECT_EQ(JsonStr(ev.json, "type"), "tcpconnect");
        cJSON* pClient = cJSON_GetObjectItem(ev.json, "tcpclient");
        EXPECT_EQ(JsonStr(pClient, "ip"), "127.0.0.1");
        EXPECT_EQ(JsonInt(pClient, "port"), m.LocalPort());
    }
    EXPECT_EQ(m.Read(3, 4).size(), 4u);
    ASSERT_TRUE(client->WaitSignal("event", sText, 2000));
    EXPECT_EQ(sText, "{\n"
                     "\t\"mbread\": \n"
                     "\t{\n"
                     "\t\t\"address\": 3,\n"
                     "\t\t\"length\": 4\n"
                     "\t},\n"
                     "\t\"type\": \"mbread\"\n"
                     "}");
    {
        Json ev(sText);
        EXPECT_EQ(JsonStr(ev.json, "type"), "mbread");
        cJSON* pRead = cJSON_GetObjectItem(ev.json, "mbread");
        EXPECT_EQ(JsonInt(pRead, "address"), 3);
        EXPECT_EQ(JsonInt(pRead, "length"), 4);
    }
    int iLocal = m.LocalPort();
    modbus_close(m.ctx);
    ASSERT_TRUE(client->WaitSignal("event", sText, 2000));
    Json ev(sText);
    EXPECT_EQ(JsonStr(ev.json, "type"), "tcpdisconnect");
    EXPECT_EQ(JsonInt(cJSON_GetObjectItem(ev.json, "tcpclient"), "port"), iLocal);
}

TEST_F(Serving, StatusListsConnectedClientsByTheirPortAndCountsTraffic)
{
    Init(R"([{"address":0,"length":8,"mode":"rw"}])");
    int iClientPort = FreeTcpPort();
    int s = socket(AF_INET, SOCK_STREAM, 0);
    int iOne = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &iOne, sizeof(iOne));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    local.sin_port = htons(iClientPort);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&local), sizeof(local)), 0);
    sockaddr_in server = local;
    server.sin_port = htons(port);
    ASSERT_EQ(connect(s, reinterpret_cast<sockaddr*>(&server), sizeof(server)), 0);

    Master m(port);
    ASSERT_TRUE(m.connected);
    for (int i = 0; i < 5; i++)
        ASSERT_EQ(m.Read(0, 8).size(), 8u);

    Json status(client->CmdJson(R"({"cmd":"getstatus"})"));
    cJSON* pClients = cJSON_GetObjectItem(status.json, "clients");
    ASSERT_EQ(cJSON_GetArraySize(pClients), 2);
    std::vector<int> ports;
    cJSON* p = nullptr;
    cJSON_ArrayForEach(p, pClients)
    {
        EXPECT_EQ(JsonStr(p, "ip"), "127.0.0.1");
        ports.push_back(JsonInt(p, "port"));
    }
    EXPECT_NE(std::find(ports.begin(), ports.end(), iClientPort), ports.end());
    EXPECT_NE(std::find(ports.begin(), ports.end(), m.LocalPort()), ports.end());
    cJSON* pStat = cJSON_GetObjectItem(status.json, "stat");
    EXPECT_EQ(JsonInt(pStat, "rxvalid"), 5);
    EXPECT_EQ(JsonInt(pStat, "txvalid"), 5);

    // A write whose byte count does not match its quantity is answered with
    // an exception; a frame length no request can have is a reception error
    // and ends the connection.
    const uint8_t bad[] = {0, 1, 0, 0, 0, 7, 1, 0x10, 0, 0, 0, 0x7F, 0xFF};
    ASSERT_EQ(write(s, bad, sizeof(bad)), static_cast<ssize_t>(sizeof(bad)));
    uint8_t buf[16];
    ASSERT_EQ(read(s, buf, sizeof(buf)), 9);
    EXPECT_EQ(buf[7], 0x90);
    EXPECT_EQ(buf[8], MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
    const uint8_t broken[] = {0, 2, 0, 0, 0x01, 0x2C, 1, 0x03, 0, 0, 0, 1};
    ASSERT_EQ(write(s, broken, sizeof(broken)), static_cast<ssize_t>(sizeof(broken)));
    EXPECT_EQ(read(s, buf, sizeof(buf)), 0); // the daemon drops such a client
    close(s);
    Json after(client->CmdJson(R"({"cmd":"getstatus"})"));
    EXPECT_EQ(JsonInt(cJSON_GetObjectItem(after.json, "stat"), "rxerror"), 1);
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(after.json, "clients")), 1);
}

TEST_F(Serving, StalledHalfQueryDoesNotBlockOtherClients)
{
    Init(R"([{"address":0,"length":8,"mode":"rw"}])");
    Set(R"([{"address":0,"values":[11,12]}])");
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server.sin_port = htons(port);
    ASSERT_EQ(connect(s, reinterpret_cast<sockaddr*>(&server), sizeof(server)), 0);
    const uint8_t half[] = {0, 1, 0, 0, 0, 6, 1, 3}; // header and function, no address
    ASSERT_EQ(write(s, half, sizeof(half)), static_cast<ssize_t>(sizeof(half)));
    usleep(50000);

    // Another master is still served (within its own 3 s response time-out,
    // far longer than the daemon's byte time-out) ...
    for (int i = 0; i < 3; i++) {
        Master m(port);
        ASSERT_TRUE(m.connected);
        EXPECT_EQ(m.Read(0, 2), (std::vector<int>{11, 12})) << modbus_strerror(errno);
    }
    // ... and the stalled client has been dropped.
    uint8_t buf[16];
    EXPECT_EQ(read(s, buf, sizeof(buf)), 0);
    close(s);
    // The D-Bus side is alive too.
    Json status(client->CmdJson(R"({"cmd":"getstatus"})"));
    EXPECT_EQ(JsonInt(status.json, "procstate"), 3);
}

TEST_F(Serving, MalformedQueriesAreAnsweredWithoutStallingOtherClients)
{
    Init(R"([{"address":0,"length":8,"mode":"rw"}])");
    Set(R"([{"address":0,"values":[21,22]}])");
    Master bad(port);
    ASSERT_TRUE(bad.connected);
    // A read of 200 registers (more than a frame holds) and an unknown
    // function: each gets an exception answer.
    const uint8_t tooMany[] = {1, 0x03, 0, 0, 0, 200};
    const uint8_t unknown[] = {1, 0x41};
    uint8_t rsp[MODBUS_TCP_MAX_ADU_LENGTH];
    for (int i = 0; i < 4; i++) {
        // Exception answers: function | 0x80, then the exception code.
        ASSERT_GT(modbus_send_raw_request(bad.ctx, tooMany, sizeof(tooMany)), 0);
        ASSERT_EQ(modbus_receive_confirmation(bad.ctx, rsp), 9);
        EXPECT_EQ(rsp[7], 0x83);
        EXPECT_EQ(rsp[8], MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
        ASSERT_GT(modbus_send_raw_request(bad.ctx, unknown, sizeof(unknown)), 0);
        ASSERT_EQ(modbus_receive_confirmation(bad.ctx, rsp), 9);
        EXPECT_EQ(rsp[7], 0xC1);
        EXPECT_EQ(rsp[8], MODBUS_EXCEPTION_ILLEGAL_FUNCTION);
    }
    // Meanwhile another master, which gives up after 1 s, is answered while
    // four others send bad queries at the same moment.
    std::vector<std::unique_ptr<Master>> others;
    for (int i = 0; i < 4; i++) {
        others.push_back(std::make_unique<Master>(port));
        ASSERT_TRUE(others.back()->connected);
    }
    Master good(port);
    ASSERT_TRUE(good.connected);
    modbus_set_response_timeout(good.ctx, 1, 0);
    for (auto& other : others)
        ASSERT_GT(modbus_send_raw_request(other->ctx, tooMany, sizeof(tooMany)), 0);
    EXPECT_EQ(good.Read(0, 2), (std::vector<int>{21, 22})) << modbus_strerror(errno);
}

namespace
{
// A raw TCP connection to the daemon.
int RawConnect(int iPort, int iRcvBuf = 0)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (iRcvBuf > 0)
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &iRcvBuf, sizeof(iRcvBuf));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(iPort);
    if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// Requests to read 125 registers from address 0, back to back.
std::vector<uint8_t> ReadBurst(int iCount)
{
    std::vector<uint8_t> burst;
    for (int i = 0; i < iCount; i++) {
        const uint8_t q[] = {0, static_cast<uint8_t>(i), 0, 0, 0, 6, 1, 3, 0, 0, 0, 125};
        burst.insert(burst.end(), q, q + sizeof(q));
    }
    return burst;
}
} // namespace

TEST_F(Serving, MasterThatNeverReadsItsAnswersIsDroppedWithoutBlockingOthers)
{
    Init(R"([{"address":0,"length":200,"mode":"rw"}])");
    Set(R"([{"address":0,"values":[31,32]}])");
    int s = RawConnect(port, 4096);
    ASSERT_GE(s, 0);
    fcntl(s, F_SETFL, O_NONBLOCK);
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        std::vector<uint8_t> burst = ReadBurst(50);
        while (!stop) {
            if (send(s, burst.data(), burst.size(), MSG_NOSIGNAL) < 0)
                usleep(1000);
        }
    });
    Master other(port);
    ASSERT_TRUE(other.connected);
    modbus_set_response_timeout(other.ctx, 2, 0);
    int iAnswered = 0;
    for (int i = 0; i < 20; i++) {
        iAnswered += other.Read(0, 2) == std::vector<int>{31, 32};
        usleep(100000);
    }
    stop = true;
    flood.join();
    EXPECT_EQ(iAnswered, 20);
    // The flooding master has been dropped; the other one is still there.
    Json status(client->CmdJson(R"({"cmd":"getstatus"})"));
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(status.json, "clients")), 1);
    EXPECT_GE(JsonInt(cJSON_GetObjectItem(status.json, "stat"), "txerror"), 1);
    close(s);
}

TEST_F(Serving, BusyMasterDoesNotHoldBackOthers)
{
    Init(R"([{"address":0,"length":200,"mode":"rw"}])");
    Set(R"([{"address":0,"values":[41,42]}])");
    // Connected first, so it comes first in the daemon's list.
    int s = RawConnect(port);
    ASSERT_GE(s, 0);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        std::vector<uint8_t> burst = ReadBurst(50);
        while (!stop) {
            if (send(s, burst.data(), burst.size(), MSG_NOSIGNAL) < 0)
                break;
        }
    });
    std::thread reader([&] {
        uint8_t buf[65536];
        while (read(s, buf, sizeof(buf)) > 0) {
        }
    });
    Master other(port);
    ASSERT_TRUE(other.connected);
    modbus_set_response_timeout(other.ctx, 1, 0);
    int iAnswered = 0;
    for (int i = 0; i < 20; i++)
        iAnswered += other.Read(0, 2) == std::vector<int>{41, 42};
    stop = true;
    shutdown(s, SHUT_RDWR);
    writer.join();
    reader.join();
    close(s);
    EXPECT_EQ(iAnswered, 20);
}

TEST_F(Serving, EmptyOrAnyListenAddressServesEveryLocalAddress)
{
    for (const char* pszListen : {"", "0.0.0.0"}) {
        port = FreeTcpPort();
        Init(R"([{"address":0,"length":4,"mode":"rw"}])", pszListen);
        Master m(port, "127.0.0.2");
        EXPECT_TRUE(m.connected) << "listen '" << pszListen << "'";
        EXPECT_EQ(m.Read(0, 4).size(), 4u);
        ASSERT_EQ(client->Cmd(R"({"cmd":"deinit"})"), R"({"err":0,"info":""})");
    }
    // A specific address serves only that address.
    port = FreeTcpPort();
    Init(R"([{"address":0,"length":4,"mode":"rw"}])", "127.0.0.1");
    Master other(port, "127.0.0.2");
    EXPECT_FALSE(other.connected);
}

TEST_F(Serving, TcpPiServesByServiceName)
{
    std::string sInit =
        R"({"cmd":"init","protocol":"tcppi","delay":0,"tcppi":{"listen":"127.0.0.1","port":")" +
        std::to_string(port) + R"("},"tables":[{"address":0,"length":4,"mode":"rw"}]})";
    ASSERT_EQ(client->Cmd(sInit), R"({"err":0,"info":""})");
    Set(R"([{"address":0,"values":[5,6,7,8]}])");
    Master m(port);
    ASSERT_TRUE(m.connected);
    EXPECT_EQ(m.Read(0, 4), (std::vector<int>{5, 6, 7, 8}));
    Json status(client->CmdJson(R"({"cmd":"getstatus"})"));
    EXPECT_EQ(JsonStr(status.json, "protocol"), "tcppi");
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(status.json, "clients")), 1);
}

TEST_F(Serving, IndependentMastersPymodbusAndMbpollAgree)
{
    Init(R"([{"address":0,"length":10,"mode":"rw"}])");
    Set(R"([{"address":0,"values":[10,20,30,40,50]}])");
    std::string sOut;
    std::string sPy = "/usr/bin/python3 -c \""
                      "from pymodbus.client import ModbusTcpClient\n"
                      "c = ModbusTcpClient('127.0.0.1', port=" +
                      std::to_string(port) +
                      ")\n"
                      "c.connect()\n"
                      "r = c.read_holding_registers(0, count=5, slave=1)\n"
                      "print(r.registers)\n"
                      "w = c.write_registers(6, [606, 707], slave=1)\n"
                      "print(w.isError())\n"
                      "c.close()\"";
    ASSERT_EQ(RunCommand(sPy, &sOut), 0) << sOut;
    EXPECT_NE(sOut.find("[10, 20, 30, 40, 50]"), std::string::npos) << sOut;
    EXPECT_NE(sOut.find("False"), std::string::npos) << sOut;
    EXPECT_EQ(Backend(6, 2), (std::vector<int>{606, 707}));

    ASSERT_EQ(
        RunCommand("mbpoll -m tcp -a 1 -r 7 -c 2 -t 4 -1 -p " + std::to_string(port) + " 127.0.0.1",
                   &sOut),
        0)
        << sOut;
    EXPECT_NE(sOut.find("[7]: \t606"), std::string::npos) << sOut;
    EXPECT_NE(sOut.find("[8]: \t707"), std::string::npos) << sOut;
}
