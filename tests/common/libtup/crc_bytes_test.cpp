#include "tup.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace tup;

namespace
{
uint16_t crcOf(const char* s)
{
    return crc16(TUP_POLY, TUP_CRC_INIT, reinterpret_cast<const uint8_t*>(s), std::strlen(s));
}
} // namespace

TEST(Crc16, KnownCheckValues)
{
    EXPECT_EQ(crcOf("123456789"), 0x2189);
    EXPECT_EQ(crcOf("abc"), 0x58E9);
    EXPECT_EQ(crcOf(""), 0);
    EXPECT_EQ(crc16(TUP_POLY, TUP_CRC_INIT, nullptr, 10), 0);
    // A single flipped bit changes the value.
    EXPECT_NE(crcOf("123456788"), 0x2189);
}

TEST(Crc16, LongInputIsNotCutAt16Bits)
{
    std::vector<uint8_t> big(70000, 0x5A);
    std::vector<uint8_t> cut(big.begin(), big.begin() + (70000 & 0xFFFF));
    EXPECT_NE(crc16(TUP_POLY, 0, big.data(), big.size()),
              crc16(TUP_POLY, 0, cut.data(), cut.size()));
}

TEST(Addresses, IptointPutsFirstOctetFirstOnTheWire)
{
    uint32_t v = 0;
    ASSERT_TRUE(iptoint("10.0.0.1", v));
    EXPECT_EQ(v, 0x0100000Au);
    ASSERT_TRUE(iptoint("192.168.10.1", v));
    std::vector<uint8_t> wire;
    putU32(wire, v);
    EXPECT_EQ(wire, (std::vector<uint8_t>{0xC0, 0xA8, 0x0A, 0x01}));
    uint32_t host = 0;
    ASSERT_TRUE(readIPv4(wire.data(), wire.size(), 0, host));
    EXPECT_EQ(ipv4Text(host), "192.168.10.1");
}

TEST(Addresses, RejectsMalformedDottedText)
{
    uint32_t v = 77;
    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.0.0.1", "1..2.3", "a.b.c.d", "1.2.3.4 ",
                            "-1.2.3.4", "1234.1.1.1"}) {
        EXPECT_FALSE(iptoint(bad, v)) << bad;
        EXPECT_FALSE(parseIPv4(bad, v)) << bad;
    }
    EXPECT_EQ(v, 77u);
    ASSERT_TRUE(parseIPv4("255.255.255.0", v));
    EXPECT_EQ(v, 0xFFFFFF00u);
    EXPECT_EQ(ipv4Text(0), "0.0.0.0");
}

TEST(Readers, NeverReadPastTheGivenSize)
{
    const uint8_t b[] = {0x34, 0x12, 0x78, 0x56, 'e', 'n'};
    uint16_t v16 = 0;
    uint32_t v32 = 0;
    uint8_t v8 = 0;
    EXPECT_TRUE(readU16(b, sizeof b, 0, v16));
    EXPECT_EQ(v16, 0x1234);
    EXPECT_TRUE(readU32(b, sizeof b, 0, v32));
    EXPECT_EQ(v32, 0x56781234u);
    EXPECT_FALSE(readU16(b, sizeof b, 5, v16));
    EXPECT_FALSE(readU32(b, sizeof b, 3, v32));
    EXPECT_FALSE(readU32(b, sizeof b, SIZE_MAX - 1, v32)); // no offset overflow
    EXPECT_FALSE(readU8(b, sizeof b, 6, v8));
    std::string s;
    EXPECT_FALSE(readText(b, sizeof b, 4, 8, s));
    EXPECT_TRUE(readText(b, sizeof b, 4, 2, s));
    EXPECT_EQ(s, "en");
}

TEST(Hex, ParsesAndPrints)
{
    std::vector<uint8_t> out;
    ASSERT_TRUE(parseHex("0x0aFF10", out));
    EXPECT_EQ(out, (std::vector<uint8_t>{0x0A, 0xFF, 0x10}));
    ASSERT_TRUE(parseHex("01 02:03-04", out));
    EXPECT_EQ(hexText(out.data(), out.size()), "01020304");
    EXPECT_FALSE(parseHex("123", out));
    EXPECT_FALSE(parseHex("1 23", out));
    EXPECT_FALSE(parseHex("zz", out));
    ASSERT_TRUE(parseHex("", out));
    EXPECT_TRUE(out.empty());
}

TEST(SnmpCodes, TextsBothWays)
{
    EXPECT_STREQ(snmpVersionText(1), "V1");
    EXPECT_STREQ(snmpVersionText(5), "V3PRIV");
    EXPECT_STREQ(snmpVersionText(0), "UNDEF");
    EXPECT_STREQ(snmpVersionText(6), "UNDEF");
    EXPECT_STREQ(snmpHashText(2), "SHA");
    EXPECT_STREQ(snmpHashText(3), "UNDEF");
    EXPECT_STREQ(snmpCipherText(2), "AES");
    EXPECT_STREQ(snmpCipherText(255), "UNDEF");
    for (uint8_t c = 0; c <= 5; ++c) {
        uint8_t back = 99;
        ASSERT_TRUE(snmpVersionCode(snmpVersionText(c), back));
        EXPECT_EQ(back, c);
    }
    uint8_t code = 9;
    EXPECT_TRUE(snmpHashCode("MD5", code));
    EXPECT_EQ(code, 1);
    EXPECT_TRUE(snmpCipherCode("DES", code));
    EXPECT_EQ(code, 1);
    EXPECT_FALSE(snmpHashCode("md5", code));
    EXPECT_FALSE(snmpVersionCode("V4", code));
}
