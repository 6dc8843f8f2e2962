// Frames per second of the bare TUP parser for a typical frame (DevInfo,
// GpioState and a Core section of 50 four-byte items): the receiver's checks,
// the section walk and the three decoders. The baseline, measured in the same
// run, is the CRC alone over the same bytes, which every receiver must pay.
// Usage: bench_tupparse [seconds per measurement, default 1]
#include "tup.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace
{

std::vector<uint8_t> typicalFrame()
{
    tup::FrameBuilder b;
    b.setSeqno(1);
    b.setTimestamp(1700000000);
    tup::devinfo_s d;
    d.type = 1;
    d.serial = 0xC0FFEE;
    d.lang = "en";
    b.addDevInfo(d);
    tup::gpiostate_s g;
    g.good = 1;
    b.addGpioState(g);
    std::vector<tup::core_tmp> items(50);
    for (size_t i = 0; i < items.size(); ++i) {
        items[i].ci_class = static_cast<uint16_t>(1 + i / 10);
        items[i].ci_field = static_cast<uint16_t>(i % 10);
        items[i].ci_type = 4;
        items[i].datalen = 4;
        items[i].baData = {0x41, static_cast<uint8_t>(i), 0x00, 0x00};
    }
    b.addCore(items);
    return b.build();
}

// Runs fn repeatedly for about `seconds`; returns calls per second.
template <typename Fn> double rate(double seconds, Fn fn)
{
    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    const auto until = start + std::chrono::duration<double>(seconds);
    unsigned long n = 0;
    while (clock::now() < until) {
        for (int i = 0; i < 256; ++i)
            fn();
        n += 256;
    }
    const double elapsed = std::chrono::duration<double>(clock::now() - start).count();
    return n / elapsed;
}

volatile size_t g_sink;

} // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
    if (!(seconds > 0)) {
        std::fprintf(stderr, "usage: bench_tupparse [seconds]\n");
        return 2;
    }
    const std::vector<uint8_t> frame = typicalFrame();

    const double crcRate = rate(seconds, [&] {
        g_sink = g_sink + tup::crc16(tup::TUP_POLY, 0, frame.data(), frame.size() - 2);
    });

    tup::devinfo_s dev;
    tup::gpiostate_s gpio;
    std::vector<tup::core_tmp> items;
    const double parseRate = rate(seconds, [&] {
        tup::link_state_s link; // a fresh receiver each time: seqno 1 is never a repeat
        const tup::frame_check_s c = tup::checkFrame(frame.data(), frame.size(), "10.0.0.7", link);
        if (!c.accepted())
            std::abort();
        tup::walkSections(frame.data(), c.frameSize, [&](const tup::section_view_s& v) {
            switch (v.type) {
            case tup::SECT_DEVINFO:
                return tup::decodeDevInfo(v.bytes, v.size, dev) == tup::DecodeStatus::Ok;
            case tup::SECT_GPIOSTATE:
                return tup::decodeGpioState(v.bytes, v.size, gpio) == tup::DecodeStatus::Ok;
            case tup::SECT_CORE:
                return tup::decodeCore(v.bytes, v.size, items) == tup::DecodeStatus::Ok;
            }
            return false;
        });
        if (items.size() != 50)
            std::abort();
        g_sink = g_sink + items.size() + dev.serial + gpio.good;
    });

    std::printf("typical frame: %zu bytes (DevInfo, GpioState, Core with 50 items)\n",
                frame.size());
    std::printf("baseline crc16 only:          %12.0f frames/s\n", crcRate);
    std::printf("bare parser (check+walk+decode): %9.0f frames/s (%.2f x the CRC time)\n",
                parseRate, crcRate / parseRate);
    return 0;
}
