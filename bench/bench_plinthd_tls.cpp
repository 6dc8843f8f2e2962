// Modbus/TCP Security against plain Modbus TCP, the same daemon in the same
// run: read throughput and latency with 1 and 50 masters on each port, and
// handshakes per second (a new connection, its handshake, one read) against
// plain connections.
//
//   bench_plinthd_tls [seconds per scenario and port]
//
// Certificates are made by tests/plinthd/make_tls_certs.sh. The two ports
// take turns in short slices (ABBA), so a burst of load elsewhere on a
// shared machine hits both alike. Targets: TLS reads with 50 masters at
// least 0.7 of plain, with 1 master at least 0.5.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

using namespace plinthd_test;
using Clock = std::chrono::steady_clock;

namespace
{

constexpr int kSlices = 4;

// One master's connection: a plain socket, or a TLS session on it.
class Master
{
public:
    Master(int iPort, SSL_CTX* pCtx) : m_pCtx(pCtx)
    {
        m_iFD = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int iOne = 1;
        setsockopt(m_iFD, IPPROTO_TCP, TCP_NODELAY, &iOne, sizeof(iOne));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(iPort));
        if (connect(m_iFD, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
            return;
        if (m_pCtx != nullptr) {
            m_pSsl = SSL_new(m_pCtx);
            SSL_set_fd(m_pSsl, m_iFD);
            if (SSL_connect(m_pSsl) != 1)
                return;
        }
        m_bOk = true;
    }
    ~Master()
    {
        if (m_pSsl != nullptr) {
            SSL_shutdown(m_pSsl);
            SSL_free(m_pSsl);
        }
        close(m_iFD);
    }
    bool Ok() const { return m_bOk; }
    // Reads 10 registers from iAddr; false on a wrong or missing answer.
    bool Read(int iTid, int iAddr)
    {
        const uint8_t req[12] = {
            static_cast<uint8_t>(iTid >> 8),  static_cast<uint8_t>(iTid),  0, 0, 0, 6, 1, 3,
            static_cast<uint8_t>(iAddr >> 8), static_cast<uint8_t>(iAddr), 0, 10};
        if (!Write(req, sizeof(req)))
            return false;
        uint8_t rsp[29];
        size_t uiGot = 0;
        while (uiGot < sizeof(rsp)) {
            int n = m_pSsl ? SSL_read(m_pSsl, rsp + uiGot, static_cast<int>(sizeof(rsp) - uiGot))
                           : static_cast<int>(recv(m_iFD, rsp + uiGot, sizeof(rsp) - uiGot, 0));
            if (n <= 0)
                return false;
            uiGot += static_cast<size_t>(n);
        }
        return rsp[7] == 3 && rsp[8] == 20;
    }

private:
    bool Write(const uint8_t* p, int iLen)
    {
        if (m_pSsl)
            return SSL_write(m_pSsl, p, iLen) == iLen;
        return send(m_iFD, p, static_cast<size_t>(iLen), MSG_NOSIGNAL) == iLen;
    }
    SSL_CTX* m_pCtx;
    SSL* m_pSsl = nullptr;
    int m_iFD = -1;
    bool m_bOk = false;
};

struct Samples {
    std::vector<double> latencies;
    long lRequests = 0;
    int iErrors = 0;
    double dSeconds = 0;
    long long llCpuNs = 0; // the daemon's CPU time while measured
};

// CPU time of a process, all its threads, in nanoseconds.
long long CpuNs(pid_t pid)
{
    long long llTotal = 0;
    const std::string sDir = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* pDir = opendir(sDir.c_str())) {
        while (dirent* pEnt = readdir(pDir)) {
            if (pEnt->d_name[0] == '.')
                continue;
            std::ifstream in(sDir + "/" + pEnt->d_name + "/schedstat");
            long long llNs = 0;
            if (in >> llNs)
                llTotal += llNs;
        }
        closedir(pDir);
    }
    return llTotal;
}

// iMasters masters reading for dSeconds, each on its own connection.
void MeasureReads(int iPort, SSL_CTX* pCtx, int iMasters, double dSeconds, Samples& samples)
{
    std::vector<std::vector<double>> latencies(iMasters);
    std::atomic<int> errors{0}, ready{0};
    std::atomic<bool> go{false};
    Clock::time_point tEnd;
    std::vector<std::thread> threads;
    for (int m = 0; m < iMasters; m++) {
        threads.emplace_back([&, m] {
            Master master(iPort, pCtx);
            if (!master.Ok())
                errors++;
            for (int i = 0; i < 20 && master.Ok(); i++)
                master.Read(i, 0); // warm-up
            ready++;
            while (!go)
                std::this_thread::yield();
            if (!master.Ok())
                return;
            latencies[m].reserve(50000);
            for (int i = 0; Clock::now() < tEnd; i++) {
                auto t0 = Clock::now();
                if (!master.Read(i & 0xFFFF, (m * 37 + i * 11) % 990)) {
                    errors++;
                    return;
                }
                latencies[m].push_back(
                    std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
            }
        });
    }
    while (ready < iMasters)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const Clock::time_point tStart = Clock::now();
    tEnd = tStart +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(dSeconds));
    go = true;
    for (auto& t : threads)
        t.join();
    samples.dSeconds += std::chrono::duration<double>(Clock::now() - tStart).count();
    samples.iErrors += errors;
    for (auto& v : latencies) {
        samples.lRequests += static_cast<long>(v.size());
        samples.latencies.insert(samples.latencies.end(), v.begin(), v.end());
    }
}

// New connections, each with one read, one after the other for dSeconds.
void MeasureConnections(int iPort, SSL_CTX* pCtx, double dSeconds, Samples& samples)
{
    const Clock::time_point tStart = Clock::now();
    const Clock::time_point tEnd = tStart + std::chrono::duration_cast<Clock::duration>(
                                                std::chrono::duration<double>(dSeconds));
    int i = 0;
    while (Clock::now() < tEnd) {
        auto t0 = Clock::now();
        Master master(iPort, pCtx);
        if (!master.Ok() || !master.Read(i++ & 0xFFFF, 0)) {
            samples.iErrors++;
            continue;
        }
        samples.lRequests++;
        samples.latencies.push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    samples.dSeconds += std::chrono::duration<double>(Clock::now() - tStart).count();
}

struct Result {
    double dRate = 0, dMedianUs = 0, dP99Us = 0, dCpuUs = 0;
    int iErrors = 0;
};

Result Summarize(Samples& s)
{
    Result r;
    r.iErrors = s.iErrors;
    if (s.latencies.empty() || s.dSeconds <= 0)
        return r;
    std::sort(s.latencies.begin(), s.latencies.end());
    r.dRate = static_cast<double>(s.lRequests) / s.dSeconds;
    r.dMedianUs = s.latencies[s.latencies.size() / 2];
    r.dP99Us = s.latencies[std::min(s.latencies.size() - 1, s.latencies.size() * 99 / 100)];
    r.dCpuUs = static_cast<double>(s.llCpuNs) / 1000.0 / static_cast<double>(s.lRequests);
    return r;
}

void Print(const char* pszPort, const Result& r)
{
    printf("  %-6s %12.0f %12.0f %12.0f %8d %12.1f\n", pszPort, r.dRate, r.dMedianUs, r.dP99Us,
           r.iErrors, r.dCpuUs);
}

} // namespace

int main(int argc, char** argv)
{
    const double dSeconds = argc > 1 ? atof(argv[1]) : 4.0;
    if (dSeconds <= 0) {
        fprintf(stderr, "usage: %s [seconds per scenario and port]\n", argv[0]);
        return 2;
    }
    TempDir certs;
    if (RunCommand("bash " TESSAL_SOURCE_DIR "/tests/plinthd/make_tls_certs.sh " + certs.Path()) !=
        0) {
        fprintf(stderr, "certificates could not be made (openssl missing?)\n");
        return 77;
    }
    std::ofstream(certs.Path() + "/roles.json") << R"({"roles":{"reader":{"access":"r"}}})";
    auto cert = [&](const char* pszName) { return certs.Path() + "/" + pszName; };

    PrivateBus bus;
    DaemonProcess daemon(bus.Address());
    BusClient client(bus.Address());
    const int iPort = FreeTcpPort();
    int iTlsPort = FreeTcpPort();
    while (iTlsPort == iPort)
        iTlsPort = FreeTcpPort();
    const std::string sInit =
        R"({"cmd":"init","protocol":"tcp","delay":0,"tcp":{"listen":"127.0.0.1","port":)" +
        std::to_string(iPort) + R"(,"tls":{"port":)" + std::to_string(iTlsPort) +
        R"(,"certificate":")" + cert("server.pem") + R"(","key":")" + cert("server.key") +
        R"(","ca":")" + cert("ca.pem") + R"(","roles":")" + cert("roles.json") +
        R"("}},"tables":[{"address":0,"length":1000,"mode":"rw"}]})";
    const std::string sReply = client.Cmd(sInit);
    if (sReply != R"({"err":0,"info":""})") {
        fprintf(stderr, "plinthd init failed: %s\n", sReply.c_str());
        return 1;
    }

    SSL_CTX* pCtx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_load_verify_locations(pCtx, cert("ca.pem").c_str(), nullptr);
    SSL_CTX_use_certificate_file(pCtx, cert("reader.pem").c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(pCtx, cert("reader.key").c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_set_verify(pCtx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_read_ahead(pCtx, 1);

    printf("plinthd, plain Modbus TCP against Modbus/TCP Security (%s, EC P-256 certificates); "
           "%.1f s per scenario and port\n",
           OpenSSL_version(OPENSSL_VERSION), dSeconds);
    struct Scenario {
        const char* pszName;
        int iMasters; // 0: new connections one after the other
        double dTarget;
    };
    const Scenario scenarios[] = {
        {"reads of 10 registers, 1 master", 1, 0.5},
        {"reads of 10 registers, 50 masters", 50, 0.7},
        {"connections (handshake and one read), one after the other", 0, 0},
    };
    int iMissed = 0;
    for (const Scenario& sc : scenarios) {
        printf("\n%s\n", sc.pszName);
        printf("  %-6s %12s %12s %12s %8s %12s\n", "port", sc.iMasters ? "requests/s" : "conns/s",
               "median us", "p99 us", "errors", "daemon us/1");
        Samples plain, tls;
        for (int iSlice = 0; iSlice < kSlices; iSlice++) {
            for (int iTurn = 0; iTurn < 2; iTurn++) {
                const bool bTls = (iTurn == 0) == (iSlice % 2 == 0);
                Samples& samples = bTls ? tls : plain;
                const long long llCpu0 = CpuNs(daemon.Pid());
                if (sc.iMasters > 0) {
                    MeasureReads(bTls ? iTlsPort : iPort, bTls ? pCtx : nullptr, sc.iMasters,
                                 dSeconds / kSlices, samples);
                } else {
                    MeasureConnections(bTls ? iTlsPort : iPort, bTls ? pCtx : nullptr,
                                       dSeconds / kSlices, samples);
                }
                samples.llCpuNs += CpuNs(daemon.Pid()) - llCpu0;
            }
        }
        Result rPlain = Summarize(plain), rTls = Summarize(tls);
        Print("plain", rPlain);
        Print("tls", rTls);
        const double dRatio = rPlain.dRate > 0 ? rTls.dRate / rPlain.dRate : 0;
        printf("  ratio  %12.2f %12s %12.2f %8s   (tls / plain)", dRatio, "",
               rPlain.dP99Us > 0 ? rTls.dP99Us / rPlain.dP99Us : 0.0, "");
        if (sc.dTarget > 0) {
            printf("   target >= %.1f: %s", sc.dTarget, dRatio >= sc.dTarget ? "met" : "MISSED");
            iMissed += dRatio < sc.dTarget;
        }
        printf("\n");
        fflush(stdout);
    }
    SSL_CTX_free(pCtx);
    return 0;
}
