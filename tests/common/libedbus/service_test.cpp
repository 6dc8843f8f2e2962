// The service on the bus: start-up and its failures, signals, introspection,
// calls the service does not know, large traffic through the writable watch,
// and outgoing calls to another service.
#include <string>

#include "servicefixture.h"

namespace
{

using ServiceBus = ServiceTest;

TEST(ServiceStartUp, StartedSignalAnnouncesTheProcess)
{
    LogCapture::Install();
    LogCapture::Clear();
    PrivateBus bus;
    ASSERT_TRUE(bus.Start());
    BusClient listener;
    ASSERT_TRUE(listener.Connected());
    listener.ListenToSignals();
    ServiceThread service;
    ASSERT_EQ(CThread::Start(&service), 0);
    ASSERT_EQ(service.WaitRunning(), RET_OK);
    EXPECT_EQ(listener.WaitSignal("started"), "{\"started\":" + std::to_string(getpid()) + "}");
    EXPECT_TRUE(LogCapture::Contains("dbus  Message 'started' sent"));
    service.Shutdown();
}

TEST(ServiceStartUp, NoBusMeansAFailedStartThatSaysWhy)
{
    LogCapture::Install();
    LogCapture::Clear();
    dbus_shutdown();
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/tessal-test-bus", 1);
    ServiceThread service;
    ASSERT_EQ(CThread::Start(&service), 0);
    EXPECT_EQ(service.WaitRunning(), RET_ERROR);
    EXPECT_TRUE(service.Finished());
    bool bSeen = false;
    for (const auto& l : LogCapture::Lines())
        bSeen = bSeen || l.rfind("dbus  dbus_bus_get() 1 failed: ", 0) == 0;
    EXPECT_TRUE(bSeen);
    EXPECT_TRUE(LogCapture::Contains("plinthd Can't init dbus"));
    EXPECT_EQ(service.Stop(), RET_OK);
    dbus_shutdown();
}

TEST(ServiceStartUp, RefusedNameMeansAFailedStart)
{
    LogCapture::Install();
    LogCapture::Clear();
    PrivateBus bus;
    ASSERT_TRUE(bus.Start(std::string("<deny own=\"") + kService + "\"/>"));
    ServiceThread service;
    ASSERT_EQ(CThread::Start(&service), 0);
    EXPECT_EQ(service.WaitRunning(), RET_ERROR);
    bool bSeen = false;
    for (const auto& l : LogCapture::Lines())
        bSeen =
            bSeen ||
            l.rfind(std::string("dbus  dbus_bus_request_name() ") + kService + " failed: ", 0) == 0;
    EXPECT_TRUE(bSeen);

    // A malformed name is refused before libdbus sees it.
    ServiceThread badName("not a bus name");
    ASSERT_EQ(CThread::Start(&badName), 0);
    EXPECT_EQ(badName.WaitRunning(), RET_ERROR);
}

TEST_F(ServiceBus, StatusSignalCarriesTheStatusAndState)
{
    BusClient listener;
    ASSERT_TRUE(listener.Connected());
    listener.ListenToSignals();
    ASSERT_EQ(service->SendCmd(ServiceThread::CMD_SEND_STATUS, 0, 0), RET_OK);
    EXPECT_EQ(listener.WaitSignal("status"), R"({"procstate":1})");
    EXPECT_EQ(DbusSendCmd(R"({"cmd":"init"})"), R"({"err":0,"info":""})");
    ASSERT_EQ(service->SendCmd(ServiceThread::CMD_SEND_STATUS, 0, 0), RET_OK);
    EXPECT_EQ(listener.WaitSignal("status"), R"({"procstate":2})");
}

TEST_F(ServiceBus, IntrospectionNamesThisServicesPathAndInterface)
{
    CommandResult r =
        RunCommand(std::string("dbus-send --system --print-reply "
                               "--reply-timeout=5000 --dest=") +
                   kService + " " + kPath + " org.freedesktop.DBus.Introspectable.Introspect");
    ASSERT_EQ(r.iStatus, 0) << r.sOutput;
    EXPECT_NE(r.sOutput.find("<node name=\"/vox/tessal\">"), std::string::npos) << r.sOutput;
    EXPECT_NE(r.sOutput.find("<interface name=\"vox.tessal.modbusserver\">"), std::string::npos);

    r = RunCommand(std::string("gdbus introspect --system --dest ") + kService + " --object-path " +
                   kPath);
    ASSERT_EQ(r.iStatus, 0) << r.sOutput;
    EXPECT_NE(r.sOutput.find("interface vox.tessal.modbusserver"), std::string::npos) << r.sOutput;
    EXPECT_NE(r.sOutput.find("cmd(in  s params,"), std::string::npos) << r.sOutput;
    EXPECT_NE(r.sOutput.find("out s result);"), std::string::npos) << r.sOutput;
    for (const char* pcSignal : {"started(s params);", "stopped(s params);", "status(s params);",
                                 "data(s params);", "event(s params);"})
        EXPECT_NE(r.sOutput.find(pcSignal), std::string::npos) << pcSignal;
}

TEST_F(ServiceBus, UnknownMethodIsAnsweredWithAnError)
{
    CommandResult r = RunCommand(std::string("dbus-send --system --print-reply "
                                             "--reply-timeout=20000 --dest=") +
                                 kService + " " + kPath + " " + kInterface + ".reboot");
    EXPECT_NE(r.iStatus, 0);
    EXPECT_NE(r.sOutput.find("org.freedesktop.DBus.Error.UnknownMethod"), std::string::npos)
        << r.sOutput;
    EXPECT_EQ(DbusSendCmd(R"({"cmd":"getstatus"})"), R"({"procstate":1})");
}

TEST_F(ServiceBus, LargeQueuedTrafficIsWrittenWhileCallsAreServed)
{
    BusClient listener;
    ASSERT_TRUE(listener.Connected());
    listener.ListenToSignals();
    // Larger than a socket buffer: part of it waits for the socket to become
    // writable, which only a served writable watch notices.
    const size_t kLen = 4 * 1024 * 1024;
    ASSERT_EQ(service->SendCmd(ServiceThread::CMD_SEND_BIG_SIGNAL, kLen, 0), RET_OK);
    std::string sArg = listener.WaitSignal("status", 10000);
    EXPECT_EQ(sArg.size(), kLen);
    EXPECT_EQ(sArg.find_first_not_of('a'), std::string::npos);

    // Twice more, with calls in between: the read side keeps working.
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(service->SendCmd(ServiceThread::CMD_SEND_BIG_SIGNAL, kLen, 0), RET_OK);
        EXPECT_EQ(listener.Cmd(R"({"cmd":"getstatus"})"), R"({"procstate":1})");
        EXPECT_EQ(listener.WaitSignal("status", 10000).size(), kLen);
    }
}

TEST_F(ServiceBus, SendCmdReturnsThePeersErrorCode)
{
    ServiceThread peer("vox.tessal.peer");
    ASSERT_EQ(CThread::Start(&peer), 0);
    ASSERT_EQ(peer.WaitRunning(), RET_OK);

    auto call = [&](const std::string& sName, const std::string& sRequest) {
        service->peerName = sName;
        service->peerRequest = sRequest;
        service->peerDone = false;
        EXPECT_EQ(service->SendCmd(ServiceThread::CMD_CALL_PEER, 0, 0), RET_OK);
        for (int i = 0; i < 15000 && !service->peerDone; ++i)
            usleep(1000);
        EXPECT_TRUE(service->peerDone);
        return static_cast<int>(service->peerResult);
    };

    EXPECT_EQ(call("vox.tessal.peer", R"({"cmd":"foo"})"), 107);
    EXPECT_EQ(service->peerAnswer, R"({"err":107,"info":""})");
    EXPECT_TRUE(LogCapture::Contains(
        R"(dbus  Send command '{"cmd":"foo"}' to vox.tessal.peer /vox/tessal vox.tessal.modbusserver)"
        "\n"));
    EXPECT_EQ(call("vox.tessal.peer", R"({"cmd":"init"})"), 0);
    EXPECT_EQ(peer.GetState(), DBUS_READY);
    // An answer without "err" gives -1.
    EXPECT_EQ(call("vox.tessal.peer", R"({"cmd":"getstatus"})"), -1);
    EXPECT_EQ(service->peerAnswer, R"({"procstate":2})");
    // No such service: a failure, never success.
    EXPECT_EQ(call("vox.tessal.nobody", R"({"cmd":"getstatus"})"), -1);
    EXPECT_EQ(service->peerAnswer, "");
    EXPECT_EQ(call("not a name", R"({"cmd":"getstatus"})"), DBUS_ERR_NO_MESSAGE);
    // The caller's own service kept answering throughout.
    EXPECT_EQ(DbusSendCmd(R"({"cmd":"getstatus"})"), R"({"procstate":1})");
    peer.Shutdown();
}

TEST(FreeHelpers, Format)
{
    EXPECT_EQ(format("%s-%03d", "pin", 7), "pin-007");
    EXPECT_EQ(format("%s", std::string(5000, 'z').c_str()).size(), 5000u);
}

} // namespace
