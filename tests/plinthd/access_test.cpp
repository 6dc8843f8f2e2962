// Which masters may connect and which may write: networks in the "init"
// document, IPv4, IPv6 and IPv4 masters on an IPv6 socket, checked with raw
// masters bound to loopback addresses against the real daemon.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "harness.h"

using namespace plinthd_test;

namespace
{

const std::vector<uint8_t> kWrite6 = {6, 0, 4, 0x12, 0x34};                  // 0x1234 to 4
const std::vector<uint8_t> kWrite16 = {16, 0, 4, 0, 2, 4, 0xAB, 0xCD, 0, 1}; // 4 and 5

// The answer's PDU (function code first); empty when none came.
std::vector<uint8_t> Ask(RawMaster& master, const std::vector<uint8_t>& pdu)
{
    static int s_iTid = 0;
    if (!master.Send(Adu(++s_iTid, pdu)))
        return {};
    std::vector<uint8_t> frame = master.ReadFrame(3000);
    if (frame.size() < 8)
        return {};
    return std::vector<uint8_t>(frame.begin() + 7, frame.end());
}

class Access : public ::testing::Test
{
protected:
    // "init" with the given interface object (its members after "port").
    int Init(const std::string& sProtocol, const std::string& sListen, const std::string& sExtra,
             std::string* pInfo = nullptr)
    {
        if (!bus) {
            bus = std::make_unique<PrivateBus>();
            daemon = std::make_unique<DaemonProcess>(bus->Address());
            client = std::make_unique<BusClient>(bus->Address());
            port = FreeTcpPort();
        }
        const std::string sPort =
            sProtocol == "tcppi" ? "\"" + std::to_string(port) + "\"" : std::to_string(port);
        Json r(client->CmdJson(R"({"cmd":"init","protocol":")" + sProtocol + R"(","delay":0,")" +
                               sProtocol + R"(":{"listen":")" + sListen + R"(","port":)" + sPort +
                               sExtra + R"(},"tables":[{"address":0,"length":10,"mode":"rw"}]})"));
        if (pInfo)
            *pInfo = JsonStr(r.json, "info");
        const int iErr = JsonInt(r.json, "err");
        if (iErr == 0) {
            client->Cmd(
                R"({"cmd":"setconfig","data":[{"address":0,"values":[0,1,2,3,40,50,6,7,8,9]}]})");
        }
        return iErr;
    }
    cJSON* Status() { return client->CmdJson(R"({"cmd":"getstatus"})"); }
    int Backend(int iAddr)
    {
        Json r(client->CmdJson(R"({"cmd":"getconfig","zones":[{"address":)" +
                               std::to_string(iAddr) + R"(,"length":1,"mode":"r"}]})"));
        cJSON* pData = cJSON_GetArrayItem(cJSON_GetObjectItem(r.json, "data"), 0);
        return cJSON_GetArrayItem(cJSON_GetObjectItem(pData, "values"), 0)->valueint;
    }
    std::unique_ptr<PrivateBus> bus;
    std::unique_ptr<DaemonProcess> daemon;
    std::unique_ptr<BusClient> client;
    int port = 0;
};

} // namespace

TEST_F(Access, AMasterOutsideTheNetworksIsClosedAtAccept)
{
    ASSERT_EQ(Init("tcp", "0.0.0.0", R"(,"allowconnect":["127.0.0.1/32"])"), 0);
    RawMaster outside("127.0.0.2", "127.0.0.1", port);
    ASSERT_TRUE(outside.Connected());
    EXPECT_TRUE(outside.WaitClosed(1000));
    RawMaster inside("127.0.0.1", "127.0.0.1", port);
    EXPECT_EQ(Ask(inside, ReadPdu(4, 2)), (std::vector<uint8_t>{3, 4, 0, 40, 0, 50}));
    Json status(Status());
    EXPECT_EQ(JsonInt(cJSON_GetObjectItem(status.json, "limits"), "refused"), 1);
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(status.json, "clients")), 1);
}

TEST_F(Access, AMasterOutsideTheWriteListGetsException01AndTheRegisterStays)
{
    ASSERT_EQ(
        Init("tcp", "0.0.0.0", R"(,"allowconnect":["127.0.0.0/8"],"allowwrite":["127.0.0.2/32"])"),
        0);
    RawMaster reader("127.0.0.1", "127.0.0.1", port);
    EXPECT_EQ(Ask(reader, ReadPdu(4, 1)), (std::vector<uint8_t>{3, 2, 0, 40}));
    EXPECT_EQ(Ask(reader, kWrite6), (std::vector<uint8_t>{0x86, 1}));
    EXPECT_EQ(Ask(reader, kWrite16), (std::vector<uint8_t>{0x90, 1}));
    // Mask write and write-and-read change registers too.
    EXPECT_EQ(Ask(reader, {22, 0, 4, 0, 0, 0xFF, 0xFF}), (std::vector<uint8_t>{0x96, 1}));
    EXPECT_EQ(Ask(reader, {23, 0, 4, 0, 1, 0, 4, 0, 1, 2, 0x55, 0x55}),
              (std::vector<uint8_t>{0x97, 1}));
    // Nothing changed, on the masters' side or the controller's.
    EXPECT_EQ(Ask(reader, ReadPdu(4, 2)), (std::vector<uint8_t>{3, 4, 0, 40, 0, 50}));
    EXPECT_EQ(Backend(4), 40);
    EXPECT_EQ(Backend(5), 50);
    // The master that may write does.
    RawMaster writer("127.0.0.2", "127.0.0.1", port);
    EXPECT_EQ(Ask(writer, kWrite6), kWrite6);
    EXPECT_EQ(Backend(4), 0x1234);
    EXPECT_EQ(Ask(reader, ReadPdu(4, 1)), (std::vector<uint8_t>{3, 2, 0x12, 0x34}));
}

TEST_F(Access, IPv6AndMappedIPv4MastersAreMatchedByTheirNetworks)
{
    // An IPv6 socket takes IPv4 masters too, as ::ffff:a.b.c.d.
    ASSERT_EQ(
        Init("tcppi", "::", R"(,"allowconnect":["::1/128","127.0.0.1"],"allowwrite":["::1"])"), 0);
    RawMaster six("::1", "::1", port);
    ASSERT_TRUE(six.Connected());
    EXPECT_EQ(Ask(six, kWrite6), kWrite6);
    RawMaster mapped("127.0.0.1", "127.0.0.1", port);
    ASSERT_TRUE(mapped.Connected());
    EXPECT_EQ(Ask(mapped, ReadPdu(4, 1)), (std::vector<uint8_t>{3, 2, 0x12, 0x34}));
    EXPECT_EQ(Ask(mapped, {6, 0, 4, 0, 9}), (std::vector<uint8_t>{0x86, 1}));
    EXPECT_EQ(Backend(4), 0x1234);
    RawMaster outside("127.0.0.2", "127.0.0.1", port);
    EXPECT_TRUE(outside.WaitClosed(1000));
    Json status(Status());
    cJSON* pClients = cJSON_GetObjectItem(status.json, "clients");
    ASSERT_EQ(cJSON_GetArraySize(pClients), 2);
    // Reported as the IPv4 address they are.
    std::string sIps;
    cJSON* pClient = nullptr;
    cJSON_ArrayForEach(pClient, pClients) sIps += JsonStr(pClient, "ip") + " ";
    EXPECT_NE(sIps.find("::1 "), std::string::npos) << sIps;
    EXPECT_NE(sIps.find("127.0.0.1 "), std::string::npos) << sIps;
}

TEST_F(Access, BadNetworkTextsAreInitErrorsThatNameThem)
{
    for (const char* pszList :
         {R"(["10.0.0.300/8"])", R"(["10.0.0.0/33"])", R"(["::1/129"])", R"(["localhost"])",
          R"(["10.0.0.0/ 8"])", R"(["fe80::1%eth0"])", R"(["10.0.0.0/-1"])", R"([""])",
          R"(["10.0.0.0/8x"])", R"([5])", R"("10.0.0.0/8")"}) {
        std::string sInfo;
        EXPECT_EQ(Init("tcp", "127.0.0.1", std::string(R"(,"allowconnect":)") + pszList, &sInfo),
                  108)
            << pszList;
        EXPECT_NE(sInfo.find("allowconnect"), std::string::npos) << pszList << ": " << sInfo;
    }
    std::string sInfo;
    EXPECT_EQ(Init("tcp", "127.0.0.1", R"(,"allowwrite":["192.168.1.0/24","bad"])", &sInfo), 108);
    EXPECT_NE(sInfo.find("'bad'"), std::string::npos) << sInfo;
    // Nothing was opened: a good "init" follows.
    EXPECT_EQ(Init("tcp", "127.0.0.1", R"(,"allowconnect":["10.1.2.3/8","::/0"])"), 0);
}
