// The "init" document read into its record, section by section, without a
// daemon: what each section fills in, and where the first failure stops the
// reading (the texts are the ones "init" replies with).
#include <cJSON.h>
#include <gtest/gtest.h>

#include <string>

#include "initdocument.h"
#include "log.h"

namespace
{

void DropLog(int, const char*) {}

struct Parsed {
    int iErr = 0;
    std::string sInfo;
    InitDocument_t doc;
};

Parsed Parse(const std::string& sText, const ModbusConfig_t& start = ModbusConfig_t())
{
    Parsed p;
    p.doc.config = start;
    cJSON* pJson = cJSON_Parse(sText.c_str());
    EXPECT_NE(pJson, nullptr) << sText;
    p.iErr = ParseInitRequest(pJson, p.doc, p.sInfo);
    cJSON_Delete(pJson);
    return p;
}

class InitDocument : public ::testing::Test
{
protected:
    void SetUp() override { LogSetSink(DropLog); }
    void TearDown() override { LogSetSink(nullptr); }
};

} // namespace

TEST_F(InitDocument, EverySectionFillsItsPartOfTheRecord)
{
    Parsed p = Parse(R"({"cmd":"init","protocol":"rtu","delay":7,
        "rtu":{"devid":5,"baud":19200,"port":"/dev/ttyS1","mode":"8E1"},
        "tables":[{"address":0,"length":10,"mode":"r","zones":[{"address":2,"length":3,"mode":"w"}]},
                  {"address":20,"length":5,"mode":"rw","zones":"none"},
                  {"address":30,"length":2,"mode":"-","zones":[{"address":30,"length":1,"mode":"rw"}]}]})");
    ASSERT_EQ(p.iErr, 0) << p.sInfo;
    const ModbusConfig_t& c = p.doc.config;
    EXPECT_EQ(c.eType, MBTYPE_RTU);
    EXPECT_EQ(c.iDelay, 7);
    EXPECT_EQ(c.rtu.iMbDevId, 5);
    EXPECT_EQ(c.rtu.iBaudrate, 19200);
    EXPECT_EQ(c.rtu.sDevice, "/dev/ttyS1");
    EXPECT_EQ(c.rtu.iDataBits, 8);
    EXPECT_EQ(c.rtu.cParity, 'e');
    EXPECT_EQ(c.rtu.iStopBits, 1);
    ASSERT_EQ(p.doc.tables.size(), 3u);
    EXPECT_EQ(p.doc.tables[1].iAddress, 20);
    EXPECT_EQ(p.doc.tables[1].eMode, ACCESS_RW);
    // The zones of all tables, in order; "zones" that is not an array is none.
    ASSERT_EQ(p.doc.zones.size(), 2u);
    EXPECT_EQ(p.doc.zones[0].iAddress, 2);
    EXPECT_EQ(p.doc.zones[0].eMode, ACCESS_WO);
    EXPECT_EQ(p.doc.zones[1].iAddress, 30);
    EXPECT_EQ(p.doc.zones[1].eMode, ACCESS_RW);

    Parsed tcp =
        Parse(R"({"protocol":"tcp","delay":0,"tcp":{"listen":"::","port":1502,"clients":10},
        "tables":[{"address":0,"length":1,"mode":"r"}]})");
    ASSERT_EQ(tcp.iErr, 0) << tcp.sInfo;
    EXPECT_EQ(tcp.doc.config.eType, MBTYPE_TCP);
    EXPECT_EQ(tcp.doc.config.tcp.sListen, "::");
    EXPECT_EQ(tcp.doc.config.tcp.iPort, 1502);
    EXPECT_EQ(tcp.doc.config.tcp.iClients, 0); // "clients" is not read
}

TEST_F(InitDocument, TheFirstFailureEndsTheReadingAndWhatWasNamedBeforeItStays)
{
    const std::string sTables = R"("tables":[{"address":0,"length":1,"mode":"r"}])";
    struct Case {
        std::string sText;
        const char* pszInfo;
    } cases[] = {
        {R"({"delay":0,)" + sTables + "}", "Protocol is missing"},
        {R"({"protocol":"tcp",)" + sTables + "}", "Delay is missing"},
        {R"({"protocol":"tcp","delay":0})", "Tables defs are missing"},
        {R"({"protocol":"udp","delay":0,)" + sTables + "}", "Unknown protocol"},
        {R"({"protocol":"tcppi","delay":0,)" + sTables + "}", "TCP-PI parameters not found"},
        {R"({"protocol":"tcp","delay":0,"tcp":{"listen":"","port":0},)" + sTables + "}",
         "Incomplete or invalid TCP config"},
        {R"({"protocol":"rtu","delay":0,"rtu":{"devid":1,"baud":9600,"port":"/dev/x","mode":"8x1"},)" +
             sTables + "}",
         "Invalid UART parity specifier"},
        {R"({"protocol":"tcp","delay":0,"tcp":{"listen":"","port":502},"tables":[]})",
         "No tables specified"},
        {R"({"protocol":"tcp","delay":0,"tcp":{"listen":"","port":502},"tables":[{"address":0,"length":1,"mode":"x"}]})",
         "Table info missing or incorrect"},
        {R"({"protocol":"tcp","delay":0,"tcp":{"listen":"","port":502},"tables":[{"address":0,"length":1,"mode":"r","zones":[{"address":0}]}]})",
         "Zone info missing or incorrect"},
    };
    for (const Case& c : cases) {
        Parsed p = Parse(c.sText);
        EXPECT_EQ(p.iErr, 108) << c.sText;
        EXPECT_EQ(p.sInfo, c.pszInfo) << c.sText;
    }

    // A refused document keeps what it named before the failure and nothing
    // after it: here the protocol and the delay, not the TCP object.
    ModbusConfig_t start;
    start.eType = MBTYPE_RTU;
    start.rtu.iMbDevId = 9;
    start.tcp.iPort = 1502;
    Parsed p = Parse(
        R"({"protocol":"tcp","delay":3,"tcp":{"listen":"x","port":"502"},)" + sTables + "}", start);
    EXPECT_EQ(p.sInfo, "Incomplete or invalid TCP config");
    EXPECT_EQ(p.doc.config.eType, MBTYPE_TCP);
    EXPECT_EQ(p.doc.config.iDelay, 3);
    EXPECT_EQ(p.doc.config.tcp.iPort, 1502);
    EXPECT_EQ(p.doc.config.tcp.sListen, "");
    EXPECT_EQ(p.doc.config.rtu.iMbDevId, 9);
    EXPECT_EQ(Parse(R"({"protocol":"udp","delay":0,)" + sTables + "}", start).doc.config.eType,
              MBTYPE_UNDEF);
}
