// The "cmd" method seen by callers: the JSON envelope, its error codes and
// the state table, through dbus-send, gdbus and libdbus.
#include <string>

#include "servicefixture.h"

namespace
{

using CommandEnvelope = ServiceTest;
using CommandStates = ServiceTest;

TEST_F(CommandEnvelope, MalformedRequestsAreAnsweredWithTheirCode)
{
    EXPECT_EQ(DbusSendCmd("this is not json"), R"({"err":106,"info":""})");
    EXPECT_TRUE(LogCapture::Contains("plinthd Error decoding JSON this is not json"));
    EXPECT_EQ(DbusSendCmd(""), R"({"err":106,"info":""})");
    EXPECT_EQ(DbusSendCmd(R"({"command":"init"})"), R"({"err":108,"info":""})");
    EXPECT_TRUE(
        LogCapture::Contains(R"(plinthd JSON element 'cmd' is missing in '{"command":"init"}')"));
    EXPECT_EQ(DbusSendCmd(R"({"cmd":5})"), R"({"err":108,"info":""})");
    EXPECT_EQ(DbusSendCmd(R"(["cmd","init"])"), R"({"err":108,"info":""})");
    EXPECT_EQ(DbusSendCmd(R"({"cmd":null})"), R"({"err":108,"info":""})");
    EXPECT_EQ(DbusSendCmd(R"({"cmd":"foo"})"), R"({"err":107,"info":""})");
    EXPECT_TRUE(LogCapture::Contains(R"(plinthd answer is 107 '{"err":107,"info":""}')"));
    EXPECT_TRUE(LogCapture::Contains("plinthd DBusFilter: error is 107"));
    // Words are case-sensitive.
    EXPECT_EQ(DbusSendCmd(R"({"cmd":"INIT"})"), R"({"err":107,"info":""})");
    EXPECT_EQ(service->GetState(), DBUS_IDLE);
}

TEST_F(CommandEnvelope, GetStatusAnswersWithTheStatusObjectItself)
{
    // The base status object is empty: the reply shows that the filter adds
    // no envelope of its own around a handler's result.
    EXPECT_EQ(DbusSendCmd(R"({"cmd":"getstatus"})"), R"({"procstate":1})");
    EXPECT_TRUE(LogCapture::Contains("plinthd jsResult is not null"));
    EXPECT_TRUE(LogCapture::Contains("plinthd Got cmd getstatus"));
}

TEST_F(CommandEnvelope, SetLogLevelTakesANumberOnly)
{
    EXPECT_EQ(DbusSendCmd(R"({"cmd":"setloglevel","level":"7"})"), R"({"err":108,"info":""})");
    EXPECT_EQ(DbusSendCmd(R"({"cmd":"setloglevel"})"), R"({"err":108,"info":""})");
    EXPECT_EQ(LogGetLevel(), 7);
    EXPECT_EQ(DbusSendCmd(R"({"cmd":"setloglevel","level":3})"), R"({"err":0,"info":""})");
    EXPECT_EQ(LogGetLevel(), 3);
    // At level 3 the request line is dropped; the new level holds for the answer.
    LogCapture::Clear();
    EXPECT_EQ(DbusSendCmd(R"({"cmd":"setloglevel","level":6.9})"), R"({"err":0,"info":""})");
    EXPECT_EQ(LogGetLevel(), 6);
    EXPECT_FALSE(LogCapture::Contains(R"(plinthd Request {"cmd":"setloglevel","level":6.9})"));
    EXPECT_TRUE(LogCapture::Contains(R"(plinthd answer is 0 '{"err":0,"info":""}')"));
    EXPECT_FALSE(LogCapture::Contains("plinthd jsResult is null, iErr=0"));
}

TEST_F(CommandEnvelope, GdbusAndLibdbusCallersGetTheSameAnswers)
{
    CommandResult r =
        RunCommand(std::string("gdbus call --system --dest ") + kService + " --object-path " +
                   kPath + " --method " + kInterface + ".cmd " + ShellQuote(R"('{"cmd":"foo"}')"));
    EXPECT_EQ(r.iStatus, 0) << r.sOutput;
    EXPECT_EQ(r.sOutput, "('{\"err\":107,\"info\":\"\"}',)\n");

    BusClient client;
    ASSERT_TRUE(client.Connected());
    EXPECT_EQ(client.Cmd(R"({"cmd":"setconfig"})"), R"({"err":110,"info":""})");
    EXPECT_EQ(client.Cmd(R"({"cmd":"getstatus"})"), R"({"procstate":1})");
}

TEST_F(CommandEnvelope, CmdWithoutAStringArgumentGetsAnError)
{
    CommandResult r = RunCommand(std::string("dbus-send --system --print-reply "
                                             "--reply-timeout=20000 --dest=") +
                                 kService + " " + kPath + " " + kInterface + ".cmd int32:5");
    EXPECT_NE(r.iStatus, 0);
    EXPECT_NE(r.sOutput.find("org.freedesktop.DBus.Error.InvalidArgs"), std::string::npos)
        << r.sOutput;
    EXPECT_TRUE(LogCapture::Contains("plinthd spurious InitSerial method"));

    r = RunCommand(std::string("dbus-send --system --print-reply --reply-timeout=20000 --dest=") +
                   kService + " " + kPath + " " + kInterface + ".cmd");
    EXPECT_NE(r.sOutput.find("org.freedesktop.DBus.Error.InvalidArgs"), std::string::npos)
        << r.sOutput;
    // The service carries on.
    EXPECT_EQ(DbusSendCmd(R"({"cmd":"start"})"), R"({"err":0,"info":""})");
}

TEST_F(CommandStates, CommandsOutsideTheirStatesAreRefusedWith110)
{
    EXPECT_EQ(DbusSendCmd(R"({"cmd":"setconfig"})"), R"({"err":110,"info":""})");
    EXPECT_TRUE(
        LogCapture::Contains("plinthd Invalid state Idle while receiving command setconfig"));
    EXPECT_TRUE(LogCapture::Contains("plinthd jsResult is null, iErr=110"));
    EXPECT_EQ(DbusSendCmd(R"({"cmd":"unsetconfig"})"), R"({"err":110,"info":""})");
    EXPECT_EQ(DbusSendCmd(R"({"cmd":"deinit"})"), R"({"err":110,"info":""})");
    EXPECT_EQ(service->GetState(), DBUS_IDLE);
}

TEST_F(CommandStates, InitSetConfigDeinitWalkThroughTheStates)
{
    EXPECT_EQ(DbusSendCmd(R"({"cmd":"init"})"), R"({"err":0,"info":""})");
    EXPECT_EQ(DbusSendCmd(R"({"cmd":"getstatus"})"), R"({"procstate":2})");
    EXPECT_EQ(DbusSendCmd(R"({"cmd":"init"})"), R"({"err":110,"info":""})");
    EXPECT_TRUE(LogCapture::Contains("plinthd Invalid state Init while receiving command init"));
    EXPECT_EQ(DbusSendCmd(R"({"cmd":"unsetconfig"})"), R"({"err":110,"info":""})");
    // "stop" needs "deinit" first.
    EXPECT_EQ(DbusSendCmd(R"({"cmd":"stop"})"), R"({"err":110,"info":""})");

    EXPECT_EQ(DbusSendCmd(R"({"cmd":"setconfig"})"), R"({"err":0,"info":""})");
    EXPECT_EQ(DbusSendCmd(R"({"cmd":"getstatus"})"), R"({"procstate":3})");
    EXPECT_EQ(DbusSendCmd(R"({"cmd":"setconfig"})"), R"({"err":0,"info":""})");
    EXPECT_EQ(DbusSendCmd(R"({"cmd":"unsetconfig"})"), R"({"err":0,"info":""})");
    EXPECT_EQ(DbusSendCmd(R"({"cmd":"start"})"), R"({"err":0,"info":""})");
    EXPECT_EQ(DbusSendCmd(R"({"cmd":"stop"})"), R"({"err":110,"info":""})");
    EXPECT_TRUE(
        LogCapture::Contains("plinthd Invalid state SetConfig while receiving command stop"));
    EXPECT_EQ(service->GetState(), DBUS_RUN);

    EXPECT_EQ(DbusSendCmd(R"({"cmd":"deinit"})"), R"({"err":0,"info":""})");
    EXPECT_TRUE(LogCapture::Contains("plinthd Command deinit received"));
    EXPECT_EQ(DbusSendCmd(R"({"cmd":"getstatus"})"), R"({"procstate":1})");
    EXPECT_TRUE(service->Running());
}

TEST_F(CommandStates, StopInIdleEndsTheServiceAfterAnsweringAndSignalling)
{
    BusClient listener;
    ASSERT_TRUE(listener.Connected());
    listener.ListenToSignals();

    testing::internal::CaptureStdout();
    std::string sReply = DbusSendCmd(R"({"cmd":"stop"})");
    bool bFinished = false;
    for (int i = 0; i < 5000 && !bFinished; ++i) {
        bFinished = service->Finished();
        if (!bFinished)
            usleep(1000);
    }
    std::string sOut = testing::internal::GetCapturedStdout();
    EXPECT_EQ(sReply, R"({"err":0,"info":""})");
    EXPECT_TRUE(bFinished);
    EXPECT_FALSE(service->Running());
    // Logged only: the daemon writes nothing to its standard output.
    EXPECT_EQ(sOut.find("Command stop received"), std::string::npos) << sOut;
    EXPECT_TRUE(LogCapture::Contains("plinthd Command stop received"));
    EXPECT_EQ(listener.WaitSignal("stopped"), "{\"stopped\":" + std::to_string(getpid()) + "}");
    EXPECT_TRUE(LogCapture::Contains("dbus  Message 'stopped' sent"));
    // The name is gone with the service.
    EXPECT_EQ(DbusSendCmd(R"({"cmd":"getstatus"})").substr(0, 1), "!");
}

} // namespace
