// Modbus TCP as the standard frames it, against the real daemon with raw
// sockets: requests cut by their MBAP length, exception answers, function
// 23 after the access rules, the 65,535 address edge, and random frames.
#include <gtest/gtest.h>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

using namespace plinthd_test;

namespace
{

typedef std::vector<uint8_t> Bytes;

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

int Tid(const Bytes& frame)
{
    return frame.size() >= 2 ? (frame[0] << 8) | frame[1] : -1;
}

// Function code of an answer (bit 7 set for an exception).
int Function(const Bytes& frame)
{
    return frame.size() >= 8 ? frame[7] : -1;
}

int ExceptionCode(const Bytes& frame)
{
    return frame.size() == 9 ? frame[8] : -1;
}

// Register values of a read answer (function 3, 4 or 23).
std::vector<int> Values(const Bytes& frame)
{
    std::vector<int> v;
    if (frame.size() < 9 || (frame[7] & 0x80) != 0)
        return v;
    for (size_t i = 9; i + 1 < frame.size(); i += 2)
        v.push_back((frame[i] << 8) | frame[i + 1]);
    return v;
}

Bytes WritePdu(int iAddr, const std::vector<int>& values)
{
    Bytes pdu = {16,
                 static_cast<uint8_t>(iAddr >> 8),
                 static_cast<uint8_t>(iAddr),
                 static_cast<uint8_t>(values.size() >> 8),
                 static_cast<uint8_t>(values.size()),
                 static_cast<uint8_t>(2 * values.size())};
    for (int v : values) {
        pdu.push_back(static_cast<uint8_t>(v >> 8));
        pdu.push_back(static_cast<uint8_t>(v));
    }
    return pdu;
}

Bytes WriteReadPdu(int iReadAddr, int iReadQuantity, int iWriteAddr, const std::vector<int>& values)
{
    Bytes pdu = {23,
                 static_cast<uint8_t>(iReadAddr >> 8),
                 static_cast<uint8_t>(iReadAddr),
                 static_cast<uint8_t>(iReadQuantity >> 8),
                 static_cast<uint8_t>(iReadQuantity),
                 static_cast<uint8_t>(iWriteAddr >> 8),
                 static_cast<uint8_t>(iWriteAddr),
                 static_cast<uint8_t>(values.size() >> 8),
                 static_cast<uint8_t>(values.size()),
                 static_cast<uint8_t>(2 * values.size())};
    for (int v : values) {
        pdu.push_back(static_cast<uint8_t>(v >> 8));
        pdu.push_back(static_cast<uint8_t>(v));
    }
    return pdu;
}

// 100 registers: 0-9 "rw", 10-19 "r", 20-29 "-", 30-39 "w", 40-99 "rw".
// The controller stores 1000 + address everywhere.
const char* kTables =
    R"([{"address":0,"length":100,"mode":"rw","zones":[{"address":10,"length":10,"mode":"r"},)"
    R"({"address":20,"length":10,"mode":"-"},{"address":30,"length":10,"mode":"w"}]}])";

class Framing : public ::testing::Test
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
    void Init(const std::string& sTables = kTables, int iValues = 100)
    {
        Json r(client->CmdJson(TcpInit(port, sTables)));
        ASSERT_EQ(JsonInt(r.json, "err"), 0) << JsonStr(r.json, "info");
        std::string sValues;
        for (int i = 0; i < iValues; i++)
            sValues += (i ? "," : "") + std::to_string(1000 + i);
        ASSERT_EQ(
            client->Cmd(R"({"cmd":"setconfig","data":[{"address":0,"values":[)" + sValues + "]}]}"),
            R"({"err":0,"info":""})");
    }
    // The controller's view of registers iAddr.. (getconfig).
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
    int Stat(const char* pszName)
    {
        Json status(client->CmdJson(R"({"cmd":"getstatus"})"));
        return JsonInt(cJSON_GetObjectItem(status.json, "stat"), pszName);
    }
    std::unique_ptr<PrivateBus> bus;
    std::unique_ptr<DaemonProcess> daemon;
    std::unique_ptr<BusClient> client;
    int port = 0;
};

std::vector<int> Range(int iFrom, int iCount)
{
    std::vector<int> v;
    for (int i = 0; i < iCount; i++)
        v.push_back(iFrom + i);
    return v;
}

} // namespace

// --- Framing -------------------------------------------------------------

TEST_F(Framing, MbapLengthLongerOrShorterThanThePduNeverShiftsTheNextRequest)
{
    Init();
    RawMaster m(port);
    ASSERT_TRUE(m.Connected());
    // A read whose MBAP length counts two bytes more than its PDU: the two
    // bytes belong to this frame, so the next request is read as sent
    // (read as a function code, 0x06 0x12 0x34 would be a write).
    Bytes longer = Adu(1, Concat({ReadPdu(2, 1), {0x06, 0x00}}));
    Bytes next = Adu(2, ReadPdu(0x12, 1));
    ASSERT_TRUE(m.Send(Concat({longer, next})));
    Bytes a1 = m.ReadFrame(), a2 = m.ReadFrame();
    EXPECT_EQ(Tid(a1), 1);
    EXPECT_EQ(Function(a1), 0x83);
    EXPECT_EQ(ExceptionCode(a1), 3);
    EXPECT_EQ(Tid(a2), 2);
    EXPECT_EQ(Values(a2), (std::vector<int>{1018}));

    // A read whose MBAP length ends inside its PDU: the frame is incomplete
    // as a request, the next one again starts where the length says.
    Bytes shorter = Adu(3, Bytes{3, 0, 2});
    ASSERT_TRUE(m.Send(Concat({shorter, Adu(4, ReadPdu(3, 2))})));
    Bytes a3 = m.ReadFrame(), a4 = m.ReadFrame();
    EXPECT_EQ(Tid(a3), 3);
    EXPECT_EQ(Function(a3), 0x83);
    EXPECT_EQ(ExceptionCode(a3), 3);
    EXPECT_EQ(Tid(a4), 4);
    EXPECT_EQ(Values(a4), (std::vector<int>{1003, 1004}));
    // Nothing was written anywhere.
    EXPECT_EQ(Backend(0, 100), Range(1000, 100));
}

TEST_F(Framing, ProtocolIdOtherThanZeroIsDiscardedAndTheStreamGoesOn)
{
    Init();
    RawMaster m(port);
    ASSERT_TRUE(m.Connected());
    // A write with protocol id 1 is not Modbus: not executed, not answered.
    ASSERT_TRUE(m.Send(Concat({Adu(1, WritePdu(0, {7}), 1, 1), Adu(2, ReadPdu(0, 1))})));
    Bytes a = m.ReadFrame();
    EXPECT_EQ(Tid(a), 2);
    EXPECT_EQ(Values(a), (std::vector<int>{1000}));
    // Answers carry protocol id 0.
    ASSERT_GE(a.size(), 4u);
    EXPECT_EQ(a[2], 0);
    EXPECT_EQ(a[3], 0);
    EXPECT_TRUE(m.Silent(200));
    EXPECT_EQ(Backend(0, 1), (std::vector<int>{1000}));
    EXPECT_EQ(Stat("rxerror"), 1);
}

TEST_F(Framing, ImpossibleLengthsCloseTheConnectionUnanswered)
{
    Init();
    // Lengths 0 and 1 cannot hold a unit id and a function code; 300 is more
    // than the largest frame. The start of the next request is unknowable.
    // The close comes at once: within half of the 2 s request deadline, so
    // a connection that only the deadline closes does not pass. Closed
    // means recv reports the end or a reset, with no answer before it.
    for (int iLength : {0, 1, 300}) {
        RawMaster m(port);
        ASSERT_TRUE(m.Connected());
        ASSERT_TRUE(m.Send(Adu(1, ReadPdu(0, 1), 1, 0, iLength)));
        pollfd pfd = {m.Fd(), POLLIN, 0};
        ASSERT_EQ(poll(&pfd, 1, 1000), 1) << "length " << iLength << ": not closed within 1 s";
        uint8_t aby[16];
        ssize_t n = recv(m.Fd(), aby, sizeof(aby), MSG_DONTWAIT);
        EXPECT_TRUE(n == 0 || (n < 0 && errno == ECONNRESET))
            << "length " << iLength << ": " << (n > 0 ? "answered" : strerror(errno));
    }
    EXPECT_EQ(Stat("rxerror"), 3);
    // Others are still served.
    RawMaster m(port);
    ASSERT_TRUE(m.Send(Adu(9, ReadPdu(5, 1))));
    EXPECT_EQ(Values(m.ReadFrame()), (std::vector<int>{1005}));
}

TEST_F(Framing, RequestsAreCompleteWhenTheirLengthSaysSoHoweverTheyArrive)
{
    Init();
    RawMaster m(port);
    ASSERT_TRUE(m.Connected());
    // Three requests in one send: three answers, in order.
    ASSERT_TRUE(
        m.Send(Concat({Adu(7, ReadPdu(0, 2)), Adu(8, WritePdu(1, {55})), Adu(9, ReadPdu(0, 2))})));
    Bytes a7 = m.ReadFrame(), a8 = m.ReadFrame(), a9 = m.ReadFrame();
    EXPECT_EQ(Tid(a7), 7);
    EXPECT_EQ(Values(a7), (std::vector<int>{1000, 1001}));
    EXPECT_EQ(Tid(a8), 8);
    EXPECT_EQ(Function(a8), 16);
    EXPECT_EQ(Tid(a9), 9);
    EXPECT_EQ(Values(a9), (std::vector<int>{1000, 55}));

    // One request in 12 single-byte sends.
    Bytes req = Adu(10, ReadPdu(4, 3));
    ASSERT_EQ(req.size(), 12u);
    for (uint8_t b : req) {
        ASSERT_TRUE(m.Send(Bytes{b}));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Bytes a10 = m.ReadFrame();
    EXPECT_EQ(Tid(a10), 10);
    EXPECT_EQ(Values(a10), (std::vector<int>{1004, 1005, 1006}));

    // A request split after its function byte, the rest a moment later.
    req = Adu(11, ReadPdu(40, 1));
    ASSERT_TRUE(m.Send(Bytes(req.begin(), req.begin() + 8)));
    EXPECT_TRUE(m.Silent(200));
    ASSERT_TRUE(m.Send(Bytes(req.begin() + 8, req.end())));
    Bytes a11 = m.ReadFrame();
    EXPECT_EQ(Tid(a11), 11);
    EXPECT_EQ(Values(a11), (std::vector<int>{1040}));
    EXPECT_EQ(Stat("rxerror"), 0);
}

// --- Exceptions ------------------------------------------------------------

TEST_F(Framing, UnservedFunctionsGetExceptionOneAndTheConnectionStaysUsable)
{
    Init();
    RawMaster m(port);
    ASSERT_TRUE(m.Connected());
    // Function 7 (read exception status), 8 (diagnostics), 0x2B and an
    // unassigned code; then 0x80 and above, whose answer keeps bit 7.
    const std::vector<Bytes> pdus = {{0x07},
                                     {0x08, 0x00, 0x00, 0x12, 0x34},
                                     {0x2B, 0x0E, 0x01, 0x00},
                                     {0x41, 0x01},
                                     {0x80},
                                     {0x83, 0x00, 0x00, 0x00, 0x01},
                                     {0xFF, 0x00}};
    int iTid = 100;
    for (const Bytes& pdu : pdus) {
        ASSERT_TRUE(m.Send(Adu(iTid, pdu)));
        Bytes a = m.ReadFrame();
        EXPECT_EQ(Tid(a), iTid);
        EXPECT_EQ(Function(a), pdu[0] | 0x80) << "function " << int(pdu[0]);
        EXPECT_EQ(ExceptionCode(a), 1) << "function " << int(pdu[0]);
        iTid++;
        // Still connected and served.
        ASSERT_TRUE(m.Send(Adu(iTid, ReadPdu(0, 1))));
        EXPECT_EQ(Values(m.ReadFrame()), (std::vector<int>{1000}));
        iTid++;
    }
}

TEST_F(Framing, RequestPipelinedAfterAnExceptionIsStillAnswered)
{
    Init();
    RawMaster m(port);
    ASSERT_TRUE(m.Connected());
    // An unknown function, a read of 0 registers (03), a read past the range
    // (02), each with a good read right behind it in the same segment.
    ASSERT_TRUE(
        m.Send(Concat({Adu(1, Bytes{0x41}), Adu(2, ReadPdu(1, 1)), Adu(3, ReadPdu(0, 0)),
                       Adu(4, ReadPdu(2, 1)), Adu(5, ReadPdu(99, 2)), Adu(6, ReadPdu(3, 1))})));
    const int expected[][2] = {{0xC1, 1}, {3, 1001}, {0x83, 3}, {3, 1002}, {0x83, 2}, {3, 1003}};
    for (int i = 0; i < 6; i++) {
        Bytes a = m.ReadFrame();
        ASSERT_EQ(Tid(a), i + 1);
        EXPECT_EQ(Function(a), expected[i][0]);
        if (expected[i][0] & 0x80) {
            EXPECT_EQ(ExceptionCode(a), expected[i][1]);
        } else {
            EXPECT_EQ(Values(a), (std::vector<int>{expected[i][1]}));
        }
    }
}

TEST_F(Framing, MalformedWritesGetExceptionThreeAndChangeNothing)
{
    Init();
    RawMaster m(port);
    ASSERT_TRUE(m.Connected());
    // Function 15: 10 coils need 2 bytes, the count says 1.
    Bytes coils = {15, 0, 0, 0, 10, 1, 0xFF};
    // Function 16: 2 registers need 4 bytes, the count says 3.
    Bytes regs = {16, 0, 0, 0, 2, 3, 0, 9, 0};
    // Function 16 whose count matches its quantity but not the bytes sent.
    Bytes truncated = {16, 0, 0, 0, 2, 4, 0, 9, 0};
    // Function 23 writing 2 registers with a byte count of 2.
    Bytes wr = {23, 0, 0, 0, 1, 0, 0, 0, 2, 2, 0, 9};
    // Function 5 with a value other than 0x0000 or 0xFF00.
    Bytes coil = {5, 0, 0, 0x12, 0x34};
    // Function 16 with quantity 0.
    Bytes none = {16, 0, 0, 0, 0, 0};
    int iTid = 1;
    for (const Bytes& pdu : {coils, regs, truncated, wr, coil, none}) {
        ASSERT_TRUE(m.Send(Adu(iTid, pdu)));
        Bytes a = m.ReadFrame();
        EXPECT_EQ(Tid(a), iTid);
        EXPECT_EQ(Function(a), pdu[0] | 0x80) << "request " << iTid;
        EXPECT_EQ(ExceptionCode(a), 3) << "request " << iTid;
        iTid++;
    }
    // Function 5 with 0xFF00 is fine, and the coil reads back as set.
    ASSERT_TRUE(m.Send(Adu(iTid++, Bytes{5, 0, 3, 0xFF, 0x00})));
    EXPECT_EQ(Function(m.ReadFrame()), 5);
    ASSERT_TRUE(m.Send(Adu(iTid++, ReadPdu(0, 8, 1))));
    Bytes bits = m.ReadFrame();
    ASSERT_EQ(bits.size(), 10u);
    EXPECT_EQ(bits[9], 0x08);
    EXPECT_EQ(Backend(0, 100), Range(1000, 100));
}

// --- Function 23 -----------------------------------------------------------

TEST_F(Framing, WriteAndReadAnswersWhatTheRegistersHoldAfterTheAccessRules)
{
    Init();
    client->DrainSignals(50);
    RawMaster m(port);
    ASSERT_TRUE(m.Connected());
    // "r": the write is undone, the read part gives the controller's values.
    ASSERT_TRUE(m.Send(Adu(1, WriteReadPdu(10, 2, 10, {7, 8}))));
    Bytes a = m.ReadFrame();
    EXPECT_EQ(Function(a), 23);
    EXPECT_EQ(Values(a), (std::vector<int>{1010, 1011}));
    // "-": both sides become 0, and so does the answer.
    ASSERT_TRUE(m.Send(Adu(2, WriteReadPdu(20, 2, 20, {7, 8}))));
    EXPECT_EQ(Values(m.ReadFrame()), (std::vector<int>{0, 0}));
    // "rw": taken; the read part sees the new values.
    ASSERT_TRUE(m.Send(Adu(3, WriteReadPdu(5, 2, 5, {7, 8}))));
    EXPECT_EQ(Values(m.ReadFrame()), (std::vector<int>{7, 8}));
    // A read over "r" and "-" registers in a write to others: unchanged.
    ASSERT_TRUE(m.Send(Adu(4, WriteReadPdu(18, 4, 0, {9}))));
    EXPECT_EQ(Values(m.ReadFrame()), (std::vector<int>{1018, 1019, 0, 0}));
    // A later read agrees with every answer.
    ASSERT_TRUE(m.Send(Adu(5, ReadPdu(0, 30))));
    std::vector<int> after = Values(m.ReadFrame());
    ASSERT_EQ(after.size(), 30u);
    EXPECT_EQ(after[0], 9);
    EXPECT_EQ(after[5], 7);
    EXPECT_EQ(after[6], 8);
    EXPECT_EQ(after[10], 1010);
    EXPECT_EQ(after[11], 1011);
    EXPECT_EQ(after[20], 0);
    EXPECT_EQ(after[21], 0);
    std::vector<int> backend = Backend(0, 30);
    EXPECT_EQ(backend[10], 1010);
    EXPECT_EQ(backend[20], 0);
    EXPECT_EQ(backend[5], 7);
    // Each write was reported with the controller's view of its block.
    std::string sText;
    ASSERT_TRUE(client->WaitSignal("data", sText, 2000));
    EXPECT_NE(sText.find("\"address\": 10"), std::string::npos) << sText;
    EXPECT_NE(sText.find("1010"), std::string::npos) << sText;
}

// --- The end of the address space -----------------------------------------

TEST_F(Framing, NothingBeyondAddress65535IsReachable)
{
    Init(R"([{"address":0,"length":70000,"mode":"rw"}])", 0);
    ASSERT_EQ(client->Cmd(R"({"cmd":"setconfig","data":[{"address":65534,"values":[1,2,3,4]}]})"),
              R"({"err":0,"info":""})");
    client->DrainSignals(50);
    RawMaster m(port);
    ASSERT_TRUE(m.Connected());
    ASSERT_TRUE(m.Send(Adu(1, ReadPdu(65534, 2))));
    EXPECT_EQ(Values(m.ReadFrame()), (std::vector<int>{1, 2}));
    // Register 65,536 has no address: any block reaching it gets 02.
    const std::vector<Bytes> refused = {ReadPdu(65535, 2), ReadPdu(65535, 2, 4),
                                        WritePdu(65535, {9, 9}), WriteReadPdu(65535, 2, 0, {9}),
                                        WriteReadPdu(0, 1, 65535, {9, 9})};
    int iTid = 2;
    for (const Bytes& pdu : refused) {
        ASSERT_TRUE(m.Send(Adu(iTid, pdu)));
        Bytes a = m.ReadFrame();
        EXPECT_EQ(Function(a), pdu[0] | 0x80) << "request " << iTid;
        EXPECT_EQ(ExceptionCode(a), 2) << "request " << iTid;
        iTid++;
    }
    EXPECT_EQ(Backend(65534, 4), (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(Backend(0, 1), (std::vector<int>{0}));
    // The last addressable register itself is served.
    ASSERT_TRUE(m.Send(Adu(iTid++, Bytes{6, 0xFF, 0xFF, 0, 77})));
    EXPECT_EQ(Function(m.ReadFrame()), 6);
    EXPECT_EQ(Backend(65535, 2), (std::vector<int>{77, 3}));
}

// --- Random frames ---------------------------------------------------------

namespace
{

// Registers a frame writes when it is a valid write request by the
// standard (protocol id 0, lengths, quantities and byte counts right, the
// whole block inside the L served registers); empty otherwise.
std::vector<int> NamedByValidWrite(const Bytes& frame, int L)
{
    std::vector<int> named;
    if (frame.size() < 8 || frame[2] != 0 || frame[3] != 0)
        return named;
    const uint8_t* p = frame.data() + 7;
    const int n = static_cast<int>(frame.size()) - 7;
    auto word = [p](int i) { return (p[i] << 8) | p[i + 1]; };
    auto block = [&](int a, int q) {
        if (a + q <= L)
            for (int i = 0; i < q; i++)
                named.push_back(a + i);
    };
    switch (p[0]) {
    case 6:
    case 22:
        if (n == (p[0] == 6 ? 5 : 7))
            block(word(1), 1);
        break;
    case 16:
        if (n >= 6 && word(3) >= 1 && word(3) <= 123 && p[5] == 2 * word(3) && n == 6 + p[5])
            block(word(1), word(3));
        break;
    case 23:
        if (n >= 10 && word(3) >= 1 && word(3) <= 125 && word(7) >= 1 && word(7) <= 121 &&
            p[9] == 2 * word(7) && n == 10 + p[9] && word(1) + word(3) <= L)
            block(word(5), word(7));
        break;
    default:
        break;
    }
    return named;
}

} // namespace

TEST_F(Framing, RandomFramesNeverChangeARegisterNoValidWriteNamed)
{
    const int L = 40;
    Init(R"([{"address":0,"length":40,"mode":"rw","zones":[{"address":10,"length":10,"mode":"r"},)"
         R"({"address":20,"length":10,"mode":"-"},{"address":30,"length":10,"mode":"w"}]}])",
         L);
    std::vector<int> modbusBefore;
    {
        RawMaster m(port);
        ASSERT_TRUE(m.Send(Adu(1, ReadPdu(0, L))));
        modbusBefore = Values(m.ReadFrame());
        ASSERT_EQ(modbusBefore.size(), static_cast<size_t>(L));
    }
    std::mt19937 rng(20261209);
    auto rnd = [&rng](int iMax) { return static_cast<int>(rng() % (iMax + 1)); };
    const int kFunctions[] = {1, 2, 3, 4, 5, 6, 15, 16, 22, 23, 7, 0x41, 0x90};
    std::set<int> named;
    RawMaster m(port);
    ASSERT_TRUE(m.Connected());
    int iExpected = 0, iDiscarded = 0;
    for (int iChunk = 0; iChunk < 30; iChunk++) {
        Bytes chunk;
        int iChunkExpected = 0;
        for (int i = 0; i < 50; i++) {
            // A PDU of a plausible shape with random fields; its byte count,
            // quantity and length are right only some of the time.
            Bytes pdu = {static_cast<uint8_t>(kFunctions[rnd(12)])};
            int iBody = rnd(3) == 0 ? rnd(12) : (pdu[0] == 16 || pdu[0] == 23 ? 9 : 4);
            for (int b = 0; b < iBody; b++)
                pdu.push_back(static_cast<uint8_t>(rnd(255)));
            if (pdu.size() >= 5 && rnd(1) == 0) {
                pdu[1] = 0; // addresses near the served range
                pdu[2] = static_cast<uint8_t>(rnd(L + 5));
                pdu[3] = 0;
                pdu[4] = static_cast<uint8_t>(rnd(4));
            }
            if (pdu[0] == 16 && pdu.size() >= 6 && rnd(1) == 0)
                pdu[5] = static_cast<uint8_t>(2 * pdu[4] + rnd(1));
            int iProtocol = rnd(19) == 0 ? 1 : 0;
            Bytes frame = Adu(iChunk * 50 + i, pdu, rnd(255), iProtocol);
            for (int a : NamedByValidWrite(frame, L))
                named.insert(a);
            iChunkExpected += iProtocol == 0;
            iDiscarded += iProtocol != 0;
            chunk.insert(chunk.end(), frame.begin(), frame.end());
        }
        ASSERT_TRUE(m.Send(chunk));
        // Every Modbus frame is answered, in order; discarded ones are not.
        int iLastTid = -1;
        for (int i = 0; i < iChunkExpected; i++) {
            Bytes a = m.ReadFrame();
            ASSERT_FALSE(a.empty()) << "chunk " << iChunk << " answer " << i;
            EXPECT_GT(Tid(a), iLastTid);
            iLastTid = Tid(a);
        }
        iExpected += iChunkExpected;
    }
    // Nothing more: the discarded frames got no answer. The daemon counted
    // each Modbus frame as received (and the read before) and each
    // discarded one as an error.
    EXPECT_TRUE(m.Silent(100));
    EXPECT_EQ(Stat("rxvalid"), iExpected + 1);
    EXPECT_EQ(Stat("rxerror"), iDiscarded);
    EXPECT_GT(iDiscarded, 0);

    std::vector<int> backend = Backend(0, L);
    ASSERT_TRUE(m.Send(Adu(9999, ReadPdu(0, L))));
    std::vector<int> modbusAfter = Values(m.ReadFrame());
    ASSERT_EQ(modbusAfter.size(), static_cast<size_t>(L));
    int iChanged = 0;
    for (int a = 0; a < L; a++) {
        if (named.count(a) != 0) {
            iChanged += backend[a] != 1000 + a;
            continue;
        }
        EXPECT_EQ(backend[a], 1000 + a) << "register " << a << " changed without a valid write";
        EXPECT_EQ(modbusAfter[a], modbusBefore[a]) << "register " << a;
    }
    // The frames did contain valid writes, and they took effect.
    EXPECT_GT(named.size(), 5u);
    EXPECT_GT(iChanged, 0);
}
