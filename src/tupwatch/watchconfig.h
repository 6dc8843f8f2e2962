// Settings of tupwatch: the ini file, then the command line over it.
#pragma once

#include <cstdint>
#include <string>

namespace Tessal
{

struct watch_config_s {
    std::string address = "0.0.0.0"; // IPv4 address to bind
    uint16_t port = 9876;            // 0 binds an ephemeral port
    unsigned timeout = 10;           // seconds of silence before the sender is detached; 0 never
    unsigned long count = 0;         // stop after this many datagrams; 0 never
    bool pretty = false;             // indented JSON instead of one line per document
    std::string configPath;          // the ini file used
    bool help = false;
    bool showVersion = false;
};

// The configured settings file (TESSAL_TUPWATCH_INI, by default
// "/usr/local/etc/tupwatch.ini"), under $TESSAL_ROOT when that is set.
std::string defaultConfigPath();

// Reads [Network] UdpAddr, UdpPort and UdpTimeout. A missing file is not an
// error when it is the default file (found = false, defaults kept); a
// missing file named with --config, an unreadable file or a bad value is.
bool loadWatchIni(const std::string& path, bool mustExist, watch_config_s& cfg, bool& found,
                  std::string& error);

// Command line: --config first (so the file is read before the other
// options override it), then everything else.
bool parseWatchOptions(int argc, char** argv, watch_config_s& cfg, std::string& error);

const char* watchUsageText();

} // namespace Tessal
