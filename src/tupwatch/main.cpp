// tupwatch: a frame spy. Prints every TUP datagram it receives as one JSON
// document, checked like the unit's receiver does.
#include "framewatcher.h"
#include "tuptime.h"
#include "watchconfig.h"

#include <cJSON.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using namespace Tessal;

namespace
{

volatile std::sig_atomic_t g_stop = 0;
void onSignal(int)
{
    g_stop = 1;
}

uint64_t monotonicMs()
{
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// Prints one document and flushes, so a reader sees each datagram at once.
void emit(cJSON* doc, bool pretty)
{
    cJSON_AddStringToObject(doc, "time", tup::isoUtcNow().c_str());
    char* text = pretty ? cJSON_Print(doc) : cJSON_PrintUnformatted(doc);
    if (text != nullptr) {
        std::fputs(text, stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
        cJSON_free(text);
    }
    cJSON_Delete(doc);
}

} // namespace

int main(int argc, char** argv)
{
    watch_config_s cfg;
    std::string error;
    if (!parseWatchOptions(argc, argv, cfg, error)) {
        std::fprintf(stderr, "tupwatch: %s\nTry 'tupwatch --help'.\n", error.c_str());
        return 2;
    }
    if (cfg.help) {
        std::fputs(watchUsageText(), stdout);
        return 0;
    }
    if (cfg.showVersion) {
        std::puts("tupwatch (Tessal) " TESSAL_VERSION);
        return 0;
    }

    // Before the "listening" line: whoever sees it may stop us at once, and
    // that must end the run cleanly, not kill it.
    struct sigaction sa {
    };
    sa.sa_handler = onSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        std::fprintf(stderr, "tupwatch: cannot open a UDP socket: %s\n", std::strerror(errno));
        return 1;
    }
    int on = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(cfg.port);
    inet_pton(AF_INET, cfg.address.c_str(), &addr.sin_addr);
    if (bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::fprintf(stderr, "tupwatch: cannot listen on %s:%u: %s\n", cfg.address.c_str(),
                     cfg.port, std::strerror(errno));
        close(sock);
        return 1;
    }
    socklen_t len = sizeof addr;
    getsockname(sock, reinterpret_cast<sockaddr*>(&addr), &len);
    std::fprintf(stderr, "tupwatch: listening on %s:%u\n", cfg.address.c_str(),
                 ntohs(addr.sin_port));
    std::fflush(stderr);

    FrameWatcher watcher(cfg.timeout);
    std::vector<uint8_t> buf(65536);
    unsigned long received = 0;
    while (!g_stop && (cfg.count == 0 || received < cfg.count)) {
        const long long untilSilence = watcher.msUntilSilence(monotonicMs());
        const int waitMs =
            untilSilence < 0 ? 1000 : static_cast<int>(std::min(untilSilence, 1000LL));
        pollfd p{sock, POLLIN, 0};
        const int rc = poll(&p, 1, waitMs);
        if (rc < 0 && errno != EINTR) {
            std::fprintf(stderr, "tupwatch: poll failed: %s\n", std::strerror(errno));
            break;
        }
        if (rc > 0 && (p.revents & POLLIN)) {
            sockaddr_in from{};
            socklen_t fromLen = sizeof from;
            const ssize_t n = recvfrom(sock, buf.data(), buf.size(), MSG_TRUNC,
                                       reinterpret_cast<sockaddr*>(&from), &fromLen);
            if (n >= 0) {
                // MSG_TRUNC reports the real size; only the bytes held are looked at.
                const size_t held = std::min(static_cast<size_t>(n), buf.size());
                char text[INET_ADDRSTRLEN] = "";
                inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
                emit(watcher.handleDatagram(buf.data(), held, text, ntohs(from.sin_port),
                                            monotonicMs()),
                     cfg.pretty);
                ++received;
            }
        }
        if (cJSON* ev = watcher.checkSilence(monotonicMs()))
            emit(ev, cfg.pretty);
    }
    close(sock);
    return 0;
}
