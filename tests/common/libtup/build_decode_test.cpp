#include "tup.h"

#include <gtest/gtest.h>

using namespace tup;

namespace
{

// Decodes every section of a built frame through the shared walk.
struct Decoded {
    std::vector<devinfo_s> dev;
    std::vector<gpiostate_s> gpio;
    std::vector<netcfg_s> net;
    std::vector<snmpcfg_s> snmp;
    std::vector<modbuscfg_s> mb;
    std::vector<std::vector<core_tmp>> core;
    std::vector<std::string> log;
};

Decoded decodeFrame(const std::vector<uint8_t>& f)
{
    Decoded d;
    link_state_s st;
    frame_check_s c = checkFrame(f.data(), f.size(), "10.0.0.2", st);
    EXPECT_TRUE(c.accepted()) << (c.log.empty() ? "" : c.log[0]);
    walkSections(
        f.data(), c.frameSize,
        [&](const section_view_s& s) {
            switch (s.type) {
            case SECT_DEVINFO:
                d.dev.emplace_back();
                return decodeDevInfo(s.bytes, s.size, d.dev.back()) == DecodeStatus::Ok;
            case SECT_GPIOSTATE:
                d.gpio.emplace_back();
                return decodeGpioState(s.bytes, s.size, d.gpio.back()) == DecodeStatus::Ok;
            case SECT_NETCFG:
                d.net.emplace_back();
                return decodeNetCfg(s.bytes, s.size, d.net.back()) == DecodeStatus::Ok;
            case SECT_SNMPCFG:
                d.snmp.emplace_back();
                return decodeSnmpCfg(s.bytes, s.size, d.snmp.back()) == DecodeStatus::Ok;
            case SECT_MODBUSCFG:
                d.mb.emplace_back();
                return decodeModbusCfg(s.bytes, s.size, d.mb.back()) == DecodeStatus::Ok;
            case SECT_CORE:
                d.core.emplace_back();
                return decodeCore(s.bytes, s.size, d.core.back()) == DecodeStatus::Ok;
            }
            return false;
        },
        [&](const std::string& l) { d.log.push_back(l); });
    return d;
}

snmpcfg_s fullSnmp()
{
    snmpcfg_s s;
    s.version = 5;
    s.options = 0xFF;
    s.nopriv_hash = 1;
    s.priv_hash = 2;
    s.priv_algo = 2;
    s.cli_hash = 1;
    s.cli_mode = 4;
    s.cli_algo = 1;
    int i = 0;
    for (const auto& f : SNMP_TEXT_FIELDS) {
        // 32 characters without a NUL, different per field to catch swapped offsets
        std::string t(32, static_cast<char>('A' + i));
        t[0] = static_cast<char>('a' + i++);
        s.*f.member = t;
    }
    s.cli_key = "short";
    s.port = 1161;
    s.port_trap = 1162;
    s.trap_addr1 = 0x0A000001;
    s.trap_addr2 = 0xC0A80A01;
    s.trap_addr3 = 0;
    s.trap_addr4 = 0xFFFFFFFF;
    s.trap_addr5 = 0x01020304;
    return s;
}

core_tmp item(uint16_t cls, uint16_t field, uint8_t inst, uint8_t type,
              std::vector<uint8_t> msbFirst)
{
    core_tmp c;
    c.ci_class = cls;
    c.ci_field = field;
    c.instance = inst;
    c.ci_type = type;
    c.datalen = static_cast<uint16_t>(msbFirst.size());
    c.baData = std::move(msbFirst);
    return c;
}

} // namespace

TEST(FrameBuilder, EmptyFrameIsEighteenBytes)
{
    FrameBuilder b;
    b.setSeqno(0x01020304);
    b.setTimestamp(0x0A0B0C0D);
    auto f = b.build();
    ASSERT_EQ(f.size(), 18u);
    EXPECT_EQ(f[0], 0xCE);
    EXPECT_EQ(f[1], 1);
    EXPECT_EQ(f[2] | (f[3] << 8), 14);
    EXPECT_EQ(f[4] | (f[5] << 8), 14);
    EXPECT_EQ(f[6] | (f[7] << 8), 0);
    EXPECT_EQ(f[8], 0x04);  // seqno little-endian
    EXPECT_EQ(f[15], 0x0A); // timestamp high byte last
    const uint16_t crc = crc16(TUP_POLY, 0, f.data(), 16);
    EXPECT_EQ(f[16], crc & 0xFF);
    EXPECT_EQ(f[17], crc >> 8);
}

TEST(FrameBuilder, OverridesProduceTheRequestedBadFields)
{
    FrameBuilder b;
    b.setSeqno(1);
    b.setTimestamp(2);
    b.addGpioState({});
    b.forceMagic(0xAB);
    b.forceVersion(7);
    b.forceLength(99);
    b.forceSectOffset(3);
    b.forceSectCount(9);
    b.forceChecksum(0xBEEF);
    auto f = b.build();
    ASSERT_EQ(f.size(), 26u);
    EXPECT_EQ(f[0], 0xAB);
    EXPECT_EQ(f[1], 7);
    EXPECT_EQ(f[2], 99);
    EXPECT_EQ(f[4], 3);
    EXPECT_EQ(f[6], 9);
    EXPECT_EQ(f[24], 0xEF);
    EXPECT_EQ(f[25], 0xBE);
}

TEST(FrameBuilder, RefusesFramesBeyondSixteenBitLength)
{
    FrameBuilder b;
    std::vector<uint8_t> payload(60000, 1);
    EXPECT_TRUE(b.addRawSection(0x99, payload));
    EXPECT_FALSE(b.addRawSection(0x99, payload));
    EXPECT_EQ(b.sectionCount(), 1u);
    std::vector<core_tmp> big(1, item(1, 1, 1, 1, std::vector<uint8_t>(65530, 0)));
    std::vector<uint8_t> sect;
    EXPECT_FALSE(encodeCore(big, sect));
}

TEST(RoundTrip, EverySectionTypeSurvivesBuildAndParse)
{
    devinfo_s dev;
    dev.type = 1;
    dev.hwmajor = 2;
    dev.hwminor = 3;
    dev.swmajor = 0xFFFF;
    dev.swminor = 5;
    dev.swbuild = 0x1234;
    dev.serial = 0xDEADBEEF;
    dev.lang = "abcdefgh"; // exactly 8: no terminator on the wire
    gpiostate_s gpio{};
    gpio.good = 1;
    gpio.warning = 2;
    gpio.critical = 3;
    gpio.buzzer = 0;
    netcfg_s net;
    net.tessal = true;
    net.dhcp = false;
    net.ip = 0x0A000001;
    net.mask = 0xFFFFFF00;
    net.gateway = 0x0A0000FE;
    net.dns1 = 0x08080808;
    net.dns2 = 0;
    snmpcfg_s snmp = fullSnmp();
    modbuscfg_s mb;
    mb.tcp_status = true;
    mb.tcp_port = 1502;
    std::vector<core_tmp> items{item(100, 7, 0, 4, {0x3F, 0x80, 0x00, 0x00}),
                                item(0xFFFF, 0xFFFF, 255, 255, {}), item(3, 4, 5, 9, {'h', 'i'})};

    FrameBuilder b;
    b.setSeqno(42);
    b.setTimestamp(1700000000);
    ASSERT_TRUE(b.addDevInfo(dev));
    ASSERT_TRUE(b.addGpioState(gpio));
    ASSERT_TRUE(b.addNetCfg(net));
    ASSERT_TRUE(b.addSnmpCfg(snmp));
    ASSERT_TRUE(b.addModbusCfg(mb));
    ASSERT_TRUE(b.addCore(items));
    auto f = b.build();
    EXPECT_EQ(f.size(), 16u + 28 + 8 + 26 + 580 + 8 + (4 + 12 + 8 + 10) + 2);

    Decoded d = decodeFrame(f);
    EXPECT_TRUE(d.log.empty()) << d.log.front();
    ASSERT_EQ(d.dev.size(), 1u);
    EXPECT_EQ(d.dev[0], dev);
    ASSERT_EQ(d.gpio.size(), 1u);
    EXPECT_EQ(d.gpio[0], gpio);
    ASSERT_EQ(d.net.size(), 1u);
    EXPECT_EQ(d.net[0], net);
    ASSERT_EQ(d.snmp.size(), 1u);
    EXPECT_EQ(d.snmp[0], snmp);
    EXPECT_EQ(d.snmp[0].ro_user.size(), 32u);
    ASSERT_EQ(d.mb.size(), 1u);
    EXPECT_EQ(d.mb[0], mb);
    ASSERT_EQ(d.core.size(), 1u);
    EXPECT_EQ(d.core[0], items);
    float v = 0;
    ASSERT_TRUE(coreFloat(d.core[0][0], v));
    EXPECT_FLOAT_EQ(v, 1.0f);
    EXPECT_FALSE(coreFloat(d.core[0][2], v));
}

TEST(RoundTrip, SameTypeTwiceAndShortTexts)
{
    devinfo_s a, c;
    a.lang = "en";
    c.lang = "";
    c.serial = 7;
    FrameBuilder b;
    b.setSeqno(1);
    b.setTimestamp(1);
    b.addDevInfo(a);
    b.addDevInfo(c);
    auto f = b.build();
    // "en" travels padded with six NUL bytes
    EXPECT_EQ(f[16 + 20], 'e');
    EXPECT_EQ(f[16 + 21], 'n');
    for (int i = 22; i < 28; ++i)
        EXPECT_EQ(f[16 + i], 0) << i;
    Decoded d = decodeFrame(f);
    ASSERT_EQ(d.dev.size(), 2u);
    EXPECT_EQ(d.dev[0].lang, "en");
    EXPECT_EQ(d.dev[1], c);
}

TEST(RoundTrip, TooLongTextsAreCutToTheField)
{
    devinfo_s dev;
    dev.lang = "abcdefghij";
    snmpcfg_s s;
    s.ro_user = std::string(40, 'x');
    FrameBuilder b;
    b.setSeqno(1);
    b.setTimestamp(1);
    b.addDevInfo(dev);
    b.addSnmpCfg(s);
    Decoded d = decodeFrame(b.build());
    ASSERT_EQ(d.dev.size(), 1u);
    EXPECT_EQ(d.dev[0].lang, "abcdefgh");
    ASSERT_EQ(d.snmp.size(), 1u);
    EXPECT_EQ(d.snmp[0].ro_user, std::string(32, 'x'));
    EXPECT_EQ(d.snmp[0].nopriv_user, ""); // the neighbour is not overwritten
}

TEST(Decoders, CheckTypeThenLengthThenSize)
{
    auto sect = encodeDevInfo(devinfo_s{});
    devinfo_s out;
    out.serial = 99;
    auto wrongType = sect;
    wrongType[0] = 0x20;
    EXPECT_EQ(decodeDevInfo(wrongType.data(), wrongType.size(), out), DecodeStatus::BadType);
    auto shortLen = sect;
    shortLen[2] = 27;
    EXPECT_EQ(decodeDevInfo(shortLen.data(), shortLen.size(), out), DecodeStatus::TooShort);
    EXPECT_EQ(decodeDevInfo(sect.data(), sect.size() - 1, out), DecodeStatus::SizeMismatch);
    EXPECT_EQ(decodeDevInfo(sect.data(), 3, out), DecodeStatus::SizeMismatch);
    EXPECT_EQ(decodeDevInfo(nullptr, 0, out), DecodeStatus::SizeMismatch);
    EXPECT_EQ(out.serial, 99u) << "a failed decode must leave the record alone";
    EXPECT_STREQ(decodeStatusText(DecodeStatus::SizeMismatch), "Payload size mismatch");

    auto g = encodeGpioState({});
    gpiostate_s go;
    g[2] = 7;
    EXPECT_EQ(decodeGpioState(g.data(), g.size(), go), DecodeStatus::TooShort);
    auto s = encodeSnmpCfg({});
    snmpcfg_s so;
    EXPECT_EQ(decodeSnmpCfg(s.data(), s.size() - 1, so), DecodeStatus::SizeMismatch);

    // Core has no minimum: a length field below its head is a size mismatch.
    std::vector<uint8_t> core;
    ASSERT_TRUE(encodeCore({}, core));
    core[2] = 2;
    std::vector<core_tmp> items;
    EXPECT_EQ(decodeCore(core.data(), core.size(), items), DecodeStatus::SizeMismatch);
}

TEST(Decoders, ConfigurationDecodersClearResetcfgAndTreatNonZeroFlagsAsTrue)
{
    auto n = encodeNetCfg({});
    n[4] = 0x80; // tessal
    n[5] = 2;    // dhcp
    netcfg_s net;
    net.resetcfg = true;
    ASSERT_EQ(decodeNetCfg(n.data(), n.size(), net), DecodeStatus::Ok);
    EXPECT_FALSE(net.resetcfg);
    EXPECT_TRUE(net.tessal);
    EXPECT_TRUE(net.dhcp);

    auto m = encodeModbusCfg({});
    m[4] = 0;
    m[5] = 0x10; // tcp_status 0x1000
    modbuscfg_s mb;
    mb.resetcfg = true;
    ASSERT_EQ(decodeModbusCfg(m.data(), m.size(), mb), DecodeStatus::Ok);
    EXPECT_FALSE(mb.resetcfg);
    EXPECT_TRUE(mb.tcp_status);
}

TEST(Decoders, CoreItemsMustFillTheSectionExactly)
{
    std::vector<core_tmp> items{item(1, 2, 3, 4, {0xAA, 0xBB})};
    std::vector<uint8_t> sect;
    ASSERT_TRUE(encodeCore(items, sect));
    // wire order is little-endian: BB AA
    EXPECT_EQ(sect[12], 0xBB);
    EXPECT_EQ(sect[13], 0xAA);

    std::vector<core_tmp> out{item(9, 9, 9, 9, {1})};
    const auto before = out;

    auto overrun = sect;
    overrun[10] = 3; // datalen 3 but only 2 data bytes in the section
    EXPECT_EQ(decodeCore(overrun.data(), overrun.size(), out), DecodeStatus::BadItems);
    EXPECT_EQ(out, before);

    auto huge = sect;
    huge[10] = 0xFF;
    huge[11] = 0xFF;
    EXPECT_EQ(decodeCore(huge.data(), huge.size(), out), DecodeStatus::BadItems);

    auto leftover = sect;
    leftover.insert(leftover.end(), {1, 2, 3});
    leftover[2] = static_cast<uint8_t>(leftover.size());
    EXPECT_EQ(decodeCore(leftover.data(), leftover.size(), out), DecodeStatus::BadItems);
    EXPECT_EQ(out, before);

    // partial parse keeps the items that fit
    std::vector<core_tmp> partial;
    EXPECT_FALSE(parseCoreItems(leftover.data() + 4, leftover.size() - 4, partial));
    ASSERT_EQ(partial.size(), 1u);
    EXPECT_EQ(partial[0], items[0]);

    // an empty Core section and a zero-length item
    std::vector<uint8_t> empty;
    ASSERT_TRUE(encodeCore({}, empty));
    EXPECT_EQ(empty.size(), 4u);
    ASSERT_EQ(decodeCore(empty.data(), empty.size(), out), DecodeStatus::Ok);
    EXPECT_TRUE(out.empty());
    std::vector<uint8_t> zero;
    ASSERT_TRUE(encodeCore({item(5, 6, 7, 8, {})}, zero));
    EXPECT_EQ(zero.size(), 12u);
    ASSERT_EQ(decodeCore(zero.data(), zero.size(), out), DecodeStatus::Ok);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(out[0].baData.empty());
    EXPECT_EQ(out[0].datalen, 0);
}

// The decoders against bytes written by hand from the wire layout, not by
// the builder, so a field read at the wrong offset or width shows even where
// the builder would make the same mistake.
TEST(Decoders, ReadTheWireLayoutByteForByte)
{
    const std::vector<uint8_t> dev = {0x10, 0,   28, 0, 1,    0,    2,    0,    3,    0,
                                      4,    0,   5,  0, 0x34, 0x12, 0xEF, 0xBE, 0xAD, 0xDE,
                                      'e',  'n', 0,  0, 0,    0,    0,    0};
    devinfo_s d;
    ASSERT_EQ(decodeDevInfo(dev.data(), dev.size(), d), DecodeStatus::Ok);
    EXPECT_EQ(d.type, 1);
    EXPECT_EQ(d.hwmajor, 2);
    EXPECT_EQ(d.hwminor, 3);
    EXPECT_EQ(d.swmajor, 4);
    EXPECT_EQ(d.swminor, 5);
    EXPECT_EQ(d.swbuild, 0x1234);
    EXPECT_EQ(d.serial, 0xDEADBEEFu);
    EXPECT_EQ(d.lang, "en");

    const std::vector<uint8_t> net = {0x30, 0,    26,   0,    1,    0,    0xC0, 0xA8, 0x0A,
                                      0x01, 0xFF, 0xFF, 0xFF, 0x00, 0xC0, 0xA8, 0x0A, 0xFE,
                                      8,    8,    8,    8,    10,   0,    0,    1};
    netcfg_s n;
    ASSERT_EQ(decodeNetCfg(net.data(), net.size(), n), DecodeStatus::Ok);
    EXPECT_TRUE(n.tessal);
    EXPECT_FALSE(n.dhcp);
    EXPECT_EQ(ipv4Text(n.ip), "192.168.10.1");
    EXPECT_EQ(ipv4Text(n.mask), "255.255.255.0");
    EXPECT_EQ(ipv4Text(n.gateway), "192.168.10.254");
    EXPECT_EQ(ipv4Text(n.dns1), "8.8.8.8");
    EXPECT_EQ(ipv4Text(n.dns2), "10.0.0.1");

    const std::vector<uint8_t> mb = {0x60, 0, 8, 0, 0, 1, 0xF6, 0x01};
    modbuscfg_s m;
    ASSERT_EQ(decodeModbusCfg(mb.data(), mb.size(), m), DecodeStatus::Ok);
    EXPECT_TRUE(m.tcp_status); // 0x0100: the high byte alone counts
    EXPECT_EQ(m.tcp_port, 502);

    std::vector<uint8_t> snmp(580, 0);
    snmp[0] = 0x40;
    snmp[2] = 0x44; // 580 = 0x0244
    snmp[3] = 0x02;
    for (int i = 0; i < 8; ++i)
        snmp[4 + i] = static_cast<uint8_t>(0x11 * (i + 1)); // version .. cli_algo
    snmp[12] = 'r';                                         // ro_user
    snmp[524] = 'k';                                        // cli_key, the last text
    snmp[556] = 0x89;                                       // port 1161
    snmp[557] = 0x04;
    snmp[558] = 0x8A; // port_trap 1162
    snmp[559] = 0x04;
    const uint8_t trap5[] = {172, 16, 0, 5};
    std::copy(trap5, trap5 + 4, snmp.begin() + 576);
    snmpcfg_s s;
    ASSERT_EQ(decodeSnmpCfg(snmp.data(), snmp.size(), s), DecodeStatus::Ok);
    EXPECT_EQ(s.version, 0x11);
    EXPECT_EQ(s.options, 0x22);
    EXPECT_EQ(s.nopriv_hash, 0x33);
    EXPECT_EQ(s.priv_hash, 0x44);
    EXPECT_EQ(s.priv_algo, 0x55);
    EXPECT_EQ(s.cli_mode, 0x66);
    EXPECT_EQ(s.cli_hash, 0x77);
    EXPECT_EQ(s.cli_algo, 0x88);
    EXPECT_EQ(s.ro_user, "r");
    EXPECT_EQ(s.cli_key, "k");
    EXPECT_EQ(s.cli_pwd, "");
    EXPECT_EQ(s.port, 1161);
    EXPECT_EQ(s.port_trap, 1162);
    EXPECT_EQ(ipv4Text(s.trap_addr5), "172.16.0.5");
    EXPECT_EQ(s.trap_addr4, 0u);

    // Core item head: class, field, instance, type, datalen, then the data.
    const std::vector<uint8_t> core = {0x80, 0, 15, 0, 0x01, 0x02, 0x03, 0x04,
                                       5,    6, 3,  0, 0xA1, 0xA2, 0xA3};
    std::vector<core_tmp> items;
    ASSERT_EQ(decodeCore(core.data(), core.size(), items), DecodeStatus::Ok);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].ci_class, 0x0201);
    EXPECT_EQ(items[0].ci_field, 0x0403);
    EXPECT_EQ(items[0].instance, 5);
    EXPECT_EQ(items[0].ci_type, 6);
    EXPECT_EQ(items[0].datalen, 3);
    EXPECT_EQ(items[0].baData, (std::vector<uint8_t>{0xA3, 0xA2, 0xA1}));
}
