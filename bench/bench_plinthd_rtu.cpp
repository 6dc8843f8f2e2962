// Modbus RTU answer latency and request rate of plinthd over a
// pseudo-terminal, against what the serial line itself allows.
//
// For each rate (19200 and 115200 Bd, 8E1: 11 bits per character) a master
// sends a read of 10 holding registers to unit 1, its bytes paced at the
// character time as a UART sends them, waits for the whole answer, waits
// t3.5, and sends the next. Printed per rate:
// - the answer latency (last request byte written to first answer byte
//   read): minimum, median, 99th percentile, against t3.5, the least the
//   daemon may wait;
// - requests per second, against the line's bound: request and answer
//   bytes at the character time plus t3.5 after each frame. A pseudo-
//   terminal carries the answer at once, so the master waits for the time
//   the answer would take on the line before its t3.5; the ratio (at most
//   1) shows how much of the line the daemon's own time costs.
// A request the daemon did not answer within 0.5 s is counted as failed,
// unless the master itself left a pause near t1.5 inside it ("spoiled":
// the daemon rightly discards such a frame; the 0.5 s each costs is left
// out of the rate, as a machine that holds the master back is not the
// daemon's doing).
// Usage: bench_plinthd_rtu [seconds per rate]
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <stdlib.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "harness.h"

using namespace plinthd_test;

namespace
{

long long NowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void WaitUntil(long long llNs)
{
    if (llNs - NowNs() > 300000) {
        long long llSleep = llNs - 200000;
        timespec ts = {static_cast<time_t>(llSleep / 1000000000LL),
                       static_cast<long>(llSleep % 1000000000LL)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
    }
    while (NowNs() < llNs) {
    }
}

std::vector<uint8_t> Frame(std::vector<uint8_t> bytes)
{
    uint16_t usCrc = 0xFFFF;
    for (uint8_t b : bytes) {
        usCrc ^= b;
        for (int i = 0; i < 8; i++)
            usCrc = (usCrc & 1) ? static_cast<uint16_t>((usCrc >> 1) ^ 0xA001)
                                : static_cast<uint16_t>(usCrc >> 1);
    }
    bytes.push_back(static_cast<uint8_t>(usCrc & 0xFF));
    bytes.push_back(static_cast<uint8_t>(usCrc >> 8));
    return bytes;
}

void RealTime(int iPriority)
{
    sched_param param;
    param.sched_priority = iPriority;
    sched_setscheduler(0, SCHED_FIFO, &param);
}

double Percentile(std::vector<long long> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return static_cast<double>(v[std::min(v.size() - 1, static_cast<size_t>(p * v.size()))]);
}

void RunRate(int iBaud, double dSeconds)
{
    PrivateBus bus;
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    grantpt(master);
    unlockpt(master);
    std::string sSlave = ptsname(master);
    termios tio;
    tcgetattr(master, &tio);
    cfmakeraw(&tio);
    tcsetattr(master, TCSANOW, &tio);
    DaemonProcess daemon(bus.Address(), []() { RealTime(10); });
    BusClient client(bus.Address());
    std::string sReply =
        client.Cmd(R"({"cmd":"init","protocol":"rtu","delay":0,"rtu":{"devid":1,"baud":)" +
                   std::to_string(iBaud) + R"(,"port":")" + sSlave +
                   R"(","mode":"8E1"},"tables":[{"address":0,"length":100,"mode":"rw"}]})");
    if (sReply != R"({"err":0,"info":""})") {
        fprintf(stderr, "init failed: %s\n", sReply.c_str());
        exit(1);
    }
    RealTime(20);

    const long long llChar = 11 * 1000000000LL / iBaud;
    const long long llT15 = iBaud > 19200 ? 750000LL : 3 * llChar / 2;
    const long long llT35 = iBaud > 19200 ? 1750000LL : 7 * llChar / 2;
    const std::vector<uint8_t> request = Frame({1, 0x03, 0, 0, 0, 10});
    const size_t uiAnswer = 5 + 2 * 10;
    std::vector<long long> vLatency;
    int iFailed = 0, iSpoiled = 0;
    // Time lost to frames the master spoiled (the wait for an answer that
    // rightly never comes) is not the daemon's: the rate leaves it out.
    long long llSpoiledNs = 0;
    const long long llStart = NowNs();
    const long long llEnd = llStart + static_cast<long long>(dSeconds * 1e9);
    long long llDue = NowNs();
    while (NowNs() < llEnd) {
        const long long llFrameStart = std::max(NowNs(), llDue);
        bool bSpoiled = false;
        long long llLast = 0;
        for (size_t i = 0; i < request.size(); i++) {
            WaitUntil(llDue);
            if (write(master, &request[i], 1) != 1)
                exit(1);
            const long long llNow = NowNs();
            // A pause near t1.5 between two bytes: the master, not the
            // daemon, broke the frame.
            if (i > 0 && llNow - llLast >= (llChar + llT15) / 2)
                bSpoiled = true;
            llLast = llNow;
            // Due a character time after this byte was due, as a UART sends
            // them (from the end of the write, each interval would also
            // carry the write's own time).
            llDue += llChar;
        }
        iSpoiled += bSpoiled ? 1 : 0;
        const long long llSent = NowNs();
        size_t uiGot = 0;
        long long llFirst = 0;
        uint8_t aby[300];
        pollfd pfd = {master, POLLIN, 0};
        while (uiGot < uiAnswer && poll(&pfd, 1, 500) > 0) {
            ssize_t n = read(master, aby, sizeof(aby));
            if (n <= 0)
                break;
            if (uiGot == 0)
                llFirst = NowNs();
            uiGot += static_cast<size_t>(n);
        }
        if (uiGot != uiAnswer) {
            iFailed += bSpoiled ? 0 : 1;
            llDue = NowNs() + 10 * llT35;
            if (bSpoiled)
                llSpoiledNs += llDue - llFrameStart;
            continue;
        }
        vLatency.push_back(llFirst - llSent);
        // On the line the answer would still be arriving: the next request
        // follows its last character and t3.5 of silence.
        llDue = std::max(NowNs(), llFirst + static_cast<long long>(uiAnswer) * llChar) + llT35;
    }
    const double dElapsed = (NowNs() - llStart - llSpoiledNs) / 1e9;
    const double dRate = vLatency.size() / dElapsed;
    const double dBound =
        1e9 / static_cast<double>((request.size() + uiAnswer) * llChar + 2 * llT35);
    RealTime(0);
    printf("%6d Bd  t3.5 %6.0f us | latency min %6.0f  median %6.0f  p99 %6.0f us"
           " (median/t3.5 %.2f) | %6.1f req/s, line bound %6.1f (ratio %.2f) | failed %d,"
           " spoiled by the master %d\n",
           iBaud, llT35 / 1e3, Percentile(vLatency, 0) / 1e3, Percentile(vLatency, 0.5) / 1e3,
           Percentile(vLatency, 0.99) / 1e3, Percentile(vLatency, 0.5) / llT35, dRate, dBound,
           dRate / dBound, iFailed, iSpoiled);
    close(master);
}

} // namespace

int main(int argc, char** argv)
{
    double dSeconds = argc > 1 ? atof(argv[1]) : 5.0;
    printf("plinthd RTU over a pseudo-terminal, 8E1, read of 10 registers, %.0f s per rate\n",
           dSeconds);
    printf("(master and daemon at real-time priority where allowed)\n");
    RunRate(19200, dSeconds);
    RunRate(115200, dSeconds);
    return 0;
}
