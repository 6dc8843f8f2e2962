// Header timestamps and UTC texts past January 2038, when a signed 32-bit
// time_t runs out: the unit is a 32-bit board that will still be in service.
#include "tup.h"

#include <gtest/gtest.h>

#include <ctime>

using namespace tup;

namespace
{
constexpr int64_t kLast32 = 2147483647; // 2038-01-19T03:14:07Z
constexpr int64_t kY2100 = 4102444800;  // 2100-01-01T00:00:00Z
constexpr int64_t kWrap = 4294967296;   // 2106-02-07T06:28:16Z
} // namespace

TEST(HeaderTime, SecondsAfter2038FillTheUnsignedFieldAndWrapIn2106)
{
    EXPECT_EQ(timestampFromSeconds(1700000000), 1700000000u);
    EXPECT_EQ(timestampFromSeconds(kLast32), 0x7FFFFFFFu);
    EXPECT_EQ(timestampFromSeconds(kLast32 + 1), 0x80000000u);
    EXPECT_EQ(timestampFromSeconds(kY2100), 4102444800u);
    EXPECT_EQ(timestampFromSeconds(kWrap - 1), 0xFFFFFFFFu);
    EXPECT_EQ(timestampFromSeconds(kWrap + 5), 5u);

    // A frame stamped after 2038 passes the receiver's checks with its time whole.
    for (uint32_t stamp : {0x80000000u, 4102444800u, 0xFFFFFFFFu}) {
        FrameBuilder b;
        b.setSeqno(1);
        b.setTimestamp(stamp);
        b.addGpioState({});
        const std::vector<uint8_t> f = b.build();
        const frame_check_s c = checkFrame(f.data(), f.size(), "10.0.0.1", link_state_s{});
        ASSERT_TRUE(c.accepted()) << stamp;
        EXPECT_EQ(c.header.timestamp, stamp);
    }
}

TEST(HeaderTime, UtcTextOfMomentsAfter2038)
{
    // The C library's time_t must hold them (64-bit time on 32-bit targets).
    EXPECT_GE(sizeof(std::time_t), 8u);
    EXPECT_EQ(isoUtcText(0, 0), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(isoUtcText(kLast32, 999), "2038-01-19T03:14:07.999Z");
    EXPECT_EQ(isoUtcText(kLast32 + 1, 0), "2038-01-19T03:14:08.000Z");
    EXPECT_EQ(isoUtcText(kY2100, 5), "2100-01-01T00:00:00.005Z");
    EXPECT_EQ(isoUtcText(kWrap, 0), "2106-02-07T06:28:16.000Z");
}

TEST(HeaderTime, NowComesFromTheRealClock)
{
    const int64_t before = static_cast<int64_t>(std::time(nullptr));
    const uint32_t stamp = timestampNow();
    const std::string text = isoUtcNow();
    const int64_t after = static_cast<int64_t>(std::time(nullptr));
    EXPECT_GE(stamp, timestampFromSeconds(before));
    EXPECT_LE(stamp, timestampFromSeconds(after));
    // Same second as isoUtcText of the clock (or the next one).
    const std::string lo = isoUtcText(before, 0), hi = isoUtcText(after + 1, 0);
    ASSERT_EQ(text.size(), lo.size()) << text;
    EXPECT_GE(text.substr(0, 19), lo.substr(0, 19));
    EXPECT_LE(text.substr(0, 19), hi.substr(0, 19));
}
