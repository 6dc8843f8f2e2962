#include "tup.h"

#include <gtest/gtest.h>

#include <memory>

using namespace tup;

namespace
{

struct Walk {
    std::vector<std::string> log;
    std::vector<std::pair<section_view_s, SectionOutcome>> sections;
    size_t visited = 0;
};

// Walks a copy of the frame held in a buffer of exactly its size, decoding
// with the library's decoders.
Walk walk(const std::vector<uint8_t>& datagram)
{
    Walk w;
    const size_t n = datagram.size() - 2;
    std::unique_ptr<uint8_t[]> exact(new uint8_t[n]);
    std::copy(datagram.begin(), datagram.begin() + n, exact.get());
    w.visited = walkSections(
        exact.get(), n,
        [](const section_view_s& s) {
            devinfo_s d;
            gpiostate_s g;
            std::vector<core_tmp> items;
            switch (s.type) {
            case SECT_DEVINFO:
                return decodeDevInfo(s.bytes, s.size, d) == DecodeStatus::Ok;
            case SECT_GPIOSTATE:
                return decodeGpioState(s.bytes, s.size, g) == DecodeStatus::Ok;
            case SECT_CORE:
                return decodeCore(s.bytes, s.size, items) == DecodeStatus::Ok;
            }
            return false;
        },
        [&](const std::string& l) { w.log.push_back(l); },
        [&](const section_view_s& s, SectionOutcome o) {
            w.sections.push_back({s, o});
        });
    return w;
}

FrameBuilder base()
{
    FrameBuilder b;
    b.setSeqno(1);
    b.setTimestamp(1);
    return b;
}

} // namespace

TEST(SectionWalk, UnknownTypeIsSkippedAndTheFrameStillWalked)
{
    auto b = base();
    b.addRawSection(0x55, {1, 2, 3, 4});
    auto w = walk(b.build());
    EXPECT_EQ(w.log,
              (std::vector<std::string>{"Unknown section type. Skip section", "Decode error"}));
    ASSERT_EQ(w.sections.size(), 1u);
    EXPECT_EQ(w.sections[0].second, SectionOutcome::Unknown);
}

TEST(SectionWalk, DevInfoOfLength30AdvancesBy34)
{
    auto b = base();
    std::vector<uint8_t> payload(26, 0);
    b.addRawSection(SECT_DEVINFO, payload); // length 30
    b.addRawSection(0x55, {});              // 4 bytes, lands at +30
    b.addGpioState({});                     // lands at +34 ... +42
    b.forceSectCount(2);
    auto f = b.build();
    auto w = walk(f);
    ASSERT_GE(w.sections.size(), 2u);
    EXPECT_EQ(w.log[0], "DevInfo section length mismatch (28)");
    EXPECT_EQ(w.log[1], "Decode error");
    EXPECT_EQ(w.sections[0].second, SectionOutcome::DecodeFailed);
    EXPECT_EQ(w.sections[0].first.size, 34u);
    EXPECT_EQ(w.sections[1].first.offset, 16u + 34u);
    EXPECT_EQ(w.sections[1].first.type, SECT_GPIOSTATE);
    EXPECT_EQ(w.sections[1].second, SectionOutcome::Decoded);
}

TEST(SectionWalk, EverythingFollowsInOrderAndCoreTakesTheRest)
{
    auto b = base();
    b.addGpioState({});
    b.addDevInfo({});
    core_tmp it;
    it.baData = {1, 2, 3, 4};
    it.datalen = 4;
    b.addCore({it, it});
    auto w = walk(b.build());
    EXPECT_TRUE(w.log.empty());
    ASSERT_EQ(w.sections.size(), 3u);
    for (auto& s : w.sections)
        EXPECT_EQ(s.second, SectionOutcome::Decoded);
    EXPECT_EQ(w.sections[2].first.offset, 16u + 8 + 28);
    EXPECT_EQ(w.sections[2].first.size, 4u + 24);
}

TEST(SectionWalk, SectionLongerThanThePayloadIsSkipped)
{
    auto b = base();
    b.addRawSection(SECT_GPIOSTATE, {0, 0, 0, 0}, uint16_t{200});
    auto w = walk(b.build());
    EXPECT_EQ(w.log[0], "Section length exceed frame length. Skip section");
    ASSERT_EQ(w.sections.size(), 1u);
    EXPECT_EQ(w.sections[0].second, SectionOutcome::Skipped);
}

TEST(SectionWalk, MoreSectionsAnnouncedThanPresentStopsWithoutWrapping)
{
    auto b = base();
    b.addGpioState({});
    b.forceSectCount(500);
    auto w = walk(b.build());
    EXPECT_EQ(w.visited, 1u);
    EXPECT_EQ(w.log.back(), "Payload too short. Drop remaining bytes");

    // An unknown section whose +4 step overshoots the payload ends the walk
    // instead of wrapping the remainder and reading past the datagram.
    auto c = base();
    c.addRawSection(0x77, {9, 9, 9, 9}, uint16_t{6});
    c.forceSectCount(300);
    auto w2 = walk(c.build());
    EXPECT_EQ(w2.visited, 1u);
    EXPECT_EQ(w2.log.back(), "Payload too short. Drop remaining bytes");
}

TEST(SectionWalk, SectionOffsetBeyondTheStandardHeaderStaysInsideTheFrame)
{
    // sect_offset 20 moves the first section 6 bytes later; the payload the
    // header announces would then end 6 bytes beyond the datagram.
    auto b = base();
    for (int i = 0; i < 3; ++i)
        b.addRawSection(0x55, {});
    b.addCore({});
    b.forceSectOffset(20);
    auto w = walk(b.build());
    ASSERT_FALSE(w.sections.empty());
    for (auto& s : w.sections) {
        EXPECT_LE(s.first.offset + std::max<size_t>(s.first.size, 4), 16u + 16u);
    }
    EXPECT_EQ(w.log.back(), "Payload too short. Drop remaining bytes");

    // sect_offset 8 makes the sections overlap seqno and timestamp: the walk
    // reads them as sections but still ends inside the frame.
    auto c = base();
    c.addGpioState({});
    c.forceSectOffset(8);
    auto w2 = walk(c.build());
    EXPECT_EQ(w2.sections.front().first.offset, 10u);
}

TEST(SectionWalk, CoreThatIsNotLastFailsToDecode)
{
    auto b = base();
    b.addCore({});
    b.addGpioState({});
    auto w = walk(b.build());
    ASSERT_EQ(w.sections.size(), 1u) << "Core consumes the rest of the payload";
    EXPECT_EQ(w.sections[0].second, SectionOutcome::DecodeFailed);
    EXPECT_EQ(w.log.back(), "Payload too short. Drop remaining bytes");
}
