#include "tup.h"

#include <gtest/gtest.h>

using namespace tup;

namespace
{

std::vector<uint8_t> goodFrame(uint32_t seqno, uint32_t timestamp = 1700000000)
{
    FrameBuilder b;
    b.setSeqno(seqno);
    b.setTimestamp(timestamp);
    b.addGpioState({});
    return b.build();
}

// Rewrites the checksum so that only the field under test is wrong.
void reseal(std::vector<uint8_t>& f)
{
    const uint16_t c = crc16(TUP_POLY, 0, f.data(), f.size() - 2);
    f[f.size() - 2] = c & 0xFF;
    f[f.size() - 1] = c >> 8;
}

frame_check_s check(const std::vector<uint8_t>& f, const link_state_s& st = {},
                    const std::string& sender = "192.168.1.10")
{
    return checkFrame(f.data(), f.size(), sender, st);
}

} // namespace

TEST(FrameCheck, AcceptsAGoodFrameAndAttachesItsSender)
{
    link_state_s st;
    auto f = goodFrame(5);
    auto c = check(f, st);
    ASSERT_TRUE(c.accepted());
    EXPECT_TRUE(c.log.empty());
    EXPECT_EQ(c.frameSize, f.size() - 2);
    EXPECT_EQ(c.header.seqno, 5u);
    EXPECT_EQ(c.header.sect_count, 1);
    EXPECT_FALSE(st.hasPacketSender) << "checking alone must not change the state";
    EXPECT_TRUE(acceptFrame(st, "192.168.1.10", c));
    EXPECT_TRUE(st.hasPacketSender);
    EXPECT_EQ(st.packetSender, "192.168.1.10");
    EXPECT_EQ(st.lastSeqno, 5u);
    auto c2 = check(goodFrame(6), st);
    EXPECT_FALSE(acceptFrame(st, "192.168.1.10", c2)) << "not a first contact";
}

TEST(FrameCheck, EachCheckDropsWithTheReceiverMessage)
{
    {
        auto f = goodFrame(1);
        f[0] = 0xCD;
        auto c = check(f);
        EXPECT_EQ(c.failed, CHECK_MAGIC);
        EXPECT_EQ(c.log, std::vector<std::string>{"Not a TUP magic number. Drop frame"});
    }
    {
        link_state_s st;
        st.hasPacketSender = true;
        st.packetSender = "192.168.1.10";
        auto c = check(goodFrame(1), st, "192.168.1.11");
        EXPECT_EQ(c.failed, CHECK_SENDER);
        EXPECT_EQ(c.log[0], "Packet received from an unknown sender (192.168.1.11, attended "
                            "192.168.1.10)");
    }
    {
        auto f = goodFrame(1);
        const uint16_t good = crc16(TUP_POLY, 0, f.data(), f.size() - 2);
        f[f.size() - 2] = 0x0F;
        f[f.size() - 1] = 0x00;
        auto c = check(f);
        EXPECT_EQ(c.failed, CHECK_CHECKSUM);
        char want[80];
        std::snprintf(want, sizeof want, "Invalid checksum (0xf != 0x%x). Drop frame", good);
        EXPECT_EQ(c.log[0], want);
    }
    {
        auto f = goodFrame(1);
        f[1] = 2;
        reseal(f);
        auto c = check(f);
        EXPECT_EQ(c.failed, CHECK_VERSION);
        EXPECT_EQ(c.log[0], "Unknown TUP version");
    }
    {
        auto f = goodFrame(1);
        f[2] += 1; // checksum right, length off by one
        reseal(f);
        auto c = check(f);
        EXPECT_EQ(c.failed, CHECK_LENGTH);
        EXPECT_EQ(c.log, (std::vector<std::string>{"Payload length mismatch. Drop frame", "23"}));
    }
    {
        auto f = goodFrame(1, 0);
        auto c = check(f);
        EXPECT_EQ(c.failed, CHECK_TIMESTAMP);
        EXPECT_EQ(c.log[0], "Out of the continuum. Drop frame");
    }
}

TEST(FrameCheck, SectionOffsetBounds)
{
    auto f = goodFrame(1);
    f[4] = 7;
    reseal(f);
    auto c = check(f);
    EXPECT_EQ(c.failed, CHECK_SECT_OFFSET);
    EXPECT_EQ(c.log, (std::vector<std::string>{"Section offset out of range. Drop frame", "7 < 8",
                                               "7 > 22"}));
    f[4] = 8;
    reseal(f);
    EXPECT_TRUE(check(f).accepted());
    f[4] = 22;
    reseal(f);
    EXPECT_TRUE(check(f).accepted());
    f[4] = 23;
    reseal(f);
    EXPECT_EQ(check(f).failed, CHECK_SECT_OFFSET);
}

TEST(FrameCheck, SectionCountZero)
{
    FrameBuilder b;
    b.setSeqno(1);
    b.setTimestamp(1);
    auto c = check(b.build());
    EXPECT_EQ(c.failed, CHECK_SECT_COUNT);
    EXPECT_EQ(c.log, (std::vector<std::string>{
                         "Section count mismatch section payload length. Drop frame", "0 : 14"}));

    // length 8 only passes the length check in a 12-byte datagram
    std::vector<uint8_t> tiny{0xCE, 1, 8, 0, 8, 0, 0, 0, 1, 0, 0, 0};
    reseal(tiny);
    c = check(tiny);
    EXPECT_EQ(c.failed, CHECK_SECT_COUNT);
    EXPECT_EQ(c.log, (std::vector<std::string>{"No section to process. Drop frame", "0"}));
}

TEST(FrameCheck, SequenceNumbers)
{
    link_state_s st;
    auto zero = check(goodFrame(0), st);
    EXPECT_EQ(zero.failed, CHECK_SEQUENCE) << "seqno 0 right after start repeats lastSeqno 0";
    EXPECT_EQ(zero.log, (std::vector<std::string>{"Repeated packet. Drop frame", "(0 = 0)"}));

    auto f9 = goodFrame(9);
    ASSERT_TRUE(acceptFrame(st, "192.168.1.10", check(f9, st)));
    auto again = check(f9, st);
    EXPECT_EQ(again.failed, CHECK_SEQUENCE);
    EXPECT_EQ(st.lastSeqno, 9u);

    auto back = check(goodFrame(5), st);
    ASSERT_TRUE(back.accepted());
    EXPECT_TRUE(back.backInSequence);
    EXPECT_EQ(back.log, (std::vector<std::string>{
                            "Back in the sequence, probable reboot of the KxP", "(5 < 9)"}));
    auto jump = check(goodFrame(100), st);
    EXPECT_TRUE(jump.accepted());
    EXPECT_TRUE(jump.log.empty());

    detachSender(st);
    EXPECT_FALSE(st.hasPacketSender);
    EXPECT_EQ(st.lastSeqno, 0u);
    auto other = check(goodFrame(3), st, "192.168.1.11");
    EXPECT_TRUE(other.accepted()) << "after the watchdog, any sender may attach";
}

TEST(FrameCheck, ShortDatagramsNeverReadPastTheEnd)
{
    // Every prefix of a valid frame, each in a buffer of exactly its size.
    auto f = goodFrame(1);
    for (size_t n = 0; n < f.size(); ++n) {
        std::vector<uint8_t> cut(f.begin(), f.begin() + n);
        auto c = checkFrame(cut.empty() ? nullptr : cut.data(), cut.size(), "a", {});
        EXPECT_FALSE(c.accepted()) << n;
    }
    // Two bytes are all checksum: the CRC of nothing (0) never matches them.
    std::vector<uint8_t> two{0xCE, 0x01};
    auto c2 = check(two);
    EXPECT_EQ(c2.failed, CHECK_CHECKSUM);
    ASSERT_EQ(c2.log.size(), 1u);
    EXPECT_EQ(c2.log[0], "Invalid checksum (0x1ce != 0x0). Drop frame");
    // A frame whose header is cut after sect_count, with a valid checksum.
    std::vector<uint8_t> shortHdr{0xCE, 1, 10, 0, 8, 0, 1, 0, 1, 0, 0, 0, 0, 0};
    reseal(shortHdr);
    auto c = check(shortHdr);
    EXPECT_EQ(c.failed, CHECK_TIMESTAMP);
    EXPECT_EQ(c.log[0], "Frame too short. Drop frame");
    EXPECT_FALSE(c.headerPresent);
    EXPECT_STREQ(checkName(c.failed), "timestamp");
}
