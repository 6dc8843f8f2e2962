// Modbus TCP requests per second and latency of plinthd, against a minimal
// libmodbus server serving the same register block in the same run.
//
// Each master thread repeats: read 10 holding registers, and every fifth
// request writes 2 registers instead. Printed per server and concurrency:
// requests/s, median and 99th-percentile latency, and the plinthd/baseline
// throughput ratio.
#include <modbus/modbus.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

using namespace plinthd_test;
using Clock = std::chrono::steady_clock;

namespace
{

constexpr int kRegisters = 1000;

// The smallest useful server: one thread, select() over the listening socket
// and its clients, libmodbus answering from a plain mapping.
class BaselineServer
{
public:
    BaselineServer() : port(FreeTcpPort())
    {
        ctx = modbus_new_tcp("127.0.0.1", port);
        mapping = modbus_mapping_new(16, 16, kRegisters, kRegisters);
        listenFd = modbus_tcp_listen(ctx, 128);
        thread = std::thread([this] { Run(); });
    }
    ~BaselineServer()
    {
        stop = true;
        thread.join();
        close(listenFd);
        modbus_mapping_free(mapping);
        modbus_free(ctx);
    }
    int port;

private:
    void Run()
    {
        fd_set all;
        FD_ZERO(&all);
        FD_SET(listenFd, &all);
        int maxFd = listenFd;
        uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
        while (!stop) {
            fd_set ready = all;
            timeval tv = {0, 100000};
            if (select(maxFd + 1, &ready, nullptr, nullptr, &tv) <= 0)
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
        for (int fd = 0; fd <= maxFd; fd++)
            if (fd != listenFd && FD_ISSET(fd, &all))
                close(fd);
    }
    modbus_t* ctx;
    modbus_mapping_t* mapping;
    int listenFd;
    std::atomic<bool> stop{false};
    std::thread thread;
};

struct Result {
    double dRate = 0;
    double dMedianUs = 0;
    double dP99Us = 0;
    int iErrors = 0;
};

Result Measure(int iPort, int iClients, int iRequestsPerClient)
{
    std::vector<std::vector<double>> latencies(iClients);
    std::atomic<int> errors{0};
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int c = 0; c < iClients; c++) {
        threads.emplace_back([&, c] {
            modbus_t* ctx = modbus_new_tcp("127.0.0.1", iPort);
            modbus_set_response_timeout(ctx, 5, 0);
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
            latencies[c].reserve(iRequestsPerClient);
            for (int i = 0; i < iRequestsPerClient; i++) {
                int iAddr = (c * 37 + i * 11) % (kRegisters - 10);
                auto t0 = Clock::now();
                int rc;
                if (i % 5 == 4) {
                    uint16_t values[2] = {static_cast<uint16_t>(i), static_cast<uint16_t>(c)};
                    rc = modbus_write_registers(ctx, iAddr, 2, values);
                } else {
                    rc = modbus_read_registers(ctx, iAddr, 10, regs);
                }
                auto t1 = Clock::now();
                if (rc < 0)
                    errors++;
                latencies[c].push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
            }
            modbus_close(ctx);
            modbus_free(ctx);
        });
    }
    while (ready < iClients)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    auto tStart = Clock::now();
    go = true;
    for (auto& t : threads)
        t.join();
    double dSeconds = std::chrono::duration<double>(Clock::now() - tStart).count();

    std::vector<double> all;
    for (auto& v : latencies)
        all.insert(all.end(), v.begin(), v.end());
    std::sort(all.begin(), all.end());
    Result r;
    r.iErrors = errors;
    if (all.empty())
        return r;
    r.dRate = all.size() / dSeconds;
    r.dMedianUs = all[all.size() / 2];
    r.dP99Us = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    return r;
}

void Print(const char* pszName, int iClients, const Result& r)
{
    printf("%-10s %7d %12.0f %12.1f %12.1f %8d\n", pszName, iClients, r.dRate, r.dMedianUs,
           r.dP99Us, r.iErrors);
}

} // namespace

int main(int argc, char** argv)
{
    int iScale = argc > 1 ? std::max(1, atoi(argv[1])) : 1;
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

    printf("Modbus TCP, %d registers, 4 reads of 10 registers : 1 write of 2 registers\n",
           kRegisters);
    printf("%-10s %7s %12s %12s %12s %8s\n", "server", "clients", "requests/s", "median us",
           "p99 us", "errors");
    for (int iClients : {1, 50}) {
        int iPerClient = (iClients == 1 ? 10000 : 400) * iScale;
        Result base = Measure(baseline.port, iClients, iPerClient);
        Result ours = Measure(iPort, iClients, iPerClient);
        Print("baseline", iClients, base);
        Print("plinthd", iClients, ours);
        printf("%-10s %7d %12.2f   (plinthd requests/s / baseline requests/s)\n", "ratio", iClients,
               base.dRate > 0 ? ours.dRate / base.dRate : 0.0);
    }
    return 0;
}
