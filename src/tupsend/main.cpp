// tupsend: plays the measuring device. Builds a TUP frame from the command
// line and sends it by UDP, once or repeatedly, or writes its bytes out.
#include "sendoptions.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <algorithm>
#include <csignal>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace tupsend;

namespace
{

volatile std::sig_atomic_t g_stop = 0;
void onSignal(int)
{
    g_stop = 1;
}

bool buildFrame(const send_options_s& o, uint32_t seqno, uint32_t timestamp,
                std::vector<uint8_t>& frame, std::string& error)
{
    tup::FrameBuilder b;
    b.setSeqno(seqno);
    b.setTimestamp(timestamp);
    for (const auto& s : o.sections) {
        bool ok = true;
        if (s.raw)
            ok = b.addRawSection(s.type, s.payload, s.rawLength);
        else if (s.type == tup::SECT_DEVINFO)
            ok = b.addDevInfo(s.devinfo);
        else if (s.type == tup::SECT_GPIOSTATE)
            ok = b.addGpioState(s.gpio);
        else if (s.type == tup::SECT_NETCFG)
            ok = b.addNetCfg(s.netcfg);
        else if (s.type == tup::SECT_SNMPCFG)
            ok = b.addSnmpCfg(s.snmpcfg);
        else if (s.type == tup::SECT_MODBUSCFG)
            ok = b.addModbusCfg(s.modbuscfg);
        else if (s.type == tup::SECT_CORE)
            ok = b.addCore(s.items);
        if (!ok) {
            error = "the sections do not fit in one frame (65535 bytes at most)";
            return false;
        }
    }
    if (o.magic)
        b.forceMagic(*o.magic);
    if (o.version)
        b.forceVersion(*o.version);
    if (o.length)
        b.forceLength(*o.length);
    if (o.sectOffset)
        b.forceSectOffset(*o.sectOffset);
    if (o.sectCount)
        b.forceSectCount(*o.sectCount);
    if (o.checksum)
        b.forceChecksum(*o.checksum);
    frame = b.build();
    return true;
}

bool resolve(const send_options_s& o, sockaddr_in& addr, std::string& error)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* res = nullptr;
    const int rc = getaddrinfo(o.host.c_str(), nullptr, &hints, &res);
    if (rc != 0 || res == nullptr) {
        error = "cannot resolve host '" + o.host + "': " + gai_strerror(rc);
        return false;
    }
    std::memcpy(&addr, res->ai_addr, sizeof addr);
    addr.sin_port = htons(o.port);
    freeaddrinfo(res);
    return true;
}

bool writeFrame(FILE* out, const send_options_s& o, const std::vector<uint8_t>& frame)
{
    if (o.format == OutputFormat::Hex) {
        const std::string hex = tup::hexText(frame.data(), frame.size());
        if (std::fprintf(out, "%s\n", hex.c_str()) < 0)
            return false;
    } else if (std::fwrite(frame.data(), 1, frame.size(), out) != frame.size())
        return false;
    return std::fflush(out) == 0;
}

// Milliseconds since 1970, cut to 32 bits. Read with clock_gettime in this
// program: Debian's 32-bit C++ library reads system_clock with a 32-bit
// time_t, which fails after January 2038.
uint32_t nowMillis32()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    const uint64_t ms =
        static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec / 1000000);
    return static_cast<uint32_t>(ms);
}

} // namespace

int main(int argc, char** argv)
{
    send_options_s o;
    std::string error;
    if (!parseOptions(argc, argv, o, error)) {
        std::fprintf(stderr, "tupsend: %s\nTry 'tupsend --help'.\n", error.c_str());
        return 2;
    }
    if (o.help) {
        std::fputs(usageText(), stdout);
        return 0;
    }
    if (o.showVersion) {
        std::puts("tupsend (Tessal) " TESSAL_VERSION);
        return 0;
    }
    // Check that the frame can be built before anything is sent.
    std::vector<uint8_t> frame;
    if (!buildFrame(o, 0, 0, frame, error)) {
        std::fprintf(stderr, "tupsend: %s\n", error.c_str());
        return 2;
    }
    if (!o.output && frame.size() > 65507) {
        std::fprintf(stderr, "tupsend: a frame of %zu bytes does not fit in a UDP datagram\n",
                     frame.size());
        return 2;
    }

    FILE* out = nullptr;
    int sock = -1;
    sockaddr_in dest{};
    if (o.output) {
        out = *o.output == "-" ? stdout : std::fopen(o.output->c_str(), "wb");
        if (out == nullptr) {
            std::fprintf(stderr, "tupsend: cannot write '%s': %s\n", o.output->c_str(),
                         std::strerror(errno));
            return 1;
        }
    } else {
        if (!resolve(o, dest, error)) {
            std::fprintf(stderr, "tupsend: %s\n", error.c_str());
            return 2;
        }
        sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int on = 1;
        if (sock < 0 || setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
            std::fprintf(stderr, "tupsend: cannot open a UDP socket: %s\n", std::strerror(errno));
            return 1;
        }
    }

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    uint32_t seqno = o.seqno ? *o.seqno : nowMillis32();
    int status = 0;
    for (unsigned long n = 0; (o.count == 0 || n < o.count) && !g_stop; ++n) {
        if (n > 0 && o.interval > 0) {
            // Sleep in small steps so that an interrupt ends the run promptly.
            using clock = std::chrono::steady_clock;
            const clock::time_point until =
                clock::now() + std::chrono::duration_cast<clock::duration>(
                                   std::chrono::duration<double>(o.interval));
            while (!g_stop && clock::now() < until) {
                clock::duration left = until - clock::now();
                std::this_thread::sleep_for(
                    std::min<clock::duration>(left, std::chrono::milliseconds(50)));
            }
            if (g_stop)
                break;
        }
        const uint32_t ts = o.timestamp ? *o.timestamp : tup::timestampNow();
        buildFrame(o, seqno, ts, frame, error);
        if (out != nullptr) {
            if (!writeFrame(out, o, frame)) {
                std::fprintf(stderr, "tupsend: writing '%s' failed: %s\n", o.output->c_str(),
                             std::strerror(errno));
                status = 1;
                break;
            }
        } else {
            const ssize_t sent = sendto(sock, frame.data(), frame.size(), 0,
                                        reinterpret_cast<const sockaddr*>(&dest), sizeof dest);
            if (sent != static_cast<ssize_t>(frame.size())) {
                std::fprintf(stderr, "tupsend: sending to %s:%u failed: %s\n", o.host.c_str(),
                             o.port, std::strerror(errno));
                status = 1;
                break;
            }
            if (o.verbose)
                std::fprintf(stderr, "tupsend: sent %zu bytes to %s:%u, seqno %u\n", frame.size(),
                             o.host.c_str(), o.port, seqno);
        }
        ++seqno;
    }
    if (out != nullptr && out != stdout && std::fclose(out) != 0) {
        std::fprintf(stderr, "tupsend: closing '%s' failed: %s\n", o.output->c_str(),
                     std::strerror(errno));
        status = 1;
    }
    if (sock >= 0)
        close(sock);
    return status;
}
