// tupwatch and tupsend as real child processes over loopback UDP: the JSON
// tupwatch prints, the checks it repeats, its settings file and options.
#include "childprocess.h"
#include "tup.h"
#include "udpsocket.h"

#include <cJSON.h>
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <sys/stat.h>

using namespace testutil;

namespace
{

using Json = std::unique_ptr<cJSON, void (*)(cJSON*)>;

std::vector<Json> parseLines(const std::string& out)
{
    std::vector<Json> docs;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        Json j(cJSON_Parse(line.c_str()), cJSON_Delete);
        EXPECT_TRUE(j != nullptr) << "not JSON: " << line;
        if (j)
            docs.push_back(std::move(j));
    }
    return docs;
}

const cJSON* at(const cJSON* o, const char* key)
{
    const cJSON* v = o ? cJSON_GetObjectItemCaseSensitive(o, key) : nullptr;
    EXPECT_TRUE(v != nullptr) << "missing '" << key << "'";
    return v;
}
double num(const cJSON* o, const char* key)
{
    const cJSON* v = at(o, key);
    return cJSON_IsNumber(v) ? v->valuedouble : -1;
}
std::string str(const cJSON* o, const char* key)
{
    const cJSON* v = at(o, key);
    return cJSON_IsString(v) ? v->valuestring : "<not a string>";
}
bool flag(const cJSON* o, const char* key)
{
    return cJSON_IsTrue(at(o, key));
}
const cJSON* fieldsOf(const cJSON* doc, int index)
{
    return at(cJSON_GetArrayItem(at(doc, "sections"), index), "fields");
}

std::vector<uint8_t> frame(uint32_t seqno)
{
    tup::FrameBuilder b;
    b.setSeqno(seqno);
    b.setTimestamp(1700000000);
    tup::gpiostate_s g;
    g.good = 1;
    b.addGpioState(g);
    return b.build();
}

class TupWatch : public ::testing::Test
{
protected:
    void SetUp() override { dir = makeTempDir(); }
    void TearDown() override
    {
        watch.reset();
        if (!dir.empty())
            std::system(("rm -rf '" + dir + "'").c_str());
    }
    // Starts tupwatch on an ephemeral loopback port; returns the port.
    uint16_t start(std::vector<std::string> extra, size_t count)
    {
        std::vector<std::string> args{"--address", "127.0.0.1", "--port",
                                      "0",         "--count",   std::to_string(count)};
        args.insert(args.end(), extra.begin(), extra.end());
        watch = std::make_unique<Child>(
            TUPWATCH_BIN, args, dir,
            std::vector<std::pair<std::string, std::string>>{{"TESSAL_ROOT", dir}});
        EXPECT_TRUE(watch->waitForStderr("listening on 127.0.0.1:")) << watch->err();
        const std::string err = watch->err();
        const size_t colon = err.rfind(':');
        return static_cast<uint16_t>(std::stoi(err.substr(colon + 1)));
    }
    void send(std::vector<std::string> args, uint16_t port)
    {
        args.insert(args.end(), {"--port", std::to_string(port)});
        std::string err;
        ASSERT_EQ(run(TUPSEND_BIN, args, dir, nullptr, &err), 0) << err;
    }
    std::vector<Json> finish()
    {
        EXPECT_EQ(watch->wait(10000), 0) << watch->err();
        return parseLines(watch->out());
    }
    std::string dir;
    std::unique_ptr<Child> watch;
};

} // namespace

TEST_F(TupWatch, PrintsEverySectionTypeAsJsonWithTheValuesSent)
{
    const std::string snmp = dir + "/snmp.json";
    std::ofstream(snmp) << R"({"version":"V3NOPRIV","nopriv_hash":"SHA","priv_algo":"DES",
        "ro_user":"public","cli_community":")"
                        << std::string(32, 'c')
                        << R"(","port_trap":10162,"trap_addr2":"10.1.2.3"})";
    const uint16_t port = start({}, 2);
    const std::string before = tup::isoUtcNow();
    send({"--devinfo", "1,2,3,4,5,6,0xc0ffee,de", "--gpio", "1,2,3,0", "--netcfg",
          "0,1,192.168.10.1,255.255.0.0,192.168.10.254,1.1.1.1,9.9.9.9", "--snmpcfg", snmp,
          "--modbuscfg", "0,5020", "--item", "7,8,9,10,float:-2.25", "--item", "7,9,0,1,u16:513",
          "--seqno", "41"},
         port);
    send({"--gpio", "0,0,0,0", "--seqno", "42", "--checksum", "0xABCD"}, port);
    auto docs = finish();
    const std::string after = tup::isoUtcNow();
    ASSERT_EQ(docs.size(), 2u);

    const cJSON* d = docs[0].get();
    EXPECT_TRUE(flag(d, "accepted"));
    // Receive time in UTC from the real clock: ISO texts of one length sort by time.
    EXPECT_EQ(str(d, "time").size(), before.size());
    EXPECT_GE(str(d, "time"), before);
    EXPECT_LE(str(d, "time"), after);
    EXPECT_TRUE(flag(d, "first_contact"));
    EXPECT_EQ(str(d, "sender"), "127.0.0.1");
    EXPECT_EQ(num(at(d, "header"), "seqno"), 41);
    EXPECT_EQ(num(at(d, "header"), "sect_count"), 6);
    EXPECT_EQ(num(at(d, "header"), "length"), 14 + 28 + 8 + 26 + 580 + 8 + 4 + 12 + 10);
    ASSERT_EQ(cJSON_GetArraySize(at(d, "sections")), 6);

    const cJSON* dev = fieldsOf(d, 0);
    EXPECT_EQ(num(dev, "swbuild"), 6);
    EXPECT_EQ(num(dev, "serial"), 0xc0ffee);
    EXPECT_EQ(str(dev, "serial_hex"), "00c0ffee");
    EXPECT_EQ(str(dev, "lang"), "de");
    const cJSON* gpio = fieldsOf(d, 1);
    EXPECT_EQ(num(gpio, "ledgood"), 1);
    EXPECT_EQ(num(gpio, "ledwarn"), 2);
    EXPECT_EQ(num(gpio, "ledcrit"), 3);
    EXPECT_EQ(num(gpio, "buzzer"), 0);
    const cJSON* net = fieldsOf(d, 2);
    EXPECT_EQ(num(net, "tessal"), 0);
    EXPECT_EQ(num(net, "dhcp"), 1);
    EXPECT_EQ(str(net, "addr"), "192.168.10.1");
    EXPECT_EQ(str(net, "mask"), "255.255.0.0");
    EXPECT_EQ(str(net, "dns2"), "9.9.9.9");
    const cJSON* sn = fieldsOf(d, 3);
    EXPECT_EQ(str(sn, "version"), "V3NOPRIV");
    EXPECT_EQ(str(sn, "nopriv_hash"), "SHA");
    EXPECT_EQ(str(sn, "priv_hash"), "UNDEF");
    EXPECT_EQ(str(sn, "priv_algo"), "DES");
    EXPECT_EQ(num(sn, "options"), 255);
    EXPECT_EQ(str(sn, "ro_user"), "public");
    EXPECT_EQ(str(sn, "cli_community"), std::string(32, 'c'));
    EXPECT_EQ(num(sn, "port"), 161);
    EXPECT_EQ(num(sn, "port_trap"), 10162);
    EXPECT_EQ(str(sn, "trap_addr1"), "0.0.0.0");
    EXPECT_EQ(str(sn, "trap_addr2"), "10.1.2.3");
    const cJSON* mb = fieldsOf(d, 4);
    EXPECT_EQ(num(mb, "tcp_status"), 0);
    EXPECT_EQ(num(mb, "tcp_port"), 5020);
    const cJSON* items = at(fieldsOf(d, 5), "items");
    ASSERT_EQ(cJSON_GetArraySize(items), 2);
    const cJSON* i0 = cJSON_GetArrayItem(items, 0);
    EXPECT_EQ(num(i0, "ci_class"), 7);
    EXPECT_EQ(num(i0, "ci_field"), 8);
    EXPECT_EQ(num(i0, "instance"), 9);
    EXPECT_EQ(num(i0, "ci_type"), 10);
    EXPECT_EQ(num(i0, "datalen"), 4);
    EXPECT_EQ(str(i0, "data"), "000010c0"); // -2.25f little-endian
    EXPECT_EQ(num(i0, "float"), -2.25);
    const cJSON* i1 = cJSON_GetArrayItem(items, 1);
    EXPECT_EQ(str(i1, "data"), "0102");
    EXPECT_EQ(cJSON_GetObjectItem(i1, "float"), nullptr) << "only 4-byte data reads as float";

    const cJSON* bad = docs[1].get();
    EXPECT_FALSE(flag(bad, "accepted"));
    const cJSON* drop = at(bad, "dropped");
    EXPECT_EQ(num(drop, "check"), 3);
    EXPECT_EQ(str(drop, "reason").rfind("Invalid checksum (0xabcd != 0x", 0), 0u)
        << str(drop, "reason");
    EXPECT_NE(str(drop, "reason").find("). Drop frame"), std::string::npos);
}

TEST_F(TupWatch, RepeatsTheReceiverChecksWithItsOwnAttachment)
{
    const uint16_t port = start({"--timeout", "0"}, 5);
    UdpSocket other("127.0.0.2");
    UdpSocket first("127.0.0.1");
    ASSERT_TRUE(other.ok() && first.ok());
    ASSERT_TRUE(first.sendTo(frame(9), port));
    ASSERT_TRUE(watch->waitForLines(1));
    ASSERT_TRUE(other.sendTo(frame(10), port)); // valid, but not the attended sender
    ASSERT_TRUE(watch->waitForLines(2));
    ASSERT_TRUE(first.sendTo(frame(9), port)); // repeated
    ASSERT_TRUE(watch->waitForLines(3));
    ASSERT_TRUE(first.sendTo(frame(5), port)); // back in the sequence
    ASSERT_TRUE(watch->waitForLines(4));
    ASSERT_TRUE(first.sendTo(frame(0), port)); // smaller again: accepted
    auto docs = finish();
    ASSERT_EQ(docs.size(), 5u);
    EXPECT_TRUE(flag(docs[0].get(), "first_contact"));
    EXPECT_EQ(num(at(docs[1].get(), "dropped"), "check"), 2);
    EXPECT_EQ(str(at(docs[1].get(), "dropped"), "reason"),
              "Packet received from an unknown sender (127.0.0.2, attended 127.0.0.1)");
    EXPECT_EQ(str(at(docs[2].get(), "dropped"), "reason"), "Repeated packet. Drop frame");
    EXPECT_TRUE(flag(docs[3].get(), "accepted"));
    EXPECT_FALSE(flag(docs[3].get(), "first_contact"));
    const cJSON* log = at(docs[3].get(), "log");
    ASSERT_GE(cJSON_GetArraySize(log), 2);
    EXPECT_STREQ(cJSON_GetArrayItem(log, 0)->valuestring,
                 "Back in the sequence, probable reboot of the KxP");
    EXPECT_STREQ(cJSON_GetArrayItem(log, 1)->valuestring, "(5 < 9)");
    EXPECT_TRUE(flag(docs[4].get(), "accepted"));
}

TEST_F(TupWatch, SilenceDetachesTheSenderSoAnotherCanAttach)
{
    const uint16_t port = start({"--timeout", "1"}, 2);
    UdpSocket a("127.0.0.2"), b("127.0.0.1");
    ASSERT_TRUE(a.sendTo(frame(1), port));
    ASSERT_TRUE(watch->waitForLines(1));
    ASSERT_TRUE(watch->waitForLines(2, 5000)) << "no time-out event";
    ASSERT_TRUE(b.sendTo(frame(1), port));
    auto docs = finish();
    ASSERT_EQ(docs.size(), 3u); // the count covers datagrams, not events
    EXPECT_EQ(str(docs[1].get(), "event"), "timeout");
    EXPECT_EQ(str(docs[1].get(), "message"),
              "No packet received within the 1s window, unregister 127.0.0.2");
    EXPECT_TRUE(flag(docs[2].get(), "accepted"));
    EXPECT_TRUE(flag(docs[2].get(), "first_contact"));
    EXPECT_EQ(str(docs[2].get(), "sender"), "127.0.0.1");
}

TEST_F(TupWatch, SurvivesMalformedDatagramsAndPrintsValidJsonForEach)
{
    std::vector<std::vector<uint8_t>> bad;
    bad.push_back({});
    bad.push_back({0xCE});
    bad.push_back({0xCE, 0x01, 0x02});
    // a valid checksum over a header cut after sect_count
    std::vector<uint8_t> cut{0xCE, 1, 10, 0, 8, 0, 1, 0, 1, 0, 0, 0};
    const uint16_t crc = tup::crc16(tup::TUP_POLY, 0, cut.data(), cut.size());
    cut.push_back(crc & 0xFF);
    cut.push_back(crc >> 8);
    bad.push_back(cut);
    // accepted frames with hostile sections: huge counts, lengths and texts
    // that are not UTF-8
    {
        tup::FrameBuilder b;
        b.setSeqno(1);
        b.setTimestamp(1);
        b.addRawSection(tup::SECT_CORE, {1, 0, 2, 0, 3, 4, 0xFF, 0xFF, 9});
        b.forceSectCount(0xFFFF);
        bad.push_back(b.build());
    }
    {
        tup::FrameBuilder b;
        b.setSeqno(2);
        b.setTimestamp(1);
        tup::devinfo_s d;
        d.lang = "\xff\xfe\x01\"\\";
        b.addDevInfo(d);
        b.addRawSection(0x10, std::vector<uint8_t>(24, 0), uint16_t{0xFFFF});
        b.addRawSection(0x30, {}, uint16_t{2});
        b.forceSectOffset(8);
        bad.push_back(b.build());
    }
    std::vector<uint8_t> noise(1500);
    for (size_t i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<uint8_t>(i * 151 + 7);
    noise[0] = 0xCE;
    bad.push_back(noise);

    const uint16_t port = start({}, bad.size());
    UdpSocket tx;
    for (size_t i = 0; i < bad.size(); ++i) {
        ASSERT_TRUE(tx.sendTo(bad[i], port));
        ASSERT_TRUE(watch->waitForLines(i + 1)) << "no document for datagram " << i;
    }
    const std::string out = watch->out();
    auto docs = finish();
    ASSERT_EQ(docs.size(), bad.size());
    EXPECT_EQ(num(at(docs[0].get(), "dropped"), "check"), 1);
    EXPECT_EQ(str(at(docs[3].get(), "dropped"), "reason"), "Frame too short. Drop frame");
    EXPECT_TRUE(flag(docs[4].get(), "accepted"));
    EXPECT_EQ(str(cJSON_GetArrayItem(at(docs[4].get(), "sections"), 0), "status"), "decode_failed");
    EXPECT_TRUE(flag(docs[5].get(), "accepted"));

    // The whole output is valid UTF-8 JSON for a strict parser too.
    const std::string file = dir + "/all.jsonl";
    std::ofstream(file) << out;
    std::string perr;
    EXPECT_EQ(run("/usr/bin/python3",
                  {"-c", "import json,sys\nfor l in open(sys.argv[1],'rb'): json.loads(l)", file},
                  dir, nullptr, &perr),
              0)
        << perr;
}

TEST_F(TupWatch, SettingsFileUnderTessalRootAndOptionsOverIt)
{
    mkdir((dir + "/usr").c_str(), 0700);
    mkdir((dir + "/usr/local").c_str(), 0700);
    mkdir((dir + "/usr/local/etc").c_str(), 0700);
    const std::string ini = dir + "/usr/local/etc/tupwatch.ini";
    std::ofstream(ini) << "; sample\n[Other]\nUdpPort=1\n[Network]\nUdpAddr = 127.0.0.1\n"
                          "UdpPort=0\nUdpTimeout=3\n";
    const std::vector<std::pair<std::string, std::string>> env{{"TESSAL_ROOT", dir}};
    {
        Child w(TUPWATCH_BIN, {"--count", "1"}, dir, env);
        ASSERT_TRUE(w.waitForStderr("listening on 127.0.0.1:")) << w.err();
        w.terminate();
        EXPECT_EQ(w.wait(), 0);
    }
    {
        // the command line wins over the file
        Child w(TUPWATCH_BIN, {"--address", "127.0.0.2", "--count", "1"}, dir, env);
        ASSERT_TRUE(w.waitForStderr("listening on 127.0.0.2:")) << w.err();
        w.terminate();
        EXPECT_EQ(w.wait(), 0);
    }
    std::ofstream(ini) << "[Network]\nUdpPort=99999\n";
    std::string err;
    EXPECT_EQ(run(TUPWATCH_BIN, {}, dir, nullptr, &err, env), 2);
    EXPECT_NE(err.find("UdpPort"), std::string::npos) << err;
    EXPECT_EQ(run(TUPWATCH_BIN, {"--config", dir + "/nope.ini"}, dir, nullptr, &err, env), 2);
    EXPECT_NE(err.find("nope.ini"), std::string::npos) << err;
    EXPECT_EQ(run(TUPWATCH_BIN, {"--port", "x"}, dir, nullptr, &err, env), 2);
    EXPECT_EQ(run(TUPWATCH_BIN, {"--bogus"}, dir, nullptr, &err, env), 2);
    // The refused letter is named, not the argument before it.
    EXPECT_EQ(run(TUPWATCH_BIN, {"-zP"}, dir, nullptr, &err, env), 2);
    EXPECT_NE(err.find("unknown option '-z'"), std::string::npos) << err;
    EXPECT_EQ(run(TUPWATCH_BIN, {"--address", "localhost"}, dir, nullptr, &err, env), 2);

    // No file at all: the defaults (all addresses).
    std::remove(ini.c_str());
    Child w(TUPWATCH_BIN, {"--port", "0", "--count", "1"}, dir, env);
    ASSERT_TRUE(w.waitForStderr("listening on 0.0.0.0:")) << w.err();
    w.terminate();
    EXPECT_EQ(w.wait(), 0);
}
