// A service whose system bus goes away: it must notice, say so once in the
// log and stop its thread, instead of libdbus ending the whole process.

#include <chrono>
#include <thread>

#include "servicefixture.h"

namespace
{
const char* const kLostLine =
    "dbus  Lost the connection to the system bus, leaving it and stopping";

bool WaitStopped(ServiceThread& service, int iMs)
{
    for (int i = 0; i < iMs / 10 && service.Running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return !service.Running();
}
} // namespace

using BusLost = ServiceTest;

TEST_F(BusLost, KilledBusStopsTheServiceWithOneLogLineAndTheProcessGoesOn)
{
    {
        // The service is serving before the bus dies.
        BusClient client;
        ASSERT_TRUE(client.Connected());
        EXPECT_EQ(client.Cmd("{\"cmd\":\"getstatus\"}"), "{\"procstate\":1}");
        EXPECT_FALSE(service->BusLost());
    }

    bus.Kill();
    // Reaching this line at all means libdbus did not _exit() the process.
    ASSERT_TRUE(WaitStopped(*service, 10000)) << "the service thread kept running without a bus";
    EXPECT_TRUE(service->BusLost());
    EXPECT_TRUE(LogCapture::WaitFor(kLostLine, 1000));
    service->Stop(); // joins; Close releases the broken connection
    size_t n = 0;
    for (const auto& l : LogCapture::Lines())
        n += l == kLostLine;
    EXPECT_EQ(n, 1u) << "the loss is reported once";
    service.reset();
}

TEST_F(BusLost, OrdinaryStopIsNotABusLoss)
{
    service->SendCmd(CMD_STOP, 0, 0);
    ASSERT_TRUE(WaitStopped(*service, 5000));
    service->Stop();
    EXPECT_FALSE(service->BusLost());
    EXPECT_FALSE(LogCapture::Contains(kLostLine));
}
