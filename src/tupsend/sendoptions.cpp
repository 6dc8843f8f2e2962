#include "sendoptions.h"

#include "snmpjson.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <limits>

namespace tupsend
{

namespace
{

// Decimal, or hexadecimal with 0x; no sign, no trailing characters.
bool parseUnsigned(const std::string& text, unsigned long long max, unsigned long long& out)
{
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ')
        return false;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v > max)
        return false;
    out = v;
    return true;
}

bool parseSigned(const std::string& text, long long min, long long max, long long& out)
{
    if (text.empty() || text[0] == ' ')
        return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v < min || v > max)
        return false;
    out = v;
    return true;
}

template <typename T> bool number(const std::string& text, T& out)
{
    unsigned long long v = 0;
    if (!parseUnsigned(text, std::numeric_limits<T>::max(), v))
        return false;
    out = static_cast<T>(v);
    return true;
}

// Splits at commas into at most maxFields fields; the last one keeps any
// further commas (text values may contain them).
std::vector<std::string> split(const std::string& text, size_t maxFields)
{
    std::vector<std::string> out;
    size_t start = 0;
    while (out.size() + 1 < maxFields) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos)
            break;
        out.push_back(text.substr(start, comma - start));
        start = comma + 1;
    }
    out.push_back(text.substr(start));
    return out;
}

bool flag(const std::string& text, bool& out)
{
    if (text == "1" || text == "true" || text == "on" || text == "yes") {
        out = true;
        return true;
    }
    if (text == "0" || text == "false" || text == "off" || text == "no") {
        out = false;
        return true;
    }
    return false;
}

template <typename T> void putLE(std::vector<uint8_t>& out, T v, size_t n)
{
    const auto u = static_cast<unsigned long long>(v);
    for (size_t i = 0; i < n; ++i)
        out.push_back(static_cast<uint8_t>((u >> (8 * i)) & 0xFF));
}

bool parseDevInfo(const std::string& arg, section_option_s& s, std::string& error)
{
    auto f = split(arg, 8);
    tup::devinfo_s& d = s.devinfo;
    if (f.size() != 8) {
        error = "--devinfo needs TYPE,HWMAJOR,HWMINOR,SWMAJOR,SWMINOR,SWBUILD,SERIAL,LANG";
        return false;
    }
    uint16_t* fields[] = {&d.type, &d.hwmajor, &d.hwminor, &d.swmajor, &d.swminor, &d.swbuild};
    for (size_t i = 0; i < 6; ++i)
        if (!number(f[i], *fields[i])) {
            error = "--devinfo: '" + f[i] + "' is not a number from 0 to 65535";
            return false;
        }
    if (!number(f[6], d.serial)) {
        error = "--devinfo: serial '" + f[6] + "' is not a 32-bit number";
        return false;
    }
    if (f[7].size() > tup::TUP_LANG_SIZE) {
        error = "--devinfo: language '" + f[7] + "' is longer than 8 characters";
        return false;
    }
    d.lang = f[7];
    s.type = tup::SECT_DEVINFO;
    return true;
}

bool parseGpio(const std::string& arg, section_option_s& s, std::string& error)
{
    auto f = split(arg, 4);
    uint8_t* codes[] = {&s.gpio.good, &s.gpio.warning, &s.gpio.critical, &s.gpio.buzzer};
    if (f.size() != 4) {
        error = "--gpio needs GOOD,WARNING,CRITICAL,BUZZER state codes";
        return false;
    }
    for (size_t i = 0; i < 4; ++i)
        if (!number(f[i], *codes[i])) {
            error = "--gpio: '" + f[i] + "' is not a state code from 0 to 255";
            return false;
        }
    s.type = tup::SECT_GPIOSTATE;
    return true;
}

bool parseNetCfg(const std::string& arg, section_option_s& s, std::string& error)
{
    auto f = split(arg, 7);
    tup::netcfg_s& n = s.netcfg;
    if (f.size() != 7) {
        error = "--netcfg needs TESSAL,DHCP,ADDRESS,MASK,GATEWAY,DNS1,DNS2";
        return false;
    }
    if (!flag(f[0], n.tessal) || !flag(f[1], n.dhcp)) {
        error = "--netcfg: the tessal and dhcp flags must be 0 or 1";
        return false;
    }
    uint32_t* addrs[] = {&n.ip, &n.mask, &n.gateway, &n.dns1, &n.dns2};
    for (size_t i = 0; i < 5; ++i)
        if (!tup::parseIPv4(f[2 + i], *addrs[i])) {
            error = "--netcfg: '" + f[2 + i] + "' is not a dotted IPv4 address";
            return false;
        }
    s.type = tup::SECT_NETCFG;
    return true;
}

bool parseModbusCfg(const std::string& arg, section_option_s& s, std::string& error)
{
    auto f = split(arg, 2);
    if (f.size() != 2 || !flag(f[0], s.modbuscfg.tcp_status) ||
        !number(f[1], s.modbuscfg.tcp_port)) {
        error = "--modbuscfg needs STATUS (0 or 1),PORT (0 to 65535)";
        return false;
    }
    s.type = tup::SECT_MODBUSCFG;
    return true;
}

bool parseItem(const std::string& arg, tup::core_tmp& item, std::string& error)
{
    auto f = split(arg, 5);
    if (f.size() != 5) {
        error = "--item needs CLASS,FIELD,INSTANCE,TYPE,VALUE";
        return false;
    }
    if (!number(f[0], item.ci_class) || !number(f[1], item.ci_field)) {
        error = "--item: class and field must be numbers from 0 to 65535";
        return false;
    }
    if (!number(f[2], item.instance) || !number(f[3], item.ci_type)) {
        error = "--item: instance and type must be numbers from 0 to 255";
        return false;
    }
    std::vector<uint8_t> wire;
    if (!parseCoreValue(f[4], wire, error)) {
        error = "--item: " + error;
        return false;
    }
    if (wire.size() > 0xFFFF) {
        error = "--item: value longer than 65535 bytes";
        return false;
    }
    item.datalen = static_cast<uint16_t>(wire.size());
    item.baData.assign(wire.rbegin(), wire.rend());
    return true;
}

bool parseRawSection(const std::string& arg, section_option_s& s, std::string& error)
{
    auto f = split(arg, 3);
    if (f.size() < 2) {
        error = "--raw-section needs TYPE,HEXBYTES[,LENGTH]";
        return false;
    }
    if (!number(f[0], s.type)) {
        error = "--raw-section: type '" + f[0] + "' is not a number from 0 to 65535";
        return false;
    }
    if (!tup::parseHex(f[1], s.payload) || s.payload.size() > 0xFFFF - 4) {
        error = "--raw-section: '" + f[1] + "' is not a run of hexadecimal bytes";
        return false;
    }
    if (f.size() == 3) {
        uint16_t len = 0;
        if (!number(f[2], len)) {
            error = "--raw-section: length '" + f[2] + "' is not a number from 0 to 65535";
            return false;
        }
        s.rawLength = len;
    }
    s.raw = true;
    return true;
}

enum Opt {
    O_DEVINFO = 1000,
    O_GPIO,
    O_NETCFG,
    O_SNMPCFG,
    O_MODBUSCFG,
    O_CORE,
    O_ITEM,
    O_RAW,
    O_SEQNO,
    O_TIMESTAMP,
    O_CHECKSUM,
    O_LENGTH,
    O_SECTOFFSET,
    O_SECTCOUNT,
    O_VERSION,
    O_MAGIC,
    O_FORMAT,
};

const option LONG_OPTIONS[] = {
    {"help", no_argument, nullptr, 'h'},
    {"host", required_argument, nullptr, 'H'},
    {"port", required_argument, nullptr, 'p'},
    {"count", required_argument, nullptr, 'c'},
    {"interval", required_argument, nullptr, 'i'},
    {"output", required_argument, nullptr, 'o'},
    {"verbose", no_argument, nullptr, 'v'},
    {"format", required_argument, nullptr, O_FORMAT},
    {"devinfo", required_argument, nullptr, O_DEVINFO},
    {"gpio", required_argument, nullptr, O_GPIO},
    {"gpiostate", required_argument, nullptr, O_GPIO},
    {"netcfg", required_argument, nullptr, O_NETCFG},
    {"snmpcfg", required_argument, nullptr, O_SNMPCFG},
    {"modbuscfg", required_argument, nullptr, O_MODBUSCFG},
    {"core", no_argument, nullptr, O_CORE},
    {"item", required_argument, nullptr, O_ITEM},
    {"raw-section", required_argument, nullptr, O_RAW},
    {"seqno", required_argument, nullptr, O_SEQNO},
    {"timestamp", required_argument, nullptr, O_TIMESTAMP},
    {"checksum", required_argument, nullptr, O_CHECKSUM},
    {"length", required_argument, nullptr, O_LENGTH},
    {"sect-offset", required_argument, nullptr, O_SECTOFFSET},
    {"sect-count", required_argument, nullptr, O_SECTCOUNT},
    {"version", required_argument, nullptr, O_VERSION},
    {"magic", required_argument, nullptr, O_MAGIC},
    {nullptr, 0, nullptr, 0},
};

// The option getopt refused, as the user typed it. Inside a cluster of
// short options ("-xv") optind has not moved on yet, so the previous
// argument is not the culprit: the refused letter is in optopt.
std::string refusedOption(int argc, char** argv)
{
    const std::string previous = optind > 0 && optind - 1 < argc ? argv[optind - 1] : "";
    if (previous.rfind("--", 0) == 0)
        return previous.substr(0, previous.find('='));
    if (optopt > 0 && optopt < 256)
        return std::string("-") + static_cast<char>(optopt);
    return previous;
}

template <typename T>
bool headerValue(const char* name, const char* arg, std::optional<T>& out, std::string& error)
{
    T v{};
    if (!number(arg, v)) {
        error = std::string("--") + name + ": '" + arg + "' is not a number from 0 to " +
                std::to_string(static_cast<unsigned long long>(std::numeric_limits<T>::max()));
        return false;
    }
    out = v;
    return true;
}

} // namespace

bool parseCoreValue(const std::string& text, std::vector<uint8_t>& wire, std::string& error)
{
    const size_t colon = text.find(':');
    if (colon == std::string::npos) {
        error = "value '" + text +
                "' needs a kind: hex:, u8:, s8:, u16:, s16:, u32:, s32:, "
                "float:, string: or bool:";
        return false;
    }
    const std::string kind = text.substr(0, colon);
    const std::string v = text.substr(colon + 1);
    std::vector<uint8_t> out;
    unsigned long long u = 0;
    long long s = 0;
    bool ok = true;
    if (kind == "hex")
        ok = tup::parseHex(v, out);
    else if (kind == "u8" && (ok = parseUnsigned(v, 0xFF, u)))
        putLE(out, u, 1);
    else if (kind == "u16" && (ok = parseUnsigned(v, 0xFFFF, u)))
        putLE(out, u, 2);
    else if (kind == "u32" && (ok = parseUnsigned(v, 0xFFFFFFFFull, u)))
        putLE(out, u, 4);
    else if (kind == "s8" && (ok = parseSigned(v, -128, 127, s)))
        putLE(out, s, 1);
    else if (kind == "s16" && (ok = parseSigned(v, -32768, 32767, s)))
        putLE(out, s, 2);
    else if (kind == "s32" && (ok = parseSigned(v, INT32_MIN, INT32_MAX, s)))
        putLE(out, s, 4);
    else if (kind == "float") {
        char* end = nullptr;
        errno = 0;
        float f = v.empty() ? 0.0f : std::strtof(v.c_str(), &end);
        ok = !v.empty() && end != nullptr && *end == '\0' && errno == 0;
        if (ok) {
            uint32_t bits;
            std::memcpy(&bits, &f, sizeof bits);
            putLE(out, bits, 4);
        }
    } else if (kind == "string")
        out.assign(v.begin(), v.end());
    else if (kind == "bool") {
        bool b = false;
        ok = flag(v, b);
        if (ok)
            out.push_back(b ? 1 : 0);
    } else if (kind != "u8" && kind != "u16" && kind != "u32" && kind != "s8" && kind != "s16" &&
               kind != "s32") {
        error = "unknown value kind '" + kind + "'";
        return false;
    }
    if (!ok) {
        error = "'" + v + "' is not a valid " + kind + " value";
        return false;
    }
    wire = std::move(out);
    return true;
}

bool parseOptions(int argc, char** argv, send_options_s& opts, std::string& error)
{
    optind = 1;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":hVH:p:c:i:o:v", LONG_OPTIONS, nullptr)) != -1) {
        const std::string arg = optarg ? optarg : "";
        section_option_s sect;
        switch (c) {
        case 'h':
            opts.help = true;
            break;
        case 'V':
            opts.showVersion = true;
            break;
        case 'H':
            if (arg.empty()) {
                error = "--host needs a host name or address";
                return false;
            }
            opts.host = arg;
            break;
        case 'p':
            if (!number(arg, opts.port) || opts.port == 0) {
                error = "--port: '" + arg + "' is not a port from 1 to 65535";
                return false;
            }
            break;
        case 'c':
            if (!number(arg, opts.count)) {
                error = "--count: '" + arg + "' is not a number (0 repeats until interrupted)";
                return false;
            }
            break;
        case 'i': {
            char* end = nullptr;
            errno = 0;
            double d = std::strtod(arg.c_str(), &end);
            if (arg.empty() || *end != '\0' || errno != 0 || !(d >= 0) || d > 86400) {
                error = "--interval: '" + arg + "' is not a number of seconds from 0 to 86400";
                return false;
            }
            opts.interval = d;
            break;
        }
        case 'o':
            if (arg.empty()) {
                error = "--output needs a file name or -";
                return false;
            }
            opts.output = arg;
            break;
        case 'v':
            opts.verbose = true;
            break;
        case O_FORMAT:
            if (arg == "hex")
                opts.format = OutputFormat::Hex;
            else if (arg == "raw")
                opts.format = OutputFormat::Raw;
            else {
                error = "--format: '" + arg + "' is neither hex nor raw";
                return false;
            }
            break;
        case O_DEVINFO:
            if (!parseDevInfo(arg, sect, error))
                return false;
            opts.sections.push_back(sect);
            break;
        case O_GPIO:
            if (!parseGpio(arg, sect, error))
                return false;
            opts.sections.push_back(sect);
            break;
        case O_NETCFG:
            if (!parseNetCfg(arg, sect, error))
                return false;
            opts.sections.push_back(sect);
            break;
        case O_SNMPCFG:
            if (!readSnmpJson(arg, sect.snmpcfg, error))
                return false;
            sect.type = tup::SECT_SNMPCFG;
            opts.sections.push_back(sect);
            break;
        case O_MODBUSCFG:
            if (!parseModbusCfg(arg, sect, error))
                return false;
            opts.sections.push_back(sect);
            break;
        case O_CORE:
            sect.type = tup::SECT_CORE;
            opts.sections.push_back(sect);
            break;
        case O_ITEM: {
            tup::core_tmp item;
            if (!parseItem(arg, item, error))
                return false;
            if (opts.sections.empty() || opts.sections.back().type != tup::SECT_CORE ||
                opts.sections.back().raw) {
                sect.type = tup::SECT_CORE;
                opts.sections.push_back(sect);
            }
            opts.sections.back().items.push_back(item);
            break;
        }
        case O_RAW:
            if (!parseRawSection(arg, sect, error))
                return false;
            opts.sections.push_back(sect);
            break;
        case O_SEQNO:
            if (!headerValue("seqno", optarg, opts.seqno, error))
                return false;
            break;
        case O_TIMESTAMP:
            if (!headerValue("timestamp", optarg, opts.timestamp, error))
                return false;
            break;
        case O_CHECKSUM:
            if (!headerValue("checksum", optarg, opts.checksum, error))
                return false;
            break;
        case O_LENGTH:
            if (!headerValue("length", optarg, opts.length, error))
                return false;
            break;
        case O_SECTOFFSET:
            if (!headerValue("sect-offset", optarg, opts.sectOffset, error))
                return false;
            break;
        case O_SECTCOUNT:
            if (!headerValue("sect-count", optarg, opts.sectCount, error))
                return false;
            break;
        case O_VERSION:
            if (!headerValue("version", optarg, opts.version, error))
                return false;
            break;
        case O_MAGIC:
            if (!headerValue("magic", optarg, opts.magic, error))
                return false;
            break;
        case ':':
            error = "option '" + refusedOption(argc, argv) + "' needs a value";
            return false;
        default:
            error = "unknown option '" + refusedOption(argc, argv) + "'";
            return false;
        }
    }
    if (optind < argc) {
        error = std::string("unexpected argument '") + argv[optind] + "'";
        return false;
    }
    return true;
}

const char* usageText()
{
    return R"(Usage: tupsend [OPTION]... [SECTION]...
Builds one TUP frame from the sections given, in the order given, and sends it
by UDP (or writes it with --output).

Destination and repetition:
  -H, --host HOST        host name or IPv4 address to send to (127.0.0.1);
                         broadcast addresses are allowed
  -p, --port PORT        UDP port (9876)
  -c, --count N          number of frames to send (1); 0 sends until interrupted
  -i, --interval SECS    seconds between frames, fractions allowed (1)
  -o, --output FILE      write the frame bytes to FILE instead of sending;
                         - is standard output
      --format hex|raw   what --output writes: one line of hexadecimal per frame
                         (default) or the bytes themselves
  -v, --verbose          print one line per frame sent on standard error
  -h, --help             show this help
  -V                     show the program's version (--version N sets the
                         frame's version field)

Sections (any number, any order, the same type more than once):
  --devinfo TYPE,HWMAJOR,HWMINOR,SWMAJOR,SWMINOR,SWBUILD,SERIAL,LANG
                         device identity; LANG is at most 8 characters ("en")
  --gpio GOOD,WARNING,CRITICAL,BUZZER
                         indicator state codes: 0 off, 1 on, 2 slow, 3 fast blink
  --netcfg TESSAL,DHCP,ADDRESS,MASK,GATEWAY,DNS1,DNS2
                         flags 0 or 1, addresses as dotted IPv4 text
  --snmpcfg FILE         SNMP settings from a JSON file (see the documentation)
  --modbuscfg STATUS,PORT
                         Modbus TCP serving 0 or 1 and its TCP port
  --core                 start a Core section (it may stay empty)
  --item CLASS,FIELD,INSTANCE,TYPE,VALUE
                         a Core data item, added to the Core section just before
                         it (one is started if needed); VALUE is KIND:TEXT with
                         KIND hex, u8, s8, u16, s16, u32, s32, float, string or
                         bool, written little-endian ("float:21.5", "hex:0a0b")
  --raw-section TYPE,HEXBYTES[,LENGTH]
                         any section type with the payload given in hex; LENGTH
                         forces its length field

Header (numbers decimal or 0x hexadecimal):
  --seqno N              sequence number of the first frame, +1 per frame
                         (default: the current time in milliseconds, 32 bits)
  --timestamp N          timestamp of every frame (default: now, per frame)
Bad frames for tests:
  --checksum N  --length N  --sect-offset N  --sect-count N  --version N  --magic N
                         write this value instead of the right one

Exit status: 0 sent, 1 sending or writing failed, 2 bad option or value (nothing sent).
)";
}

} // namespace tupsend
