// tupsend run as a child process: its frames decoded by the library, sent
// over loopback UDP, and refused options.
#include "childprocess.h"
#include "tup.h"
#include "udpsocket.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using namespace testutil;

namespace
{

struct Decoded {
    tup::frame_check_s check;
    std::vector<tup::devinfo_s> dev;
    std::vector<tup::gpiostate_s> gpio;
    std::vector<tup::netcfg_s> net;
    std::vector<tup::snmpcfg_s> snmp;
    std::vector<tup::modbuscfg_s> mb;
    std::vector<std::vector<tup::core_tmp>> core;
    std::vector<uint16_t> order;
    std::vector<std::string> log;
};

Decoded decode(const std::vector<uint8_t>& f)
{
    Decoded d;
    d.check = tup::checkFrame(f.data(), f.size(), "127.0.0.1", {});
    if (!d.check.accepted())
        return d;
    tup::walkSections(
        f.data(), d.check.frameSize,
        [&](const tup::section_view_s& s) {
            d.order.push_back(s.type);
            using tup::DecodeStatus;
            switch (s.type) {
            case tup::SECT_DEVINFO:
                d.dev.emplace_back();
                return tup::decodeDevInfo(s.bytes, s.size, d.dev.back()) == DecodeStatus::Ok;
            case tup::SECT_GPIOSTATE:
                d.gpio.emplace_back();
                return tup::decodeGpioState(s.bytes, s.size, d.gpio.back()) == DecodeStatus::Ok;
            case tup::SECT_NETCFG:
                d.net.emplace_back();
                return tup::decodeNetCfg(s.bytes, s.size, d.net.back()) == DecodeStatus::Ok;
            case tup::SECT_SNMPCFG:
                d.snmp.emplace_back();
                return tup::decodeSnmpCfg(s.bytes, s.size, d.snmp.back()) == DecodeStatus::Ok;
            case tup::SECT_MODBUSCFG:
                d.mb.emplace_back();
                return tup::decodeModbusCfg(s.bytes, s.size, d.mb.back()) == DecodeStatus::Ok;
            case tup::SECT_CORE:
                d.core.emplace_back();
                return tup::decodeCore(s.bytes, s.size, d.core.back()) == DecodeStatus::Ok;
            }
            return false;
        },
        [&](const std::string& l) { d.log.push_back(l); });
    return d;
}

std::vector<std::vector<uint8_t>> hexLines(const std::string& out)
{
    std::vector<std::vector<uint8_t>> frames;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<uint8_t> f;
        EXPECT_TRUE(tup::parseHex(line, f)) << line;
        frames.push_back(f);
    }
    return frames;
}

class TupSend : public ::testing::Test
{
protected:
    void SetUp() override { dir = makeTempDir(); }
    void TearDown() override
    {
        if (!dir.empty())
            std::system(("rm -rf '" + dir + "'").c_str());
    }
    // Runs tupsend writing hex to stdout; returns the frames.
    std::vector<std::vector<uint8_t>> hexFrames(std::vector<std::string> args)
    {
        args.insert(args.end(), {"--output", "-"});
        std::string out, err;
        EXPECT_EQ(run(TUPSEND_BIN, args, dir, &out, &err), 0) << err;
        return hexLines(out);
    }
    std::string writeFile(const std::string& name, const std::string& text)
    {
        const std::string p = dir + "/" + name;
        std::ofstream(p) << text;
        return p;
    }
    std::string dir;
};

} // namespace

TEST_F(TupSend, EverySectionOptionReachesTheFrameInOrder)
{
    const std::string snmp = writeFile("snmp.json", R"({
        "version": "V3PRIV", "options": 0, "nopriv_hash": "MD5", "priv_hash": "SHA",
        "priv_algo": "AES", "cli_mode": "V2", "cli_hash": "SHA", "cli_algo": "DES",
        "ro_user": "public", "priv_key": "0123456789abcdef0123456789abcdef",
        "oid": "1.3.6.1.4.1", "cli_key": "k", "port": 1161, "port_trap": 1162,
        "trap_addr1": "10.0.0.9", "trap_addr5": "192.168.1.255"})");
    auto frames = hexFrames({"--gpio",      "1,2,3,0",
                             "--devinfo",   "1,2,3,4,5,6,0xDEADBEEF,abcdefgh",
                             "--netcfg",    "1,0,10.0.0.1,255.255.255.0,10.0.0.254,8.8.8.8,0.0.0.0",
                             "--snmpcfg",   snmp,
                             "--modbuscfg", "1,1502",
                             "--devinfo",   "1,0,0,0,0,0,7,en",
                             "--item",      "10,20,1,4,float:21.5",
                             "--item",      "11,21,2,7,string:a,b",
                             "--seqno",     "77",
                             "--timestamp", "1234"});
    ASSERT_EQ(frames.size(), 1u);
    Decoded d = decode(frames[0]);
    ASSERT_TRUE(d.check.accepted()) << d.check.log[0];
    EXPECT_TRUE(d.log.empty());
    EXPECT_EQ(d.check.header.seqno, 77u);
    EXPECT_EQ(d.check.header.timestamp, 1234u);
    EXPECT_EQ(d.order, (std::vector<uint16_t>{0x20, 0x10, 0x30, 0x40, 0x60, 0x10, 0x80}));

    ASSERT_EQ(d.dev.size(), 2u);
    EXPECT_EQ(d.dev[0].serial, 0xDEADBEEFu);
    EXPECT_EQ(d.dev[0].swbuild, 6);
    EXPECT_EQ(d.dev[0].lang, "abcdefgh");
    EXPECT_EQ(d.dev[1].lang, "en");
    EXPECT_EQ(d.gpio[0].critical, 3);
    EXPECT_TRUE(d.net[0].tessal);
    EXPECT_FALSE(d.net[0].dhcp);
    EXPECT_EQ(tup::ipv4Text(d.net[0].gateway), "10.0.0.254");
    EXPECT_EQ(tup::ipv4Text(d.net[0].dns1), "8.8.8.8");

    const tup::snmpcfg_s& s = d.snmp[0];
    EXPECT_EQ(s.version, 5);
    EXPECT_EQ(s.options, 0xFF) << "options is always written as 0xFF";
    EXPECT_EQ(s.nopriv_hash, 1);
    EXPECT_EQ(s.priv_hash, 2);
    EXPECT_EQ(s.priv_algo, 2);
    EXPECT_EQ(s.cli_mode, 2);
    EXPECT_EQ(s.cli_hash, 2);
    EXPECT_EQ(s.cli_algo, 1);
    EXPECT_EQ(s.ro_user, "public");
    EXPECT_EQ(s.priv_key.size(), 32u);
    EXPECT_EQ(s.oid, "1.3.6.1.4.1");
    EXPECT_EQ(s.cli_key, "k");
    EXPECT_EQ(s.port, 1161);
    EXPECT_EQ(s.port_trap, 1162);
    EXPECT_EQ(tup::ipv4Text(s.trap_addr1), "10.0.0.9");
    EXPECT_EQ(s.trap_addr2, 0u);
    EXPECT_EQ(tup::ipv4Text(s.trap_addr5), "192.168.1.255");

    EXPECT_TRUE(d.mb[0].tcp_status);
    EXPECT_EQ(d.mb[0].tcp_port, 1502);

    ASSERT_EQ(d.core.size(), 1u) << "consecutive items share one Core section";
    ASSERT_EQ(d.core[0].size(), 2u);
    float v = 0;
    ASSERT_TRUE(tup::coreFloat(d.core[0][0], v));
    EXPECT_FLOAT_EQ(v, 21.5f);
    EXPECT_EQ(d.core[0][0].ci_class, 10);
    EXPECT_EQ(d.core[0][0].ci_type, 4);
    EXPECT_EQ(d.core[0][1].baData, (std::vector<uint8_t>{'b', ',', 'a'})) << "MSB first";
}

TEST_F(TupSend, TypedValuesAreWrittenLittleEndian)
{
    struct {
        const char* value;
        std::vector<uint8_t> wire;
    } cases[] = {
        {"u8:255", {0xFF}},
        {"s8:-1", {0xFF}},
        {"u16:0x1234", {0x34, 0x12}},
        {"s16:-2", {0xFE, 0xFF}},
        {"u32:4294967295", {0xFF, 0xFF, 0xFF, 0xFF}},
        {"s32:-2147483648", {0x00, 0x00, 0x00, 0x80}},
        {"float:1", {0x00, 0x00, 0x80, 0x3F}},
        {"bool:true", {0x01}},
        {"bool:0", {0x00}},
        {"hex:0a0b0c", {0x0A, 0x0B, 0x0C}},
        {"string:", {}},
    };
    std::vector<std::string> args{"--seqno", "1", "--timestamp", "1", "--core"};
    for (auto& c : cases)
        args.insert(args.end(), {"--item", std::string("1,1,1,1,") + c.value});
    auto frames = hexFrames(args);
    ASSERT_EQ(frames.size(), 1u);
    Decoded d = decode(frames[0]);
    ASSERT_EQ(d.core.size(), 1u);
    ASSERT_EQ(d.core[0].size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        std::vector<uint8_t> wire(d.core[0][i].baData.rbegin(), d.core[0][i].baData.rend());
        EXPECT_EQ(wire, cases[i].wire) << cases[i].value;
        EXPECT_EQ(d.core[0][i].datalen, cases[i].wire.size()) << cases[i].value;
    }
}

TEST_F(TupSend, RepetitionIncrementsTheSequenceAndRawOutputMatchesHex)
{
    auto frames = hexFrames({"--gpio", "0,0,0,0", "--count", "3", "--interval", "0", "--seqno",
                             "0xFFFFFFFF", "--timestamp", "5"});
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(decode(frames[0]).check.header.seqno, 0xFFFFFFFFu);
    EXPECT_EQ(decode(frames[1]).check.failed, tup::CHECK_SEQUENCE) << "wrapped to 0";
    EXPECT_EQ(decode(frames[2]).check.header.seqno, 1u);

    const std::string raw = dir + "/frame.bin";
    std::string err;
    ASSERT_EQ(run(TUPSEND_BIN,
                  {"--gpio", "0,0,0,0", "--seqno", "4294967295", "--timestamp", "5", "--output",
                   raw, "--format", "raw"},
                  dir, nullptr, &err),
              0)
        << err;
    const std::string bytes = readFile(raw);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.end()), frames[0]);
}

TEST_F(TupSend, HeaderOverridesBuildTheRequestedBadFrames)
{
    auto frames = hexFrames(
        {"--gpio", "0,0,0,0", "--seqno", "3", "--timestamp", "9", "--checksum", "0x1234"});
    ASSERT_EQ(frames.size(), 1u);
    auto c = decode(frames[0]).check;
    EXPECT_EQ(c.failed, tup::CHECK_CHECKSUM);
    EXPECT_EQ(c.receivedCrc, 0x1234);

    struct {
        std::vector<std::string> args;
        int check;
    } cases[] = {
        {{"--magic", "0xCD"}, tup::CHECK_MAGIC},
        {{"--version", "2"}, tup::CHECK_VERSION},
        {{"--length", "15"}, tup::CHECK_LENGTH},
        {{"--sect-offset", "7"}, tup::CHECK_SECT_OFFSET},
        {{"--sect-count", "0"}, tup::CHECK_SECT_COUNT},
        {{"--timestamp", "0"}, tup::CHECK_TIMESTAMP},
    };
    for (auto& k : cases) {
        std::vector<std::string> args{"--gpio", "0,0,0,0", "--seqno", "3"};
        args.insert(args.end(), k.args.begin(), k.args.end());
        auto f = hexFrames(args);
        ASSERT_EQ(f.size(), 1u);
        EXPECT_EQ(decode(f[0]).check.failed, k.check) << k.args[0];
    }

    // A raw section with a forced length, e.g. an unknown type.
    auto u = hexFrames({"--raw-section", "0x55,01020304,30", "--seqno", "3"});
    ASSERT_EQ(u.size(), 1u);
    Decoded d = decode(u[0]);
    ASSERT_TRUE(d.check.accepted());
    EXPECT_EQ(d.log.front(), "Section length exceed frame length. Skip section");
}

TEST_F(TupSend, SendsOverUdpToTheGivenPort)
{
    UdpSocket rx;
    ASSERT_TRUE(rx.ok());
    std::string err;
    const uint32_t before = tup::timestampNow();
    ASSERT_EQ(run(TUPSEND_BIN,
                  {"--host", "127.0.0.1", "--port", std::to_string(rx.port()), "--gpio", "1,1,1,1",
                   "-c", "2", "-i", "0.05", "--seqno", "100"},
                  dir, nullptr, &err),
              0)
        << err;
    const uint32_t after = tup::timestampNow();
    std::vector<uint8_t> a, b;
    ASSERT_TRUE(rx.receive(a));
    ASSERT_TRUE(rx.receive(b));
    auto da = decode(a), db = decode(b);
    ASSERT_TRUE(da.check.accepted());
    EXPECT_EQ(da.check.header.seqno, 100u);
    EXPECT_EQ(db.check.header.seqno, 101u);
    // The default timestamp is the clock's time (as 32-bit seconds) when sent.
    EXPECT_GE(da.check.header.timestamp, before);
    EXPECT_LE(db.check.header.timestamp, after);
    ASSERT_EQ(da.gpio.size(), 1u);
    EXPECT_EQ(da.gpio[0].buzzer, 1);
}

TEST_F(TupSend, CountZeroSendsUntilInterrupted)
{
    UdpSocket rx;
    ASSERT_TRUE(rx.ok());
    Child c(TUPSEND_BIN,
            {"--port", std::to_string(rx.port()), "--gpio", "2,2,2,2", "--count", "0", "--interval",
             "0.02", "--seqno", "1"},
            dir);
    std::vector<uint8_t> f;
    for (uint32_t i = 1; i <= 5; ++i) {
        ASSERT_TRUE(rx.receive(f)) << "frame " << i;
        EXPECT_EQ(decode(f).check.header.seqno, i);
    }
    c.terminate();
    EXPECT_EQ(c.wait(5000), 0) << "an interrupt ends the run normally";
}

TEST_F(TupSend, BadOptionsExitWithStatusTwoAndSendNothing)
{
    UdpSocket rx;
    ASSERT_TRUE(rx.ok());
    const std::string port = std::to_string(rx.port());
    const std::string unknownMember = writeFile("a.json", R"({"ro_usr": "x"})");
    const std::string longText =
        writeFile("b.json", "{\"ro_user\": \"" + std::string(33, 'x') + "\"}");
    const std::string badCode = writeFile("c.json", R"({"priv_hash": "SHA256"})");
    const std::string badJson = writeFile("d.json", R"({"ro_user": )");
    const std::string badPort = writeFile("e.json", R"({"port": 70000})");
    const std::vector<std::vector<std::string>> cases = {
        {"--bogus"},
        {"--gpio", "1,2"},
        {"--gpio", "1,2,3,256"},
        {"--port", "0"},
        {"--port", "65536"},
        {"--devinfo", "1,2,3,4,5,6,7,toolonglang"},
        {"--devinfo", "1,2,3,4,5,6,0x100000000,en"},
        {"--netcfg", "1,0,10.0.0.256,255.255.255.0,0.0.0.0,0.0.0.0,0.0.0.0"},
        {"--netcfg", "2,0,10.0.0.1,255.255.255.0,0.0.0.0,0.0.0.0,0.0.0.0"},
        {"--modbuscfg", "1"},
        {"--item", "1,2,3,4,u8:256"},
        {"--item", "1,2,3,4,s8:-129"},
        {"--item", "1,2,3,4,float:abc"},
        {"--item", "1,2,3,4,int:5"},
        {"--item", "1,2,3,4,hex:abc"},
        {"--item", "1,2,3,4"},
        {"--raw-section", "0x55,zz"},
        {"--snmpcfg", dir + "/missing.json"},
        {"--snmpcfg", unknownMember},
        {"--snmpcfg", longText},
        {"--snmpcfg", badCode},
        {"--snmpcfg", badJson},
        {"--snmpcfg", badPort},
        {"--seqno", "4294967296"},
        {"--seqno", "-1"},
        {"--checksum", "65536"},
        {"--count", "x"},
        {"--interval", "-1"},
        {"--format", "bin"},
        {"--seqno"},
        {"stray"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"--port", port, "--gpio", "0,0,0,0"};
        args.insert(args.end(), c.begin(), c.end());
        std::string out, err;
        EXPECT_EQ(run(TUPSEND_BIN, args, dir, &out, &err), 2) << c[0];
        EXPECT_NE(err.find("tupsend: "), std::string::npos) << c[0] << ": " << err;
        EXPECT_TRUE(out.empty()) << c[0];
    }
    // The message names the option that was refused, also inside a cluster
    // of short options, not the argument before it.
    const std::vector<std::pair<std::vector<std::string>, std::string>> named = {
        {{"--gpio", "1,0,0,0", "-xv"}, "unknown option '-x'"},
        {{"-vZ"}, "unknown option '-Z'"},
        {{"--bogus=1"}, "unknown option '--bogus'"},
        {{"-p"}, "option '-p' needs a value"},
        {{"--host"}, "option '--host' needs a value"},
    };
    for (const auto& [args, message] : named) {
        std::string err;
        EXPECT_EQ(run(TUPSEND_BIN, args, dir, nullptr, &err), 2) << message;
        EXPECT_NE(err.find("tupsend: " + message + "\n"), std::string::npos) << err;
    }
    std::vector<uint8_t> got;
    EXPECT_FALSE(rx.receive(got, 200)) << "a refused command line must send nothing";
}

TEST_F(TupSend, HelpListsTheOptions)
{
    std::string out;
    ASSERT_EQ(run(TUPSEND_BIN, {"--help"}, dir, &out), 0);
    for (const char* opt : {"--devinfo", "--gpio", "--netcfg", "--snmpcfg", "--modbuscfg", "--item",
                            "--checksum", "--sect-offset", "--count", "--interval", "--output"})
        EXPECT_NE(out.find(opt), std::string::npos) << opt;
}
