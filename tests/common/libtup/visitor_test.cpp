// The section visitor: which handler each section reaches, with what, and
// in which order relative to the walk's own lines.
#include "tup.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>

using namespace tup;

namespace
{

// Records every call as one line ("devinfo 0", "error 1 unknown ok",
// "log Decode error", "done 1") and keeps the records it was handed.
class Recorder : public SectionVisitor
{
public:
    std::vector<std::string> calls;
    std::vector<devinfo_s> dev;
    std::vector<gpiostate_s> gpio;
    std::vector<netcfg_s> net;
    std::vector<snmpcfg_s> snmp;
    std::vector<modbuscfg_s> mb;
    std::vector<std::vector<core_tmp>> core;
    std::vector<std::vector<core_tmp>> truncatedOffered;
    bool keepTruncatedCore = false;

    void onDevInfo(const section_view_s& s, const devinfo_s& r) override
    {
        call("devinfo", s);
        dev.push_back(r);
    }
    void onGpioState(const section_view_s& s, const gpiostate_s& r) override
    {
        call("gpiostate", s);
        gpio.push_back(r);
    }
    void onNetCfg(const section_view_s& s, const netcfg_s& r) override
    {
        call("netcfg", s);
        net.push_back(r);
    }
    void onSnmpCfg(const section_view_s& s, const snmpcfg_s& r) override
    {
        call("snmpcfg", s);
        snmp.push_back(r);
    }
    void onModbusCfg(const section_view_s& s, const modbuscfg_s& r) override
    {
        call("modbuscfg", s);
        mb.push_back(r);
    }
    void onCore(const section_view_s& s, const std::vector<core_tmp>& items) override
    {
        call("core", s);
        core.push_back(items);
    }
    bool acceptTruncatedCore(const section_view_s& s,
                             const std::vector<core_tmp>& itemsBefore) override
    {
        call("truncated", s);
        truncatedOffered.push_back(itemsBefore);
        return keepTruncatedCore;
    }
    void onSectionError(const section_view_s& s, SectionOutcome outcome,
                        DecodeStatus status) override
    {
        static const char* outcomes[] = {"decoded", "failed", "skipped", "unknown"};
        calls.push_back("error " + std::to_string(s.index) + " " +
                        outcomes[static_cast<int>(outcome)] + " " + decodeStatusText(status));
    }
    void onLog(const std::string& line) override { calls.push_back("log " + line); }
    void onSectionDone(const section_view_s& s, SectionOutcome) override
    {
        call("done", s);
        doneNotes.push_back(s.notes);
    }
    std::vector<std::vector<std::string>> doneNotes;

private:
    void call(const std::string& what, const section_view_s& s)
    {
        calls.push_back(what + " " + std::to_string(s.index));
    }
};

FrameBuilder base()
{
    FrameBuilder b;
    b.setSeqno(7);
    b.setTimestamp(1700000000);
    return b;
}

// Visits the frame (without its checksum) from a buffer of exactly its
// size, so a read beyond it is caught by the sanitizer builds.
size_t visit(const std::vector<uint8_t>& datagram, SectionVisitor& v)
{
    const size_t n = datagram.size() - TUP_CRC_SIZE;
    std::unique_ptr<uint8_t[]> exact(new uint8_t[n]);
    std::copy(datagram.begin(), datagram.begin() + n, exact.get());
    return visitSections(exact.get(), n, v);
}

core_tmp item(uint16_t cls, uint8_t inst, std::vector<uint8_t> msbFirst)
{
    core_tmp c;
    c.ci_class = cls;
    c.ci_field = static_cast<uint16_t>(cls + 1);
    c.instance = inst;
    c.ci_type = 9;
    c.datalen = static_cast<uint16_t>(msbFirst.size());
    c.baData = std::move(msbFirst);
    return c;
}

using Calls = std::vector<std::string>;

} // namespace

TEST(SectionVisitor, EveryKindReachesItsHandlerWithItsValuesInFrameOrder)
{
    devinfo_s d;
    d.type = 1;
    d.hwmajor = 2;
    d.hwminor = 3;
    d.swmajor = 4;
    d.swminor = 5;
    d.swbuild = 0x1234;
    d.serial = 0xDEADBEEF;
    d.lang = "pt-br";
    gpiostate_s g1{1, 2, 3, 0}, g2{0, 0, 3, 1};
    netcfg_s n;
    n.tessal = true;
    n.ip = 0xC0A80A01;
    n.mask = 0xFFFFFF00;
    n.gateway = 0xC0A80AFE;
    n.dns1 = 0x08080808;
    n.dns2 = 0x01010101;
    snmpcfg_s s;
    s.version = 5;
    s.priv_hash = 2;
    s.cli_mode = 4;
    s.ro_user = "public";
    s.cli_key = std::string(32, 'k');
    s.port = 1161;
    s.trap_addr3 = 0x0A000003;
    modbuscfg_s m;
    m.tcp_status = true;
    m.tcp_port = 1502;
    const std::vector<core_tmp> items = {item(10, 1, {0x41, 0x20, 0, 0}), item(11, 2, {})};

    auto b = base();
    b.addGpioState(g1);
    b.addSnmpCfg(s);
    b.addDevInfo(d);
    b.addModbusCfg(m);
    b.addGpioState(g2);
    b.addNetCfg(n);
    b.addCore(items);
    Recorder r;
    EXPECT_EQ(visit(b.build(), r), 7u);

    EXPECT_EQ(r.calls, (Calls{"gpiostate 0", "done 0", "snmpcfg 1", "done 1", "devinfo 2", "done 2",
                              "modbuscfg 3", "done 3", "gpiostate 4", "done 4", "netcfg 5",
                              "done 5", "core 6", "done 6"}));
    ASSERT_EQ(r.gpio.size(), 2u);
    EXPECT_EQ(r.gpio[0], g1);
    EXPECT_EQ(r.gpio[1], g2);
    ASSERT_EQ(r.dev.size(), 1u);
    EXPECT_EQ(r.dev[0], d);
    // The configuration records arrive as confirmed by a frame.
    ASSERT_EQ(r.net.size(), 1u);
    EXPECT_EQ(r.net[0], n);
    EXPECT_FALSE(r.net[0].resetcfg);
    ASSERT_EQ(r.snmp.size(), 1u);
    EXPECT_EQ(r.snmp[0], s);
    ASSERT_EQ(r.mb.size(), 1u);
    EXPECT_EQ(r.mb[0], m);
    ASSERT_EQ(r.core.size(), 1u);
    EXPECT_EQ(r.core[0], items);
}

TEST(SectionVisitor, AnEmptyCoreSectionStillReachesItsHandler)
{
    auto b = base();
    b.addCore({});
    Recorder r;
    visit(b.build(), r);
    EXPECT_EQ(r.calls, (Calls{"core 0", "done 0"}));
    ASSERT_EQ(r.core.size(), 1u);
    EXPECT_TRUE(r.core[0].empty());
}

TEST(SectionVisitor, UnknownKindGoesToTheErrorPathAndTheWalkGoesOn)
{
    // An unknown section steps its length + 4, like the receiver: four
    // filler bytes (an empty section head the walk never reads) follow it.
    auto b = base();
    b.addRawSection(0x55, {1, 2, 3, 4});
    b.addRawSection(0x99, {});
    b.addGpioState({3, 3, 3, 3});
    b.forceSectCount(2);
    Recorder r;
    visit(b.build(), r);
    // The error comes before the walk's "Decode error", the next section
    // is still decoded.
    EXPECT_EQ(r.calls, (Calls{"log Unknown section type. Skip section", "error 0 unknown Ok",
                              "log Decode error", "done 0", "gpiostate 1", "done 1"}));
    ASSERT_EQ(r.doneNotes.size(), 2u);
    EXPECT_EQ(r.doneNotes[0], (Calls{"Unknown section type. Skip section", "Decode error"}));
    ASSERT_EQ(r.gpio.size(), 1u);
    EXPECT_EQ(r.gpio[0], (gpiostate_s{3, 3, 3, 3}));
}

TEST(SectionVisitor, SectionsTheDecoderRefusesReachTheErrorPathWithItsReason)
{
    // DevInfo announcing 30 bytes: the walk hands over 34, the decoder
    // finds a size mismatch, and the following section lands 34 bytes on.
    auto b = base();
    b.addRawSection(SECT_DEVINFO, std::vector<uint8_t>(26, 0x31));
    b.addRawSection(0x55, {});
    b.addGpioState({1, 0, 0, 0});
    b.forceSectCount(2);
    Recorder r;
    visit(b.build(), r);
    EXPECT_EQ(r.calls, (Calls{"log DevInfo section length mismatch (28)",
                              "error 0 failed Payload size mismatch", "log Decode error", "done 0",
                              "gpiostate 1", "done 1"}));
    EXPECT_TRUE(r.dev.empty());

    // A length field below the type's size: the decoder says why.
    auto c = base();
    c.addRawSection(SECT_MODBUSCFG, {1, 0}, uint16_t{6});
    c.addRawSection(0x55, {0, 0});
    c.forceSectCount(1);
    Recorder t;
    visit(c.build(), t);
    EXPECT_EQ(t.calls, (Calls{"log ModbusCfg section length mismatch (8)",
                              "error 0 failed Too short", "log Decode error", "done 0"}));
    EXPECT_TRUE(t.mb.empty());
}

TEST(SectionVisitor, ASectionCutByTheEndOfTheFrameIsSkipped)
{
    auto b = base();
    b.addGpioState({1, 1, 1, 1});
    b.addRawSection(SECT_NETCFG, std::vector<uint8_t>(22, 0), uint16_t{200});
    Recorder r;
    visit(b.build(), r);
    EXPECT_EQ(r.calls, (Calls{"gpiostate 0", "done 0",
                              "log Section length exceed frame length. Skip section",
                              "log NetCfg section length mismatch (26)", "error 1 skipped Ok",
                              "log Decode error", "done 1"}));
    EXPECT_TRUE(r.net.empty());

    // Fewer than a section head left: only the walk's line, no section.
    auto c = base();
    c.addGpioState({});
    c.forceSectCount(2);
    Recorder t;
    EXPECT_EQ(visit(c.build(), t), 1u);
    EXPECT_EQ(t.calls,
              (Calls{"gpiostate 0", "done 0", "log Payload too short. Drop remaining bytes"}));
}

TEST(SectionVisitor, TruncatedCoreIsRefusedUnlessTheReceiverKeepsTheItemsBefore)
{
    // Item 1 carries 2 bytes; item 2 announces 255 but the section ends.
    const std::vector<uint8_t> payload = {1, 0, 2, 0, 3, 4, 2,    0, 0xaa, 0xbb,
                                          5, 0, 6, 0, 7, 8, 0xff, 0, 0x01};
    auto b = base();
    b.addRawSection(SECT_CORE, payload);
    const auto frame = b.build();

    Recorder refusing;
    visit(frame, refusing);
    EXPECT_EQ(refusing.calls,
              (Calls{"truncated 0", "error 0 failed Core item runs past the section",
                     "log Decode error", "done 0"}));
    EXPECT_TRUE(refusing.core.empty());

    Recorder keeping;
    keeping.keepTruncatedCore = true;
    visit(frame, keeping);
    EXPECT_EQ(keeping.calls, (Calls{"truncated 0", "core 0", "done 0"}));
    ASSERT_EQ(keeping.core.size(), 1u);
    ASSERT_EQ(keeping.core[0].size(), 1u);
    EXPECT_EQ(keeping.core[0][0].ci_class, 1);
    EXPECT_EQ(keeping.core[0][0].ci_field, 2);
    EXPECT_EQ(keeping.core[0][0].baData, (std::vector<uint8_t>{0xbb, 0xaa}));
    EXPECT_EQ(keeping.truncatedOffered, keeping.core);

    // A Core that is not truncated never asks.
    auto c = base();
    c.addCore({item(1, 1, {1})});
    Recorder whole;
    whole.keepTruncatedCore = true;
    visit(c.build(), whole);
    EXPECT_EQ(whole.calls, (Calls{"core 0", "done 0"}));
}

TEST(SectionVisitor, TheDefaultsIgnoreEverythingAndStillWalk)
{
    auto b = base();
    b.addDevInfo({});
    b.addRawSection(0x99, {});
    b.addRawSection(0x99, {}); // filler: the unknown section steps 8
    b.addCore({});
    b.forceSectCount(3);
    SectionVisitor nothing;
    std::vector<uint8_t> f = b.build();
    EXPECT_EQ(visitSections(f.data(), f.size() - TUP_CRC_SIZE, nothing), 3u);
}

// Over many damaged frames: every visited section reaches exactly one of
// the typed handlers or the error path, then onSectionDone, and never more
// sections than the walk counts.
TEST(SectionVisitor, EachSectionReachesExactlyOneHandlerOnDamagedFrames)
{
    auto b = base();
    b.addDevInfo({});
    b.addGpioState({1, 2, 3, 0});
    b.addNetCfg({});
    b.addModbusCfg({});
    b.addCore({item(3, 0, {1, 2, 3, 4}), item(4, 0, {9})});
    const std::vector<uint8_t> good = b.build();
    std::mt19937 rng(22);
    size_t errors = 0, decoded = 0;
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> f = good;
        for (int k = 0, n = 1 + static_cast<int>(rng() % 3); k < n; ++k)
            f[2 + rng() % (f.size() - 4)] = static_cast<uint8_t>(rng());
        if (rng() % 3 == 0)
            f.resize(TUP_FRAME_HEAD + 2 + rng() % (f.size() - TUP_FRAME_HEAD - 1));
        Recorder r;
        const size_t visited = visit(f, r);
        size_t handled = 0, done = 0;
        for (const auto& c : r.calls) {
            if (c.rfind("log ", 0) == 0 || c.rfind("truncated ", 0) == 0)
                continue;
            if (c.rfind("done ", 0) == 0) {
                ++done;
                ASSERT_EQ(handled, done) << "section without a handler, round " << round;
                continue;
            }
            ++handled;
            ASSERT_EQ(handled, done + 1) << "two handlers for one section, round " << round;
            (c.rfind("error ", 0) == 0 ? errors : decoded)++;
        }
        ASSERT_EQ(done, visited) << "round " << round;
    }
    // The damage reached both paths.
    EXPECT_GT(errors, 100u);
    EXPECT_GT(decoded, 100u);
}
