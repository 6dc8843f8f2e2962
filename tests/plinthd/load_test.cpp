// plinthd under many clients: hundreds at once, churn, clients beyond the
// descriptors the process may open, and descriptors beyond FD_SETSIZE.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "harness.h"

using namespace plinthd_test;

namespace
{

modbus_t* Connect(int iPort)
{
    modbus_t* ctx = modbus_new_tcp("127.0.0.1", iPort);
    modbus_set_response_timeout(ctx, 3, 0);
    if (modbus_connect(ctx) != 0) {
        modbus_free(ctx);
        return nullptr;
    }
    return ctx;
}

void Release(modbus_t* ctx)
{
    modbus_close(ctx);
    modbus_free(ctx);
}

// A plain socket connected to the daemon; -1 on failure.
int RawConnect(int iPort)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
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

// Sends a read of one holding register at iAddr; true when a well-formed
// answer came back, false when the daemon closed the connection instead.
bool RawRead(int s, int iAddr, uint16_t* pValue)
{
    const uint8_t query[] = {
        0, 9, 0, 0, 0, 6, 1, 3, static_cast<uint8_t>(iAddr >> 8), static_cast<uint8_t>(iAddr),
        0, 1};
    if (write(s, query, sizeof(query)) != static_cast<ssize_t>(sizeof(query)))
        return false;
    uint8_t answer[11];
    size_t got = 0;
    while (got < sizeof(answer)) {
        pollfd pfd = {s, POLLIN, 0};
        if (poll(&pfd, 1, 3000) != 1)
            return false;
        ssize_t n = read(s, answer + got, sizeof(answer) - got);
        if (n <= 0)
            return false;
        got += n;
    }
    *pValue = static_cast<uint16_t>((answer[9] << 8) | answer[10]);
    return answer[7] == 3 && answer[8] == 2;
}

class Load : public ::testing::Test
{
protected:
    void Start(std::function<void()> preExec = nullptr)
    {
        bus = std::make_unique<PrivateBus>();
        daemon = std::make_unique<DaemonProcess>(bus->Address(), preExec);
        client = std::make_unique<BusClient>(bus->Address());
        port = FreeTcpPort();
        Json r(client->CmdJson(TcpInit(port, R"([{"address":0,"length":1000,"mode":"rw"}])")));
        ASSERT_EQ(JsonInt(r.json, "err"), 0) << JsonStr(r.json, "info");
        std::string sValues;
        for (int i = 0; i < 1000; i++)
            sValues += (i ? "," : "") + std::to_string(i + 7);
        ASSERT_EQ(
            client->Cmd(R"({"cmd":"setconfig","data":[{"address":0,"values":[)" + sValues + "]}]}"),
            R"({"err":0,"info":""})");
    }
    int ClientCount()
    {
        Json status(client->CmdJson(R"({"cmd":"getstatus"})"));
        return cJSON_GetArraySize(cJSON_GetObjectItem(status.json, "clients"));
    }
    std::unique_ptr<PrivateBus> bus;
    std::unique_ptr<DaemonProcess> daemon;
    std::unique_ptr<BusClient> client;
    int port = 0;
};

} // namespace

TEST_F(Load, FiveHundredClientsAtOnceAreAllAnsweredCorrectly)
{
    Start();
    const int kClients = 500;
    std::vector<modbus_t*> masters;
    for (int i = 0; i < kClients; i++) {
        modbus_t* ctx = Connect(port);
        ASSERT_NE(ctx, nullptr) << "client " << i;
        masters.push_back(ctx);
    }
    for (int i = 0; i < kClients; i++) {
        ASSERT_EQ(modbus_write_register(masters[i], i, 30000 + i), 1) << "client " << i;
    }
    int iWrong = 0;
    for (int i = 0; i < kClients; i++) {
        // Each reads its own register and its neighbour's.
        uint16_t regs[2] = {0, 0};
        ASSERT_EQ(modbus_read_registers(masters[i], i, 2, regs), 2) << "client " << i;
        iWrong += regs[0] != 30000 + i;
        iWrong += regs[1] != (i + 1 < kClients ? 30000 + i + 1 : i + 1 + 7);
    }
    EXPECT_EQ(iWrong, 0);
    EXPECT_EQ(ClientCount(), kClients);
    for (modbus_t* ctx : masters)
        Release(ctx);
}

TEST_F(Load, ConnectDisconnectChurnLeavesNoDescriptorOrMemoryBehind)
{
    Start();
    auto cycle = [this](int iCount) {
        for (int i = 0; i < iCount; i++) {
            modbus_t* ctx = Connect(port);
            ASSERT_NE(ctx, nullptr) << "cycle " << i;
            uint16_t reg = 0;
            ASSERT_EQ(modbus_read_registers(ctx, i % 1000, 1, &reg), 1) << "cycle " << i;
            ASSERT_EQ(reg, i % 1000 + 7);
            Release(ctx);
        }
    };
    cycle(200); // warm-up: allocator pools and the wait list reach their size
    for (int i = 0; i < 100 && ClientCount() != 0; i++)
        usleep(10000);
    int iFdsBefore = daemon->OpenDescriptors();
    long lRssBefore = daemon->RssKb();
    cycle(5000);
    for (int i = 0; i < 100 && ClientCount() != 0; i++)
        usleep(10000);
    EXPECT_EQ(ClientCount(), 0);
    EXPECT_EQ(daemon->OpenDescriptors(), iFdsBefore);
    long lRssAfter = daemon->RssKb();
    EXPECT_LT(lRssAfter - lRssBefore, 512)
        << "RSS grew from " << lRssBefore << " kB to " << lRssAfter << " kB";
}

TEST_F(Load, ClientsBeyondTheDescriptorLimitAreServedInPlaceOfTheIdlest)
{
    // The daemon may open only 48 descriptors. Out of descriptors, it takes
    // a newcomer with its spare one and closes the master idle the longest,
    // so a new master is never locked out.
    Start([] {
        rlimit lim = {48, 48};
        setrlimit(RLIMIT_NOFILE, &lim);
    });
    std::vector<int> masters;
    for (int i = 0; i < 70; i++) {
        int s = RawConnect(port);
        ASSERT_GE(s, 0);
        uint16_t value = 0;
        EXPECT_TRUE(RawRead(s, i, &value)) << "master " << i;
        EXPECT_EQ(value, i + 7);
        masters.push_back(s);
    }
    EXPECT_TRUE(daemon->Alive());
    const int iServed = ClientCount();
    EXPECT_GT(iServed, 30);
    EXPECT_LT(iServed, 48);
    // The latest masters are the ones still served; the first, idle the
    // longest, have made room.
    uint16_t value = 0;
    for (int i = 70 - iServed; i < 70; i++)
        EXPECT_TRUE(RawRead(masters[i], 3, &value)) << "master " << i;
    EXPECT_FALSE(RawRead(masters[0], 3, &value));
    for (int s : masters)
        close(s);
    for (int i = 0; i < 100 && ClientCount() != 0; i++)
        usleep(10000);
    int s = RawConnect(port);
    EXPECT_TRUE(RawRead(s, 5, &value));
    EXPECT_EQ(value, 12);
    close(s);
}

TEST_F(Load, ConnectionsOnDescriptorsBeyondFdSetSizeAreServed)
{
    // Plenty of descriptors, but the low ones are taken, so accepted sockets
    // soon reach FD_SETSIZE, where a select()-based receive would overrun.
    // The daemon reads its TCP connections itself, so they are served.
    Start([] {
        rlimit lim = {FD_SETSIZE + 256, FD_SETSIZE + 256};
        setrlimit(RLIMIT_NOFILE, &lim);
        int fd = 0;
        while ((fd = open("/dev/null", O_RDONLY)) >= 0 && fd < FD_SETSIZE - 24) {
        }
    });
    std::vector<int> accepted;
    for (int i = 0; i < 40; i++) {
        int s = RawConnect(port);
        ASSERT_GE(s, 0);
        uint16_t value = 0;
        EXPECT_TRUE(RawRead(s, 100 + i, &value)) << "client " << i;
        EXPECT_EQ(value, 100 + i + 7);
        accepted.push_back(s);
    }
    // Some of them really sit beyond FD_SETSIZE in the daemon.
    int iHigh = 0;
    std::string sDir = "/proc/" + std::to_string(daemon->Pid()) + "/fd";
    for (int fd = FD_SETSIZE; fd < FD_SETSIZE + 256; fd++) {
        char szLink[64] = {0};
        std::string sPath = sDir + "/" + std::to_string(fd);
        if (readlink(sPath.c_str(), szLink, sizeof(szLink) - 1) > 0 &&
            std::string(szLink).rfind("socket:", 0) == 0)
            iHigh++;
    }
    EXPECT_GT(iHigh, 0);
    EXPECT_TRUE(daemon->Alive());
    EXPECT_EQ(ClientCount(), 40);
    uint16_t value = 0;
    for (int s : accepted)
        EXPECT_TRUE(RawRead(s, 1, &value));
    EXPECT_EQ(value, 8);
    for (int s : accepted)
        close(s);
}
