// The request handler on its own, without a socket or a port: PDUs in,
// answers, register effects and signal texts out. The transports' tests
// show the same answers on the wire; these cover the functions and rules
// one request at a time.
#include <cJSON.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log.h"
#include "registerblock.h"
#include "requesthandler.h"
#include "signalqueue.h"

namespace
{

using Bytes = std::vector<uint8_t>;

void DropLog(int, const char*) {}

class Handler : public ::testing::Test
{
protected:
    void SetUp() override
    {
        LogSetSink(DropLog);
        // 0-9 "rw", 10-19 "r", 20-29 "w", 30-39 "-".
        RegZoneList_t tables(1), zones(3);
        tables[0] = {0, 40, ACCESS_RW};
        zones[0] = {10, 10, ACCESS_RO};
        zones[1] = {20, 10, ACCESS_WO};
        zones[2] = {30, 10, ACCESS_NO};
        std::string sInfo;
        ASSERT_EQ(regs.Build(40, tables, zones, sInfo), 0);
        cJSON* pValues = cJSON_CreateArray();
        for (int i = 0; i < 40; i++)
            cJSON_AddItemToArray(pValues, cJSON_CreateNumber(100 + i));
        regs.StoreValues(0, pValues);
        cJSON_Delete(pValues);
        signals.BeginRound(); // keeps the signal texts for the checks
    }
    void TearDown() override { LogSetSink(nullptr); }

    Bytes Ask(const Bytes& pdu, bool* pbException = nullptr)
    {
        MbRequest_t request;
        request.iUnit = 1;
        request.pPdu = pdu.data();
        request.iPduLen = static_cast<int>(pdu.size());
        request.iAduLen = request.iPduLen + 7;
        uint8_t aby[MB_MAX_ANSWER_PDU];
        bool bException = false;
        int n = handler.Handle(request, aby, bException);
        if (pbException)
            *pbException = bException;
        return Bytes(aby, aby + n);
    }
    std::vector<std::string> Signals() { return signals.TakePending(); }

    CRegisterBlock regs;
    CSignalQueue signals{[]() -> DBusConnection* { return nullptr; }};
    CRequestHandler handler{regs, signals};
};

std::string DataText(int iAddress, const std::vector<int>& values)
{
    std::string s =
        "[\n\t{\n\t\t\"address\": " + std::to_string(iAddress) + ",\n\t\t\"values\": \n\t\t[";
    for (size_t i = 0; i < values.size(); i++)
        s += "\n\t\t\t" + std::to_string(values[i]) + (i + 1 < values.size() ? "," : "");
    return s + "\n\t\t]\n\t}\n]";
}

} // namespace

TEST_F(Handler, ReadsAnswerTheModbusSideForFunctionsThreeAndFourAlike)
{
    // 9 "rw" and 10 "r" show the controller's values; 20 "w" and 30 "-" read 0.
    EXPECT_EQ(Ask({0x03, 0, 9, 0, 2}), Bytes({0x03, 4, 0, 109, 0, 110}));
    EXPECT_EQ(Ask({0x03, 0, 20, 0, 1}), Bytes({0x03, 2, 0, 0}));
    EXPECT_EQ(Ask({0x04, 0, 30, 0, 1}), Bytes({0x04, 2, 0, 0}));
    EXPECT_EQ(Ask({0x04, 0, 9, 0, 2}), Bytes({0x04, 4, 0, 109, 0, 110}));
    EXPECT_TRUE(Signals().empty()) << "events are off: reads raise nothing";
    handler.EnableEvents(true);
    Ask({0x03, 0, 5, 0, 3});
    auto texts = Signals();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0],
              "{\n\t\"mbread\": \n\t{\n\t\t\"address\": 5,\n\t\t\"length\": 3\n\t},\n\t\"type\": "
              "\"mbread\"\n}");
}

TEST_F(Handler, WritesFollowTheAccessRulesAndReportTheControllersView)
{
    // Registers 8..11 and 19..22 and 29..31: across every mode boundary.
    bool bException = true;
    EXPECT_EQ(Ask({0x10, 0, 8, 0, 4, 8, 0, 1, 0, 2, 0, 3, 0, 4}, &bException),
              Bytes({0x10, 0, 8, 0, 4}));
    EXPECT_FALSE(bException);
    // "rw" taken, "r" undone.
    EXPECT_EQ(regs.BackendValue(8), 1);
    EXPECT_EQ(regs.BackendValue(9), 2);
    EXPECT_EQ(regs.BackendValue(10), 110);
    EXPECT_EQ(regs.ModbusValue(10), 110);
    Ask({0x10, 0, 29, 0, 2, 4, 0, 5, 0, 6});
    // "w" taken (and kept on the Modbus side), "-" zeroed on both sides.
    EXPECT_EQ(regs.BackendValue(29), 5);
    EXPECT_EQ(regs.ModbusValue(29), 5);
    EXPECT_EQ(regs.BackendValue(30), 0);
    EXPECT_EQ(regs.ModbusValue(30), 0);
    // Function 6 and 22 (mask write) on a read-only register change nothing.
    Ask({0x06, 0, 11, 0x12, 0x34});
    Ask({0x16, 0, 12, 0x00, 0x00, 0xFF, 0xFF});
    EXPECT_EQ(regs.ModbusValue(11), 111);
    EXPECT_EQ(regs.ModbusValue(12), 112);
    // Mask write on "rw": (value & and) | (or & ~and).
    EXPECT_EQ(Ask({0x16, 0, 3, 0x00, 0xF2, 0x00, 0x25}),
              Bytes({0x16, 0, 3, 0x00, 0xF2, 0x00, 0x25}));
    EXPECT_EQ(regs.BackendValue(3), (103 & 0xF2) | (0x25 & ~0xF2));

    auto texts = Signals();
    ASSERT_EQ(texts.size(), 5u);
    EXPECT_EQ(texts[0], DataText(8, {1, 2, 110, 111}));
    EXPECT_EQ(texts[1], DataText(29, {5, 0}));
    EXPECT_EQ(texts[2], DataText(11, {111}));
}

TEST_F(Handler, WriteAndReadWritesFirstThenAnswersWhatTheRegistersHold)
{
    // Write 9..10 (10 is "r"), read 8..11.
    EXPECT_EQ(Ask({0x17, 0, 8, 0, 4, 0, 9, 0, 2, 4, 0, 7, 0, 8}),
              Bytes({0x17, 8, 0, 108, 0, 7, 0, 110, 0, 111}));
    EXPECT_EQ(regs.BackendValue(9), 7);
}

TEST_F(Handler, BitsAreWrittenAndReadPackedAndReportServerIdAnswersAsLibmodbus)
{
    EXPECT_EQ(Ask({0x05, 0, 3, 0xFF, 0x00}), Bytes({0x05, 0, 3, 0xFF, 0x00}));
    EXPECT_EQ(Ask({0x0F, 0, 8, 0, 3, 1, 0x05}), Bytes({0x0F, 0, 8, 0, 3}));
    EXPECT_EQ(Ask({0x01, 0, 0, 0, 16}), Bytes({0x01, 2, 0x08, 0x05}));
    EXPECT_EQ(Ask({0x02, 0, 3, 0, 1}), Bytes({0x02, 1, 0x01}));
    const std::string sIdent = std::string("LMB") + LIBMODBUS_VERSION_STRING;
    Bytes expected = {0x11, static_cast<uint8_t>(2 + sIdent.size()), 180, 0xFF};
    expected.insert(expected.end(), sIdent.begin(), sIdent.end());
    EXPECT_EQ(Ask({0x11}), expected);
}

TEST_F(Handler, RefusedRequestsGetTheStandardExceptionAndChangeNothing)
{
    struct Case {
        Bytes pdu;
        int iCode;
    } cases[] = {
        {{0x08, 0, 0, 0x12, 0x34}, 1},                       // diagnostics: not served
        {{0x2B, 0x0E, 1, 0}, 1},                             // encapsulated transport
        {{0x0F, 0, 0, 0, 0, 0}, 3},                          // write of no coil
        {{0x10, 0, 0, 0, 0, 0}, 3},                          // write of no register
        {{0x10, 0, 0, 0, 1, 2, 0}, 3},                       // byte count without data
        {{0x03, 0, 0, 0, 126}, 3},                           // more than 125 registers
        {{0x05, 0, 0, 0x12, 0x34}, 3},                       // coil value not 0 / 0xFF00
        {{0x03, 0, 39, 0, 2}, 2},                            // past the block's end
        {{0x06, 0, 40, 0, 1}, 2},                            // just past it
        {{0x01, 0, 16, 0, 1}, 2},                            // beyond the 16 coils
        {{0x17, 0, 0, 0, 1, 0, 39, 0, 2, 4, 0, 1, 0, 2}, 2}, // its write past the end
    };
    for (const Case& c : cases) {
        bool bException = false;
        Bytes answer = Ask(c.pdu, &bException);
        EXPECT_TRUE(bException);
        EXPECT_EQ(answer,
                  Bytes({static_cast<uint8_t>(c.pdu[0] | 0x80), static_cast<uint8_t>(c.iCode)}))
            << "function " << int(c.pdu[0]);
    }
    for (int a = 0; a < 40; a++) {
        const int iExpected = (a >= 20) ? 0 : 100 + a;
        EXPECT_EQ(regs.ModbusValue(a), iExpected) << a;
        EXPECT_EQ(regs.BackendValue(a), a >= 30 ? 130 + (a - 30) : 100 + a) << a;
    }
    // Bit 7 set already stays set; an empty PDU is not answered at all.
    EXPECT_EQ(Ask({0x83}), Bytes({0x83, 1}));
    EXPECT_EQ(Ask({}), Bytes());
}

// Quantities just past each function's largest, with a byte count and data
// that match them, so only the quantity is wrong: exception 03, not 02 for
// the block they would pass, and nothing written.
TEST_F(Handler, QuantitiesPastTheLargestGetException03EvenWhenTheByteCountMatches)
{
    auto writeRead = [](int iRead, int iWrite) {
        Bytes pdu = {0x17,
                     0,
                     0,
                     0,
                     static_cast<uint8_t>(iRead),
                     0,
                     0,
                     0,
                     static_cast<uint8_t>(iWrite),
                     static_cast<uint8_t>(2 * iWrite)};
        pdu.resize(pdu.size() + 2 * iWrite, 0x55);
        return pdu;
    };
    auto writeMany = [](int iQuantity) {
        Bytes pdu = {
            0x10, 0, 0, 0, static_cast<uint8_t>(iQuantity), static_cast<uint8_t>(2 * iQuantity)};
        pdu.resize(pdu.size() + 2 * iQuantity, 0x55);
        return pdu;
    };
    std::vector<Bytes> requests;
    for (int iWrite = 122; iWrite <= 127; iWrite++)
        requests.push_back(writeRead(1, iWrite));
    requests.push_back(writeRead(126, 1)); // reads more than 125
    requests.push_back(writeMany(124));    // function 16: more than 123
    for (const Bytes& pdu : requests) {
        bool bException = false;
        EXPECT_EQ(Ask(pdu, &bException), Bytes({static_cast<uint8_t>(pdu[0] | 0x80), 3}))
            << "function " << int(pdu[0]) << ", " << pdu.size() << " bytes";
        EXPECT_TRUE(bException);
    }
    for (int a = 0; a < 10; a++)
        EXPECT_EQ(regs.ModbusValue(a), 100 + a) << a;
    // The largest write of function 23 passes the quantity check: what is
    // left is the block's end (40 registers here), exception 02.
    EXPECT_EQ(Ask(writeRead(1, 121)), Bytes({0x97, 2}));
}

// The rights of a master are decided per request before anything runs: a
// refused write is answered with the permit's exception and changes no
// register; a request that fails its checks never reaches the permit.
TEST_F(Handler, APermitSeesWhatEachRequestReachesAndItsRefusalChangesNothing)
{
    struct ReadOnlyPermit : CRequestPermit {
        int Permit(const MbRequest_t&, const MbReach_t& reach) const override
        {
            seen.push_back(reach);
            return reach.bWrite ? 1 : 0;
        }
        mutable std::vector<MbReach_t> seen;
    } permit;
    auto ask = [&](const Bytes& pdu) {
        MbRequest_t request;
        request.iUnit = 1;
        request.pPdu = pdu.data();
        request.iPduLen = static_cast<int>(pdu.size());
        request.iAduLen = request.iPduLen + 7;
        uint8_t aby[MB_MAX_ANSWER_PDU];
        bool bException = false;
        int n = handler.Handle(request, aby, bException, &permit);
        EXPECT_EQ(bException, n == 2 && (aby[0] & 0x80) != 0);
        return Bytes(aby, aby + n);
    };

    EXPECT_EQ(ask({0x03, 0, 8, 0, 2}), Bytes({0x03, 4, 0, 108, 0, 109}));
    EXPECT_EQ(ask({0x10, 0, 8, 0, 2, 4, 0, 1, 0, 2}), Bytes({0x90, 1}));
    EXPECT_EQ(ask({0x06, 0, 9, 0, 7}), Bytes({0x86, 1}));
    EXPECT_EQ(ask({0x16, 0, 9, 0, 0, 0, 7}), Bytes({0x96, 1}));
    EXPECT_EQ(ask({0x17, 0, 8, 0, 1, 0, 9, 0, 1, 2, 0, 7}), Bytes({0x97, 1}));
    EXPECT_EQ(ask({0x0F, 0, 0, 0, 3, 1, 0x07}), Bytes({0x8F, 1}));
    EXPECT_EQ(ask({0x11}).size(), 4 + std::string("LMB" LIBMODBUS_VERSION_STRING).size());
    // Malformed or out of the block: the checks answer, the permit is not asked.
    EXPECT_EQ(ask({0x10, 0, 8, 0, 2, 4, 0, 1}), Bytes({0x90, 3}));
    EXPECT_EQ(ask({0x03, 0, 39, 0, 2}), Bytes({0x83, 2}));
    EXPECT_EQ(ask({0x08, 0, 0, 0, 0}), Bytes({0x88, 1}));

    for (int a = 0; a < 40; a++) {
        EXPECT_EQ(regs.ModbusValue(a), a >= 20 ? 0 : 100 + a) << a;
        EXPECT_EQ(regs.BackendValue(a), 100 + a) << a;
    }
    ASSERT_EQ(permit.seen.size(), 7u);
    struct Expected {
        int iFunction;
        MbTable_t eTable;
        bool bRead;
        MbSpan_t read;
        bool bWrite;
        MbSpan_t write;
    } expected[] = {
        {0x03, MB_TABLE_REGISTERS, true, {8, 2}, false, {}},
        {0x10, MB_TABLE_REGISTERS, false, {}, true, {8, 2}},
        {0x06, MB_TABLE_REGISTERS, false, {}, true, {9, 1}},
        {0x16, MB_TABLE_REGISTERS, false, {}, true, {9, 1}},
        {0x17, MB_TABLE_REGISTERS, true, {8, 1}, true, {9, 1}},
        {0x0F, MB_TABLE_BITS, false, {}, true, {0, 3}},
        {0x11, MB_TABLE_NONE, false, {}, false, {}},
    };
    for (size_t i = 0; i < permit.seen.size(); i++) {
        const MbReach_t& r = permit.seen[i];
        const Expected& e = expected[i];
        EXPECT_EQ(r.iFunction, e.iFunction) << i;
        EXPECT_EQ(r.eTable, e.eTable) << i;
        EXPECT_EQ(r.bRead, e.bRead) << i;
        EXPECT_EQ(r.bWrite, e.bWrite) << i;
        if (e.bRead) {
            EXPECT_EQ(r.read.iAddress, e.read.iAddress) << i;
            EXPECT_EQ(r.read.iQuantity, e.read.iQuantity) << i;
        }
        if (e.bWrite) {
            EXPECT_EQ(r.write.iAddress, e.write.iAddress) << i;
            EXPECT_EQ(r.write.iQuantity, e.write.iQuantity) << i;
        }
    }
    // The refused register writes are reported with the controller's values
    // (nothing was taken), as any refused write is.
    auto texts = Signals();
    ASSERT_EQ(texts.size(), 5u);
    EXPECT_EQ(texts[0], DataText(8, {108, 109}));
    EXPECT_EQ(texts[1], DataText(9, {109}));
    EXPECT_EQ(texts[3], DataText(9, {109}));
    EXPECT_EQ(texts[4], DataText(8, {108, 109}));
}
