#include "watchconfig.h"

#include "tessalpaths.h"
#include "tupbytes.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <getopt.h>
#include <sys/stat.h>

namespace Tessal
{

namespace
{

std::string trim(const std::string& s)
{
    const char* ws = " \t\r\n";
    const size_t a = s.find_first_not_of(ws);
    if (a == std::string::npos)
        return "";
    const size_t b = s.find_last_not_of(ws);
    return s.substr(a, b - a + 1);
}

bool unsignedValue(const std::string& text, unsigned long max, unsigned long& out)
{
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long v = std::strtoul(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v > max)
        return false;
    out = v;
    return true;
}

bool setAddress(const std::string& v, watch_config_s& cfg, std::string& error)
{
    uint32_t host = 0;
    if (!tup::parseIPv4(v, host)) {
        error = "'" + v + "' is not a dotted IPv4 address";
        return false;
    }
    cfg.address = v;
    return true;
}

bool setPort(const std::string& v, watch_config_s& cfg, std::string& error)
{
    unsigned long p = 0;
    if (!unsignedValue(v, 65535, p)) {
        error = "'" + v + "' is not a port from 0 to 65535";
        return false;
    }
    cfg.port = static_cast<uint16_t>(p);
    return true;
}

bool setTimeout(const std::string& v, watch_config_s& cfg, std::string& error)
{
    unsigned long t = 0;
    if (!unsignedValue(v, 65535, t)) {
        error = "'" + v + "' is not a number of seconds from 0 to 65535";
        return false;
    }
    cfg.timeout = static_cast<unsigned>(t);
    return true;
}

} // namespace

std::string defaultConfigPath()
{
    const std::string path = TESSAL_PATH_TUPWATCH_INI;
    const char* root = std::getenv("TESSAL_ROOT");
    if (root != nullptr && *root != '\0')
        return std::string(root) + path;
    return path;
}

bool loadWatchIni(const std::string& path, bool mustExist, watch_config_s& cfg, bool& found,
                  std::string& error)
{
    found = false;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        if (!mustExist && errno == ENOENT)
            return true;
        error = "cannot read settings file '" + path + "': " + std::strerror(errno);
        return false;
    }
    std::ifstream in(path);
    if (!in) {
        error = "cannot read settings file '" + path + "'";
        return false;
    }
    found = true;
    std::string line, group;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        line = trim(line);
        if (line.empty() || line[0] == ';' || line[0] == '#')
            continue;
        if (line[0] == '[') {
            const size_t close = line.find(']');
            group = close == std::string::npos ? "" : trim(line.substr(1, close - 1));
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos || group != "Network")
            continue; // other groups and stray lines belong to no one here
        const std::string key = trim(line.substr(0, eq));
        const std::string value = trim(line.substr(eq + 1));
        bool ok = true;
        if (key == "UdpAddr")
            ok = value.empty() || setAddress(value, cfg, error);
        else if (key == "UdpPort")
            ok = setPort(value, cfg, error);
        else if (key == "UdpTimeout")
            ok = setTimeout(value, cfg, error);
        if (!ok) {
            error = path + ":" + std::to_string(lineNo) + ": " + key + ": " + error;
            return false;
        }
    }
    return true;
}

namespace
{
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

const option OPTIONS[] = {
    {"help", no_argument, nullptr, 'h'},
    {"config", required_argument, nullptr, 'c'},
    {"address", required_argument, nullptr, 'a'},
    {"port", required_argument, nullptr, 'p'},
    {"timeout", required_argument, nullptr, 't'},
    {"count", required_argument, nullptr, 'n'},
    {"pretty", no_argument, nullptr, 'P'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};
const char* SHORT = ":hVc:a:p:t:n:";
} // namespace

bool parseWatchOptions(int argc, char** argv, watch_config_s& cfg, std::string& error)
{
    // First pass: only the settings file, which the other options override.
    std::string config;
    bool explicitConfig = false;
    optind = 1;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, SHORT, OPTIONS, nullptr)) != -1) {
        if (c == 'c') {
            config = optarg;
            explicitConfig = true;
        } else if (c == ':') {
            error = "option '" + refusedOption(argc, argv) + "' needs a value";
            return false;
        } else if (c == '?') {
            error = "unknown option '" + refusedOption(argc, argv) + "'";
            return false;
        } else if (c == 'h') {
            cfg.help = true;
            return true;
        } else if (c == 'V') {
            cfg.showVersion = true;
            return true;
        }
    }
    if (optind < argc) {
        error = std::string("unexpected argument '") + argv[optind] + "'";
        return false;
    }
    cfg.configPath = explicitConfig ? config : defaultConfigPath();
    bool found = false;
    if (!loadWatchIni(cfg.configPath, explicitConfig, cfg, found, error))
        return false;

    optind = 1;
    while ((c = getopt_long(argc, argv, SHORT, OPTIONS, nullptr)) != -1) {
        const std::string arg = optarg ? optarg : "";
        bool ok = true;
        switch (c) {
        case 'a':
            ok = setAddress(arg, cfg, error);
            break;
        case 'p':
            ok = setPort(arg, cfg, error);
            break;
        case 't':
            ok = setTimeout(arg, cfg, error);
            break;
        case 'n': {
            unsigned long n = 0;
            ok = unsignedValue(arg, static_cast<unsigned long>(-1), n);
            if (ok)
                cfg.count = n;
            else
                error = "'" + arg + "' is not a count";
            break;
        }
        case 'P':
            cfg.pretty = true;
            break;
        default:
            break;
        }
        if (!ok) {
            error = std::string(argv[optind - 1]) + ": " + error;
            return false;
        }
    }
    return true;
}

const char* watchUsageText()
{
    return R"(Usage: tupwatch [OPTION]...
Listens for TUP frames on UDP, checks each datagram like the unit's receiver
(with its own sender attachment and sequence tracking) and prints one JSON
document per datagram on standard output.

  -c, --config FILE    settings file (default )" TESSAL_PATH_TUPWATCH_INI R"(,
                       under $TESSAL_ROOT when set; a missing default file
                       means the defaults)
  -a, --address ADDR   IPv4 address to listen on (0.0.0.0: all addresses)
  -p, --port PORT      UDP port (9876); 0 picks a free port
  -t, --timeout SECS   silence after which the attended sender is detached
                       (10); 0 never detaches
  -n, --count N        exit after N datagrams (0: run until interrupted)
      --pretty         indented JSON instead of one line per document
  -h, --help           show this help
  -V, --version        show the program's version

Settings file, group [Network]: UdpAddr, UdpPort, UdpTimeout.
The address actually bound is reported on standard error as
"tupwatch: listening on ADDR:PORT".
Exit status: 0 normal end, 1 the socket could not be opened, 2 bad option,
value or settings file.
)";
}

} // namespace Tessal
