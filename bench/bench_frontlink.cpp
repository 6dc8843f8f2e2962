// Frames per second the kiosk's front-link receiver validates and decodes,
// next to the bare frame-library parser on the same frames in the same run.
// The frame is a typical one: DevInfo, GpioState and a Core section of 50
// four-byte items. The receiver runs its full path (checks, walk, decoders,
// effects) against an empty unit root: no GPIO files, no scripts, no map.
//
// Usage: bench_frontlink [seconds-per-measure]   (default 1)
#include "framebuilder.h"
#include "framecheck.h"
#include "sectiondecoders.h"
#include "sectionwalker.h"
#include "settings.h"
#include "udphandler.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <cstdio>
#include <vector>

namespace
{

void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

std::vector<std::vector<uint8_t>> makeFrames(int count)
{
    tup::devinfo_s info;
    info.type = 1;
    info.swmajor = 2;
    info.serial = 0x12345678;
    info.lang = "en";
    tup::gpiostate_s gpio;
    gpio.good = 1;
    gpio.warning = 2;
    std::vector<tup::core_tmp> items(50);
    for (size_t i = 0; i < items.size(); ++i) {
        items[i].ci_class = static_cast<uint16_t>(10 + i);
        items[i].ci_field = 1;
        items[i].instance = static_cast<uint8_t>(i);
        items[i].ci_type = 3;
        items[i].baData = {0x41, 0x20, static_cast<uint8_t>(i), 0};
        items[i].datalen = 4;
    }
    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < count; ++i) {
        tup::FrameBuilder b;
        b.setSeqno(static_cast<uint32_t>(i + 1));
        b.setTimestamp(1700000000u + static_cast<uint32_t>(i));
        b.addDevInfo(info);
        b.addGpioState(gpio);
        b.addCore(items);
        frames.push_back(b.build());
    }
    return frames;
}

// The bare library path: the ten checks, the walk and the three decoders.
size_t parseBare(const std::vector<uint8_t>& f, tup::link_state_s& link)
{
    const tup::frame_check_s check = tup::checkFrame(f.data(), f.size(), "10.0.0.7", link);
    if (!check.accepted())
        return 0;
    tup::devinfo_s info;
    tup::gpiostate_s gpio;
    std::vector<tup::core_tmp> items;
    auto decode = [&](const tup::section_view_s& v) {
        switch (v.type) {
        case tup::SECT_DEVINFO:
            return tup::decodeDevInfo(v.bytes, v.size, info) == tup::DecodeStatus::Ok;
        case tup::SECT_GPIOSTATE:
            return tup::decodeGpioState(v.bytes, v.size, gpio) == tup::DecodeStatus::Ok;
        case tup::SECT_CORE:
            return tup::decodeCore(v.bytes, v.size, items) == tup::DecodeStatus::Ok;
        default:
            return false;
        }
    };
    tup::walkSections(f.data(), check.frameSize, decode);
    tup::acceptFrame(link, "10.0.0.7", check);
    return items.size();
}

template <class Fn> double framesPerSecond(double seconds, size_t frameCount, Fn fn, size_t& sink)
{
    QElapsedTimer t;
    t.start();
    size_t done = 0;
    const qint64 limit = static_cast<qint64>(seconds * 1e9);
    while (t.nsecsElapsed() < limit) {
        for (int k = 0; k < 256; ++k)
            sink += fn(done++ % frameCount);
    }
    return static_cast<double>(done) * 1e9 / static_cast<double>(t.nsecsElapsed());
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const double seconds = argc > 1 ? std::max(0.1, std::atof(argv[1])) : 1.0;

    QTemporaryDir root;
    qputenv("TESSAL_ROOT", root.path().toLocal8Bit());
    Tessal::Settings::resetToDefaults();
    Tessal::Settings::load(); // no ini file under the root: defaults
    qInstallMessageHandler(quiet);

    const auto frames = makeFrames(20000);
    std::vector<QByteArray> datagrams;
    for (const auto& f : frames)
        datagrams.emplace_back(reinterpret_cast<const char*>(f.data()), static_cast<int>(f.size()));

    Tessal::UdpHandler handler("127.0.0.1", 0, nullptr);
    handler.init();
    QHostAddress sender("10.0.0.7");

    size_t sink = 0;
    tup::link_state_s link;
    double bare = 0, receiver = 0;
    for (int round = 0; round < 3; ++round) {
        bare = std::max(bare, framesPerSecond(
                                  seconds, frames.size(),
                                  [&](size_t i) { return parseBare(frames[i], link); }, sink));
        receiver = std::max(receiver, framesPerSecond(
                                          seconds, datagrams.size(),
                                          [&](size_t i) {
                                              QByteArray d = datagrams[i];
                                              handler.frameReceiver()->handleData(&d, &sender);
                                              return handler.frameReceiver()->itemList().size();
                                          },
                                          sink));
    }
    handler.stop();
    qInstallMessageHandler(nullptr);

    std::printf("frame: DevInfo + GpioState + Core of 50 items, %zu bytes\n", frames[0].size());
    std::printf("bare frame-library parser : %10.0f frames/s\n", bare);
    std::printf("FrameReceiver::handleData : %10.0f frames/s\n", receiver);
    std::printf("receiver / bare           : %10.3f\n", receiver / bare);
    std::printf("(items decoded: %zu)\n", sink);
    return 0;
}
