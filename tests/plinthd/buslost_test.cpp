// plinthd when its system bus goes away: it leaves with a failure status
// (so the service manager starts it again) and closes its Modbus interface,
// instead of being ended unseen by libdbus; an ordinary "stop" stays status 0.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include "harness.h"

using namespace plinthd_test;

namespace
{
bool TcpConnectable(int iPort)
{
    int iFd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(iPort));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool bOk = connect(iFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    close(iFd);
    return bOk;
}
} // namespace

TEST(BusLoss, DaemonExitsWithFailureStatusAndClosesItsPortWhenTheBusDies)
{
    auto bus = std::make_unique<PrivateBus>();
    DaemonProcess daemon(bus->Address());
    const int iPort = FreeTcpPort();
    {
        BusClient client(bus->Address());
        ASSERT_EQ(client.Cmd(TcpInit(iPort, R"([{"address":0,"length":4,"mode":"rw"}])")),
                  R"({"err":0,"info":""})");
    }
    ASSERT_TRUE(TcpConnectable(iPort));

    bus.reset(); // the bus daemon is terminated under the running plinthd
    const int iStatus = daemon.WaitExit(10000);
    ASSERT_NE(iStatus, -1) << "plinthd still runs 10 s after its bus went away";
    EXPECT_EQ(iStatus, 1) << "exit status (128+N: killed by signal N)";
    EXPECT_FALSE(TcpConnectable(iPort));
}

TEST(BusLoss, StopCommandStillEndsTheDaemonWithStatusZero)
{
    PrivateBus bus;
    DaemonProcess daemon(bus.Address());
    BusClient client(bus.Address());
    ASSERT_EQ(client.Cmd(R"({"cmd":"stop"})"), R"({"err":0,"info":""})");
    EXPECT_EQ(daemon.WaitExit(10000), 0);
}
