// The JSON command set of plinthd over a private bus, against the real binary.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <regex>

#include "harness.h"

using namespace plinthd_test;

namespace
{

struct Reply {
    explicit Reply(cJSON* p) : json(p) {}
    ~Reply() { cJSON_Delete(json); }
    int Err() const { return JsonInt(json, "err"); }
    std::string Info() const { return JsonStr(json, "info"); }
    cJSON* json;
};

class Commands : public ::testing::Test
{
protected:
    void SetUp() override
    {
        bus = std::make_unique<PrivateBus>();
        daemon = std::make_unique<DaemonProcess>(bus->Address());
        client = std::make_unique<BusClient>(bus->Address());
    }
    Reply Cmd(const std::string& s) { return Reply(client->CmdJson(s)); }
    int ProcState()
    {
        Reply r = Cmd(R"({"cmd":"getstatus"})");
        return JsonInt(r.json, "procstate");
    }
    // The values getconfig returns for one zone.
    std::vector<int> Values(int iAddr, int iLen)
    {
        Reply r = Cmd(R"({"cmd":"getconfig","zones":[{"address":)" + std::to_string(iAddr) +
                      R"(,"length":)" + std::to_string(iLen) + R"(,"mode":"r"}]})");
        std::vector<int> v;
        cJSON* pData = cJSON_GetObjectItem(r.json, "data");
        cJSON* pValues = cJSON_GetObjectItem(cJSON_GetArrayItem(pData, 0), "values");
        cJSON* p = nullptr;
        cJSON_ArrayForEach(p, pValues) v.push_back(p->valueint);
        return v;
    }
    std::unique_ptr<PrivateBus> bus;
    std::unique_ptr<DaemonProcess> daemon;
    std::unique_ptr<BusClient> client;
};

const char* kTables25 =
    R"([{"address":0,"length":10,"mode":"r"},{"address":20,"length":5,"mode":"rw"}])";

} // namespace

TEST_F(Commands, IdleDaemonReportsUndefinedProtocolAndRefusesWhatNeedsInit)
{
    Reply status = Cmd(R"({"cmd":"getstatus"})");
    ASSERT_NE(status.json, nullptr);
    EXPECT_EQ(JsonInt(status.json, "procstate"), 1);
    EXPECT_EQ(JsonStr(status.json, "protocol"), "undef");
    cJSON* pStat = cJSON_GetObjectItem(status.json, "stat");
    for (const char* psz : {"rxerror", "txerror", "rxvalid", "txvalid"})
        EXPECT_EQ(JsonInt(pStat, psz), 0) << psz;
    cJSON* pSw = cJSON_GetObjectItem(status.json, "swinfo");
    EXPECT_EQ(JsonStr(pSw, "name"), "plinthd");
    EXPECT_EQ(cJSON_GetObjectItem(status.json, "clients"), nullptr);

    EXPECT_EQ(client->Cmd(R"({"cmd":"deinit"})"), R"({"err":110,"info":""})");
    EXPECT_EQ(client->Cmd(R"({"cmd":"setconfig","data":[]})"), R"({"err":110,"info":""})");
    EXPECT_EQ(client->Cmd(R"({"cmd":"unsetconfig"})"), R"({"err":110,"info":""})");
    EXPECT_EQ(client->Cmd(R"({"cmd":"frobnicate"})"), R"({"err":107,"info":""})");
    EXPECT_EQ(client->Cmd(R"({"cmd":"start"})"), R"({"err":0,"info":""})");
    EXPECT_EQ(client->Cmd(R"({"cmd":"getconfig"})"), "{}");
    EXPECT_EQ(client->Cmd("not json"), R"({"err":106,"info":""})");
    EXPECT_EQ(client->Cmd(R"({"cmd":"setloglevel","level":"7"})"), R"({"err":108,"info":""})");
    EXPECT_EQ(client->Cmd(R"({"cmd":"setloglevel","level":7})"), R"({"err":0,"info":""})");
    EXPECT_EQ(ProcState(), 1);
}

TEST_F(Commands, StatusTextListsItsMembersInTheDocumentedOrder)
{
    // Scripts may pick members out of the text without a JSON parser, so the
    // minified text itself is compared; only the build date varies.
    std::string sText = client->Cmd(R"({"cmd":"getstatus"})");
    const std::string sKey = R"("builddate":")";
    size_t iDate = sText.find(sKey);
    ASSERT_NE(iDate, std::string::npos) << sText;
    iDate += sKey.size();
    size_t iEnd = sText.find('"', iDate);
    ASSERT_NE(iEnd, std::string::npos) << sText;
    EXPECT_TRUE(std::regex_match(sText.substr(iDate, iEnd - iDate),
                                 std::regex(R"(\d{4}\.\d{2}\.\d{2} \d{2}:\d{2}:\d{2})")))
        << sText;
    sText.replace(iDate, iEnd - iDate, "DATE");
    EXPECT_EQ(sText,
              R"({"err":0,"errno":0,"info":"","protocol":"undef",)"
              R"("stat":{"rxerror":0,"txerror":0,"rxvalid":0,"txvalid":0},)"
              R"("swinfo":{"name":"plinthd","version":"0.1","builddate":"DATE","git":"undef"},)"
              R"("procstate":1})");
}

TEST_F(Commands, InitRefusesInvalidRequestsWithTheirReason)
{
    const std::string sTcp =
        R"("tcp":{"listen":"127.0.0.1","port":)" + std::to_string(FreeTcpPort()) + "}";
    const std::string sTab = R"("tables":[{"address":0,"length":4,"mode":"r"}])";
    struct Case {
        std::string sRequest;
        std::string sInfo;
    } cases[] = {
        {R"({"cmd":"init","delay":0,)" + sTcp + "," + sTab + "}", "Protocol is missing"},
        {R"({"cmd":"init","protocol":"tcp",)" + sTcp + "," + sTab + "}", "Delay is missing"},
        {R"({"cmd":"init","protocol":"tcp","delay":1.5,)" + sTcp + "," + sTab + "}",
         "Delay is missing"},
        {R"({"cmd":"init","protocol":"tcp","delay":0,)" + sTcp + "}", "Tables defs are missing"},
        {R"({"cmd":"init","protocol":"udp","delay":0,)" + sTcp + "," + sTab + "}",
         "Unknown protocol"},
        {R"({"cmd":"init","protocol":"rtu","delay":0,)" + sTab + "}", "RTU parameters not found"},
        {R"({"cmd":"init","protocol":"tcp","delay":0,)" + sTab + "}", "TCP parameters not found"},
        {R"({"cmd":"init","protocol":"tcppi","delay":0,)" + sTab + "}",
         "TCP-PI parameters not found"},
        {R"({"cmd":"init","protocol":"rtu","delay":0,"rtu":{"devid":1,"port":"/dev/null","mode":"8N1"},)" +
             sTab + "}",
         "Incomplete or invalid RTU config"},
        {R"({"cmd":"init","protocol":"rtu","delay":0,"rtu":{"devid":1,"baud":9600,"port":"/dev/null","mode":"8x1"},)" +
             sTab + "}",
         "Invalid UART parity specifier"},
        {R"({"cmd":"init","protocol":"rtu","delay":0,"rtu":{"devid":1,"baud":9600,"port":"/dev/null","mode":"NNN"},)" +
             sTab + "}",
         "Invalid format of UART mode"},
        {R"({"cmd":"init","protocol":"tcp","delay":0,"tcp":{"listen":"127.0.0.1","port":"502"},)" +
             sTab + "}",
         "Incomplete or invalid TCP config"},
        {R"({"cmd":"init","protocol":"tcp","delay":0,"tcp":{"listen":"127.0.0.1","port":70000},)" +
             sTab + "}",
         "Incomplete or invalid TCP config"},
        {R"({"cmd":"init","protocol":"tcppi","delay":0,"tcppi":{"listen":"127.0.0.1","port":502},)" +
             sTab + "}",
         "Incomplete or invalid TCP-PI config"},
        {R"({"cmd":"init","protocol":"tcp","delay":0,)" + sTcp + R"(,"tables":[]})",
         "No tables specified"},
        {R"({"cmd":"init","protocol":"tcp","delay":0,)" + sTcp +
             R"(,"tables":[{"address":0,"length":0,"mode":"r"}]})",
         "Table size must be at least 1"},
        {R"({"cmd":"init","protocol":"tcp","delay":0,)" + sTcp +
             R"(,"tables":[{"address":0,"length":4,"mode":"x"}]})",
         "Table info missing or incorrect"},
        {R"({"cmd":"init","protocol":"tcp","delay":0,)" + sTcp +
             R"(,"tables":[{"address":0,"length":4}]})",
         "Table info missing or incorrect"},
        // Negative addresses or lengths would reach outside the register block.
        {R"({"cmd":"init","protocol":"tcp","delay":0,)" + sTcp +
             R"(,"tables":[{"address":-5,"length":10,"mode":"r"}]})",
         "Table info missing or incorrect"},
        {R"({"cmd":"init","protocol":"tcp","delay":0,)" + sTcp +
             R"(,"tables":[{"address":0,"length":-1,"mode":"r"}]})",
         "Table info missing or incorrect"},
        {R"({"cmd":"init","protocol":"tcp","delay":0,)" + sTcp +
             R"(,"tables":[{"address":0,"length":4,"mode":"r","zones":[{"address":-1,"length":2,"mode":"w"}]}]})",
         "Zone info missing or incorrect"},
        {R"({"cmd":"init","protocol":"tcp","delay":0,)" + sTcp +
             R"(,"tables":[{"address":0,"length":4,"mode":"r","zones":[{"address":1,"length":-2,"mode":"w"}]}]})",
         "Zone info missing or incorrect"},
    };
    for (const Case& c : cases) {
        Reply r = Cmd(c.sRequest);
        ASSERT_NE(r.json, nullptr) << c.sRequest;
        EXPECT_EQ(r.Err(), 108) << c.sRequest;
        EXPECT_EQ(r.Info(), c.sInfo) << c.sRequest;
        EXPECT_EQ(ProcState(), 1) << c.sRequest;
    }

    // After "udp" the status shows no protocol, and the failure code.
    Cmd(R"({"cmd":"init","protocol":"udp","delay":0,)" + sTcp + "," + sTab + "}");
    Reply status = Cmd(R"({"cmd":"getstatus"})");
    EXPECT_EQ(JsonStr(status.json, "protocol"), "undef");
    EXPECT_EQ(JsonInt(status.json, "err"), 108);

    // A correct init still works after all of these.
    Reply ok = Cmd(R"({"cmd":"init","protocol":"tcp","delay":0,)" + sTcp + "," + sTab + "}");
    EXPECT_EQ(ok.Err(), 0);
    EXPECT_EQ(ok.Info(), "");
    EXPECT_EQ(ProcState(), 2);
    EXPECT_EQ(JsonInt(Cmd(R"({"cmd":"getstatus"})").json, "err"), 0);
}

TEST_F(Commands, FailedOpeningReportsAnErrorAndLeavesNothingBehind)
{
    // A port another socket listens on cannot be served: init must say so.
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(listen(s, 1), 0);
    socklen_t len = sizeof(addr);
    getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    int iBusy = ntohs(addr.sin_port);

    int iFdsBefore = daemon->OpenDescriptors();
    Reply busy = Cmd(TcpInit(iBusy, kTables25));
    EXPECT_EQ(busy.Err(), 299);
    EXPECT_EQ(busy.Info(), "Can't initialize Modbus interface");
    EXPECT_EQ(ProcState(), 1);
    EXPECT_NE(JsonInt(Cmd(R"({"cmd":"getstatus"})").json, "errno"), 0);

    Reply noport = Cmd(
        R"({"cmd":"init","protocol":"rtu","delay":0,"rtu":{"devid":1,"baud":9600,"port":"/nonexistent/tty","mode":"8N1"},"tables":[{"address":0,"length":4,"mode":"r"}]})");
    EXPECT_EQ(noport.Err(), 299);
    EXPECT_EQ(daemon->OpenDescriptors(), iFdsBefore);

    // The listener goes away: the same request now succeeds.
    close(s);
    Reply ok = Cmd(TcpInit(iBusy, kTables25));
    EXPECT_EQ(ok.Err(), 0) << ok.Info();
    EXPECT_EQ(ProcState(), 2);
}

TEST_F(Commands, DeinitReleasesThePortForTheNextInit)
{
    int iPort = FreeTcpPort();
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(Cmd(TcpInit(iPort, kTables25)).Err(), 0) << "round " << i;
        EXPECT_EQ(client->Cmd(R"({"cmd":"stop"})"), R"({"err":110,"info":""})");
        EXPECT_EQ(client->Cmd(R"({"cmd":"deinit"})"), R"({"err":0,"info":""})");
        EXPECT_EQ(ProcState(), 1);
    }
}

TEST_F(Commands, SetConfigStoresValuesAndGetConfigReadsThemBack)
{
    ASSERT_EQ(Cmd(TcpInit(FreeTcpPort(), kTables25)).Err(), 0);
    EXPECT_EQ(
        client->Cmd(
            R"({"cmd":"setconfig","data":[{"address":0,"values":[1,2,3]},{"address":20,"values":[70000,-1]}]})"),
        R"({"err":0,"info":""})");
    EXPECT_EQ(ProcState(), 3);
    EXPECT_EQ(Values(0, 4), (std::vector<int>{1, 2, 3, 0}));
    // Stored truncated to 16 bits.
    EXPECT_EQ(Values(20, 2), (std::vector<int>{70000 & 0xFFFF, 0xFFFF}));

    // Values beyond the range, negative addresses and non-integers are skipped
    // without error; what lies inside the range is stored.
    EXPECT_EQ(
        client->Cmd(
            R"({"cmd":"setconfig","data":[{"address":23,"values":[7,8,9,10]},{"address":-2,"values":[5,6,11]},{"address":4,"values":["x",1.5,12]}]})"),
        R"({"err":0,"info":""})");
    EXPECT_EQ(Values(23, 2), (std::vector<int>{7, 8}));
    EXPECT_EQ(Values(0, 1), (std::vector<int>{11}));
    EXPECT_EQ(Values(4, 3), (std::vector<int>{0, 0, 12}));
    // Registers at or beyond L read 0.
    EXPECT_EQ(Values(24, 3), (std::vector<int>{8, 0, 0}));

    // One bad element and one good: the good one is stored, 108, state unchanged.
    Reply mixed = Cmd(
        R"({"cmd":"setconfig","data":[{"address":"x","values":[1]},{"address":1,"values":[99]}]})");
    EXPECT_EQ(mixed.Err(), 108);
    EXPECT_EQ(mixed.Info(), "Invalid/incomplete dataset");
    EXPECT_EQ(Values(1, 1), (std::vector<int>{99}));
    EXPECT_EQ(ProcState(), 3);
    EXPECT_EQ(JsonInt(Cmd(R"({"cmd":"getstatus"})").json, "err"), 108);

    Reply nodata = Cmd(R"({"cmd":"setconfig","event":true})");
    EXPECT_EQ(nodata.Err(), 108);
    EXPECT_EQ(nodata.Info(), "No dataset def");
}

TEST_F(Commands, GetConfigRefusesZonesThatAreIncompleteNegativeOrBeyondTheRange)
{
    ASSERT_EQ(Cmd(TcpInit(FreeTcpPort(), kTables25)).Err(), 0);
    EXPECT_EQ(client->Cmd(R"({"cmd":"getconfig","zones":[{"address":0,"length":2}]})"),
              R"({"err":108,"info":"Zone incomplete"})");
    EXPECT_EQ(client->Cmd(R"({"cmd":"getconfig","zones":[{"address":-3,"length":2,"mode":"r"}]})"),
              R"({"err":108,"info":"Zone incomplete"})");
    // A huge length would build an unbounded reply.
    Reply huge =
        Cmd(R"({"cmd":"getconfig","zones":[{"address":0,"length":2000000000,"mode":"r"}]})");
    EXPECT_EQ(huge.Err(), 108);
    EXPECT_EQ(Cmd(R"({"cmd":"getconfig","zones":[{"address":0,"length":26,"mode":"r"}]})").Err(),
              108);
    // The members come in the order data, err, info.
    EXPECT_EQ(
        client->Cmd(
            R"({"cmd":"getconfig","zones":[{"address":0,"length":2,"mode":"-"},{"address":24,"length":1,"mode":"r"}]})"),
        R"({"data":[{"address":0,"values":[0,0]},{"address":24,"values":[0]}],"err":0,"info":""})");
    EXPECT_EQ(client->Cmd(R"({"cmd":"getconfig","zones":[]})"), R"({"data":[],"err":0,"info":""})");
}

TEST_F(Commands, StatusSignalWhileConfiguredAndStopEndsTheProcess)
{
    client->WatchSignals();
    ASSERT_EQ(Cmd(TcpInit(FreeTcpPort(), kTables25)).Err(), 0);
    std::string sText;
    ASSERT_TRUE(client->WaitSignal("status", sText, 5000));
    Reply status(cJSON_Parse(sText.c_str()));
    EXPECT_EQ(JsonInt(status.json, "procstate"), 2);
    EXPECT_EQ(JsonStr(status.json, "protocol"), "tcp");
    EXPECT_NE(cJSON_GetObjectItem(status.json, "clients"), nullptr);

    EXPECT_EQ(client->Cmd(R"({"cmd":"deinit"})"), R"({"err":0,"info":""})");
    EXPECT_EQ(client->Cmd(R"({"cmd":"stop"})"), R"({"err":0,"info":""})");
    ASSERT_TRUE(client->WaitSignal("stopped", sText, 2000));
    Reply stopped(cJSON_Parse(sText.c_str()));
    EXPECT_EQ(JsonInt(stopped.json, "stopped"), daemon->Pid());
    EXPECT_EQ(daemon->WaitExit(5000), 0);
}

// Every command word in every state a client can reach (Stopping ends the
// process): the states it is allowed in run it, the others refuse it with
// 110 and leave the state; an unknown word is 107 everywhere.
TEST_F(Commands, EveryWordFollowsItsStateRuleInEveryState)
{
    const int iPort = FreeTcpPort();
    const std::string sInit = TcpInit(iPort, kTables25);
    auto enter = [&](int iState) {
        if (ProcState() != 1) {
            ASSERT_EQ(Cmd(R"({"cmd":"deinit"})").Err(), 0);
        }
        if (iState >= 2) {
            ASSERT_EQ(Cmd(sInit).Err(), 0);
        }
        if (iState == 3) {
            ASSERT_EQ(Cmd(R"({"cmd":"setconfig","data":[]})").Err(), 0);
        }
        ASSERT_EQ(ProcState(), iState);
    };
    struct Case {
        std::string sRequest;
        int aiErr[3];   // in Idle, Init, SetConfig
        int aiAfter[3]; // the state afterwards
    } cases[] = {
        {R"({"cmd":"start"})", {0, 0, 0}, {1, 2, 3}},
        {sInit, {0, 110, 110}, {2, 2, 3}},
        {R"({"cmd":"setconfig","data":[]})", {110, 0, 0}, {1, 3, 3}},
        {R"({"cmd":"unsetconfig"})", {110, 110, 0}, {1, 2, 3}},
        {R"({"cmd":"getconfig","zones":[]})", {0, 0, 0}, {1, 2, 3}},
        {R"({"cmd":"deinit"})", {110, 0, 0}, {1, 1, 1}},
        {R"({"cmd":"setloglevel","level":6})", {0, 0, 0}, {1, 2, 3}},
        {R"({"cmd":"frobnicate"})", {107, 107, 107}, {1, 2, 3}},
        {R"({"cmd":"stop"})", {-1, 110, 110}, {-1, 2, 3}}, // -1: not sent (ends the daemon)
    };
    for (const Case& c : cases) {
        for (int iState = 1; iState <= 3; iState++) {
            if (c.aiErr[iState - 1] < 0)
                continue;
            enter(iState);
            const std::string sReply = client->Cmd(c.sRequest);
            Reply r(cJSON_Parse(sReply.c_str()));
            EXPECT_EQ(r.Err(), c.aiErr[iState - 1]) << c.sRequest << " in state " << iState;
            if (c.aiErr[iState - 1] == 110) {
                EXPECT_EQ(sReply, R"({"err":110,"info":""})") << c.sRequest;
            }
            EXPECT_EQ(ProcState(), c.aiAfter[iState - 1]) << c.sRequest << " in state " << iState;
        }
    }
    for (int iState = 1; iState <= 3; iState++) {
        enter(iState);
        EXPECT_EQ(ProcState(), iState); // "getstatus" answers in every state
    }
    enter(1);
    EXPECT_EQ(Cmd(R"({"cmd":"stop"})").Err(), 0);
    EXPECT_EQ(daemon->WaitExit(5000), 0);
}
