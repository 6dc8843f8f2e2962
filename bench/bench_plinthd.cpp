// Modbus TCP requests per second and latency of plinthd, against a minimal
// libmodbus server serving the same register block in the same run.
//
// Scenarios: 1 and 50 masters reading 10 holding registers; the same with
// every fifth request writing 2 registers; 50 masters reading while one more
// master sends its request a byte every 0.3 s. Printed per server and
// scenario: requests/s, median and 99th-percentile latency, errors
// (time-outs), and the plinthd/baseline ratios of throughput and p99.
#include <arpa/inet.h>
#include <dirent.h>
#include <modbus/modbus.h>
#include <signal.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <syslog.h>
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
#include "log.h"
#include "registerblock.h"
#include "requesthandler.h"
#include "signalqueue.h"

using namespace plinthd_test;
using Clock = std::chrono::steady_clock;

namespace
{

constexpr int kRegisters = 1000;
// Turns each server gets per scenario.
constexpr int kSlices = 4;

// The smallest useful server: one process like plinthd, one thread,
// select() over the listening socket and its clients, libmodbus answering
// from a plain mapping.
class BaselineServer
{
public:
    BaselineServer() : port(FreeTcpPort())
    {
        pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            Run();
            _exit(0);
        }
        // Ready once it accepts connections.
        for (int i = 0; i < 200; i++) {
            modbus_t* probe = modbus_new_tcp("127.0.0.1", port);
            bool bUp = modbus_connect(probe) == 0;
            modbus_close(probe);
            modbus_free(probe);
            if (bUp)
                break;
            usleep(10000);
        }
    }
    ~BaselineServer()
    {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    int port;
    pid_t pid = -1;

private:
    void Run()
    {
        modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
        modbus_mapping_t* mapping = modbus_mapping_new(16, 16, kRegisters, kRegisters);
        int listenFd = modbus_tcp_listen(ctx, 128);
        fd_set all;
        FD_ZERO(&all);
        FD_SET(listenFd, &all);
        int maxFd = listenFd;
        uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
        for (;;) {
            fd_set ready = all;
            if (select(maxFd + 1, &ready, nullptr, nullptr, nullptr) <= 0)
                continue;
            for (int fd = 0; fd <= maxFd; fd++) {
                if (!FD_ISSET(fd, &ready))
                    continue;
                if (fd == listenFd) {
                    int s = listenFd;
                    int c = modbus_tcp_accept(ctx, &s);
                    if (c >= 0) {
                        FD_SET(c, &all);
                        maxFd = std::max(maxFd, c);
                    }
                    continue;
                }
                modbus_set_socket(ctx, fd);
                int rc = modbus_receive(ctx, query);
                if (rc > 0) {
                    modbus_reply(ctx, query, rc, mapping);
                } else if (rc == -1) {
                    close(fd);
                    FD_CLR(fd, &all);
                }
            }
        }
    }
};

struct Result {
    double dRate = 0;
    double dMedianUs = 0;
    double dP99Us = 0;
    int iErrors = 0;
    double dCpuUsPerRequest = 0;
};

// CPU time (ns) the scheduler has charged to the threads of a process.
long long CpuNs(pid_t pid)
{
    std::vector<std::string> tasks;
    std::string sDir = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* pDir = opendir(sDir.c_str())) {
        while (dirent* pEnt = readdir(pDir))
            if (pEnt->d_name[0] != '.')
                tasks.push_back(pEnt->d_name);
        closedir(pDir);
    }
    long long llTotal = 0;
    for (const std::string& sTask : tasks) {
        std::ifstream in(sDir + "/" + sTask + "/schedstat");
        long long llNs = 0;
        if (in >> llNs)
            llTotal += llNs;
    }
    return llTotal;
}

// A master that sends a valid read request one byte every 0.3 s, again and
// again (reconnecting when the server drops it), until stopped.
class Trickler
{
public:
    explicit Trickler(int iPort) : thread([this, iPort] { Run(iPort); }) {}
    ~Trickler()
    {
        stop = true;
        thread.join();
    }

private:
    void Run(int iPort)
    {
        const uint8_t query[] = {0, 1, 0, 0, 0, 6, 1, 3, 0, 0, 0, 1};
        while (!stop) {
            int s = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            addr.sin_port = htons(iPort);
            if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
                bool bOpen = true;
                while (!stop && bOpen) {
                    for (size_t i = 0; i < sizeof(query) && !stop && bOpen; i++) {
                        bOpen = send(s, query + i, 1, MSG_NOSIGNAL) == 1;
                        for (int t = 0; t < 30 && !stop; t++)
                            usleep(10000);
                    }
                    uint8_t buf[64];
                    while (recv(s, buf, sizeof(buf), MSG_DONTWAIT) > 0) {
                    }
                }
            }
            close(s);
            usleep(10000);
        }
    }
    std::atomic<bool> stop{false};
    std::thread thread;
};

// Latencies, time-outs and measuring time gathered over several slices.
struct Samples {
    std::vector<double> latencies;
    int iErrors = 0;
    double dSeconds = 0;
    long long llCpuNs = 0; // the server's CPU time while measured
};

// iClients masters, each repeating requests for dSeconds: reads of 10
// registers, and with bWrites every fifth request writes 2 registers.
void Measure(int iPort, int iClients, double dSeconds, bool bWrites, int iTimeoutMs,
             Samples& samples)
{
    std::vector<std::vector<double>> latencies(iClients);
    std::atomic<int> errors{0};
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    auto tEnd = std::make_shared<Clock::time_point>();
    for (int c = 0; c < iClients; c++) {
        threads.emplace_back([&, c] {
            modbus_t* ctx = modbus_new_tcp("127.0.0.1", iPort);
            modbus_set_response_timeout(ctx, iTimeoutMs / 1000, (iTimeoutMs % 1000) * 1000);
            if (modbus_connect(ctx) != 0) {
                errors++;
                ready++;
                modbus_free(ctx);
                return;
            }
            uint16_t regs[10];
            for (int i = 0; i < 50; i++)
                modbus_read_registers(ctx, (c * 10) % (kRegisters - 10), 10, regs); // warm-up
            ready++;
            while (!go)
                std::this_thread::yield();
            latencies[c].reserve(100000);
            for (int i = 0; Clock::now() < *tEnd; i++) {
                int iAddr = (c * 37 + i * 11) % (kRegisters - 10);
                auto t0 = Clock::now();
                int rc;
                if (bWrites && i % 5 == 4) {
                    uint16_t values[2] = {static_cast<uint16_t>(i), static_cast<uint16_t>(c)};
                    rc = modbus_write_registers(ctx, iAddr, 2, values);
                } else {
                    rc = modbus_read_registers(ctx, iAddr, 10, regs);
                }
                auto t1 = Clock::now();
                if (rc < 0) {
                    errors++;
                    modbus_flush(ctx);
                }
                latencies[c].push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
            }
            modbus_close(ctx);
            modbus_free(ctx);
        });
    }
    while (ready < iClients)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    auto tStart = Clock::now();
    *tEnd = tStart +
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(dSeconds));
    go = true;
    for (auto& t : threads)
        t.join();
    samples.dSeconds += std::chrono::duration<double>(Clock::now() - tStart).count();
    samples.iErrors += errors;
    for (auto& v : latencies)
        samples.latencies.insert(samples.latencies.end(), v.begin(), v.end());
}

Result Summarize(Samples& samples)
{
    std::vector<double>& all = samples.latencies;
    std::sort(all.begin(), all.end());
    Result r;
    r.iErrors = samples.iErrors;
    if (all.empty() || samples.dSeconds <= 0)
        return r;
    r.dRate = (all.size() - r.iErrors) / samples.dSeconds;
    r.dMedianUs = all[all.size() / 2];
    r.dP99Us = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    r.dCpuUsPerRequest = samples.llCpuNs / 1000.0 / static_cast<double>(all.size());
    return r;
}

void Print(const char* pszName, const Result& r)
{
    printf("  %-9s %12.0f %12.1f %12.1f %8d %12.1f\n", pszName, r.dRate, r.dMedianUs, r.dP99Us,
           r.iErrors, r.dCpuUsPerRequest);
}

} // namespace

// The daemon's request handler called directly in this process, no socket:
// what answering costs before any system call. Informational: libmodbus has
// no reply without a socket to compare with; the CPU time per request of
// the scenarios above is the comparison.
void HandlerAlone()
{
    LogSetLevel(LOG_ERR);
    CRegisterBlock regs;
    CSignalQueue signals([]() -> DBusConnection* { return nullptr; });
    CRequestHandler handler(regs, signals);
    RegZoneList_t tables(1);
    tables[0] = {0, kRegisters, ACCESS_RW};
    std::string sInfo;
    regs.Build(kRegisters, tables, RegZoneList_t(), sInfo);
    const uint8_t read[] = {0x03, 0, 100, 0, 10};
    const uint8_t write[] = {0x10, 0, 200, 0, 2, 4, 0x12, 0x34, 0x56, 0x78};
    uint8_t answer[MB_MAX_ANSWER_PDU];
    auto run = [&](const uint8_t* pPdu, int iLen, int iCount) {
        MbRequest_t request;
        request.iUnit = 1;
        request.pPdu = pPdu;
        request.iPduLen = iLen;
        request.iAduLen = iLen + 7;
        bool bException = false;
        auto t0 = Clock::now();
        for (int i = 0; i < iCount; i++)
            handler.Handle(request, answer, bException);
        return std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / iCount;
    };
    printf("\nrequest handler alone (in process, no socket, events off)\n");
    printf("  read of 10 registers   %8.0f ns\n", run(read, sizeof(read), 2000000));
    printf("  write of 2 registers   %8.0f ns (the data signal text is not built: "
           "no listener)\n",
           run(write, sizeof(write), 500000));
}

int main(int argc, char** argv)
{
    // Seconds each server is measured per scenario.
    double dSeconds = argc > 1 ? std::max(0.5, atof(argv[1])) : 2.0;
    // Optionally one scenario only (1..5, 6: the request handler alone).
    int iOnly = argc > 2 ? atoi(argv[2]) : 0;
    PrivateBus bus;
    DaemonProcess daemon(bus.Address());
    BusClient client(bus.Address());
    int iPort = FreeTcpPort();
    std::string sReply = client.Cmd(TcpInit(iPort, R"([{"address":0,"length":1000,"mode":"rw"}])"));
    if (sReply != R"({"err":0,"info":""})") {
        fprintf(stderr, "plinthd init failed: %s\n", sReply.c_str());
        return 1;
    }
    BaselineServer baseline;

    printf("Modbus TCP, %d registers, reads of 10 registers, writes of 2; %.1f s per run\n",
           kRegisters, dSeconds);
    struct Scenario {
        const char* pszName;
        int iClients;
        bool bWrites;
        bool bTrickle;
    };
    const Scenario scenarios[] = {
        {"reads only, 1 client", 1, false, false},
        {"reads only, 50 clients", 50, false, false},
        {"4 reads : 1 write, 1 client", 1, true, false},
        {"4 reads : 1 write, 50 clients", 50, true, false},
        {"reads only, 50 clients + 1 master sending a byte every 0.3 s", 50, false, true},
    };
    int iScenario = 0;
    for (const Scenario& sc : scenarios) {
        if (++iScenario != iOnly && iOnly != 0)
            continue;
        printf("\n%s\n", sc.pszName);
        printf("  %-9s %12s %12s %12s %8s %12s\n", "server", "requests/s", "median us", "p99 us",
               "errors", "cpu us/req");
        // The trickling master makes the baseline wait for its bytes: the
        // others give up after 1 s there (counted as errors) instead of 5 s.
        int iTimeoutMs = sc.bTrickle ? 1000 : 5000;
        // The machine is shared: the two servers take turns in short slices
        // (ABBA), so a burst of load elsewhere hits both alike.
        Samples baseSamples, ourSamples;
        for (int iSlice = 0; iSlice < kSlices; iSlice++) {
            for (int iTurn = 0; iTurn < 2; iTurn++) {
                bool bBaseline = (iTurn == 0) == (iSlice % 2 == 0);
                int iServerPort = bBaseline ? baseline.port : iPort;
                std::unique_ptr<Trickler> trickle;
                if (sc.bTrickle) {
                    trickle = std::make_unique<Trickler>(iServerPort);
                    usleep(100000);
                }
                Samples& samples = bBaseline ? baseSamples : ourSamples;
                auto cpu = [&]() { return CpuNs(bBaseline ? baseline.pid : daemon.Pid()); };
                long long llCpu0 = cpu();
                Measure(iServerPort, sc.iClients, dSeconds / kSlices, sc.bWrites, iTimeoutMs,
                        samples);
                samples.llCpuNs += cpu() - llCpu0;
            }
        }
        Result base = Summarize(baseSamples), ours = Summarize(ourSamples);
        Print("baseline", base);
        Print("plinthd", ours);
        fflush(stdout);
        printf("  ratio     %12.2f %12s %12.2f %8s %12.2f   (plinthd / baseline)\n",
               base.dRate > 0 ? ours.dRate / base.dRate : 0.0, "",
               base.dP99Us > 0 ? ours.dP99Us / base.dP99Us : 0.0, "",
               base.dCpuUsPerRequest > 0 ? ours.dCpuUsPerRequest / base.dCpuUsPerRequest : 0.0);
    }
    if (iOnly == 0 || iOnly == 6)
        HandlerAlone();
    return 0;
}
