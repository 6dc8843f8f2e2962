// The front link under load from its own device: a system script that hangs
// for its whole time limit stalls nothing (frames are read, the LEDs blink at
// their rates, the registers stay current), and a device that alternates two
// configuration records on every frame has each applied at most once per
// period. The device is a thread of its own with a plain UDP socket, and the
// LEDs are sampled from their sysfs files by another thread, so a stalled
// front link would show as missing frames and missing blink edges.
#include "frontlinkfixture.h"
#include "logcapture.h"
#include "registerroad.h"
#include "scriptwatcher.h"
#include "tupbytes.h"
#include "udphandler.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QUdpSocket>
#include <QtTest>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using Tessal::UdpHandler;
using namespace std::chrono;

namespace
{

// Sends the frames to 127.0.0.1:port, one every `interval`, from its own
// thread and socket.
class DeviceThread
{
public:
    DeviceThread(std::vector<QByteArray> frames, quint16 port, milliseconds interval)
        : frames(std::move(frames))
    {
        worker = std::thread([this, port, interval] {
            const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(port);
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            auto next = steady_clock::now();
            for (const QByteArray& f : this->frames) {
                ::sendto(fd, f.constData(), static_cast<size_t>(f.size()), 0,
                         reinterpret_cast<const sockaddr*>(&to), sizeof to);
                ++sent;
                next += interval;
                std::this_thread::sleep_until(next);
            }
            ::close(fd);
            done = true;
        });
    }
    ~DeviceThread() { worker.join(); }

    std::atomic<int> sent{0};
    std::atomic<bool> done{false};

private:
    std::vector<QByteArray> frames;
    std::thread worker;
};

// Reads the value files of the given pins every 5 ms and records each change
// with its time.
class LedSampler
{
public:
    LedSampler(const UnitRoot& root, std::vector<int> pins) : pins(std::move(pins))
    {
        for (int pin : this->pins)
            paths.push_back(root.path(QString("sys/class/gpio/gpio%1/value").arg(pin)));
        clock.start();
        worker = std::thread([this] {
            std::vector<QByteArray> last(paths.size());
            while (!stopping) {
                for (size_t i = 0; i < paths.size(); ++i) {
                    QFile f(paths[i]);
                    if (!f.open(QIODevice::ReadOnly))
                        continue;
                    const QByteArray v = f.readAll();
                    if (v.isEmpty() || v == last[i])
                        continue;
                    if (!last[i].isEmpty()) {
                        std::lock_guard<std::mutex> lock(mutex);
                        edges.push_back({this->pins[i], clock.elapsed()});
                    }
                    last[i] = v;
                }
                std::this_thread::sleep_for(milliseconds(5));
            }
        });
    }
    ~LedSampler()
    {
        stopping = true;
        worker.join();
    }
    // Edges of `pin` between `from` and `to` (ms on the sampler's clock).
    int edgesBetween(int pin, qint64 from, qint64 to)
    {
        std::lock_guard<std::mutex> lock(mutex);
        int n = 0;
        for (const auto& e : edges)
            n += e.first == pin && e.second >= from && e.second <= to;
        return n;
    }
    QElapsedTimer clock;

private:
    std::vector<int> pins;
    std::vector<QString> paths;
    std::vector<std::pair<int, qint64>> edges;
    std::mutex mutex;
    std::atomic<bool> stopping{false};
    std::thread worker;
};

// One register (Voltage, u16) in one table at address 100.
const char* oneRegisterMap = R"({
  "ci": {"types": {"u16": 2}, "classes": {"Meter": {"id": 10, "fields": {"Voltage": 1}}}},
  "registers": [{"id": 1, "name": "V", "mb_type": "u16", "ci_class": "Meter",
                 "ci_field": "Voltage", "ci_index": 0, "ci_type": "u16"}],
  "tables": [{"name": "t", "mode": "r", "address": 100, "registers": [1]}]
})";

tup::core_tmp voltage(quint16 value)
{
    tup::core_tmp it;
    it.ci_class = 10;
    it.ci_field = 1;
    it.instance = 0;
    it.ci_type = 2;
    it.datalen = 2;
    it.baData = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    return it;
}

quint16 freePort()
{
    QUdpSocket probe;
    probe.bind(QHostAddress(QHostAddress::LocalHost), 0);
    return probe.localPort();
}

} // namespace

class TestFrontLinkNoStall : public QObject
{
    Q_OBJECT

private slots:
    // modbuscfg.sh hangs for its whole limit (3 s here). Meanwhile the frames
    // are read and counted, green (fast) and yellow (slow) blink at their
    // rates, and every Core value reaches the update script, the last one
    // included.
    void aHungScriptStallsNothing()
    {
        UnitRoot root;
        LogCapture log;
        RecordingTarget target;
        root.configure(10);
        root.touch("no.map", oneRegisterMap); // the map the unit root's ini names
        root.recordAllScripts();
        root.recordingScript("modbuscfg.sh", "exec sleep 60\n");
        // The update script writes each document it is given.
        root.recordingScript("mbserverupdate.sh", "printf '%s\\n' \"$1\" >> '" +
                                                      root.path("documents").toLocal8Bit() + "'\n");

        const int limitMs = 3000;
        Tessal::FrontLinkLimits_s limits;
        limits.scriptLimitMs = limitMs;
        limits.configPeriodMs = 100;
        const quint16 port = freePort();
        UdpHandler handler("127.0.0.1", port, &target, nullptr, limits);
        handler.init();

        QElapsedTimer clock;
        LedSampler leds(root, {kGreen, kYellow});
        clock.start();
        const qint64 skew = leds.clock.elapsed() - clock.elapsed(); // sampler ahead by this
        std::vector<qint64> acceptedAt;
        connect(handler.frameReceiver(), &Tessal::FrameReceiver::frameAccepted, this,
                [&] { acceptedAt.push_back(clock.elapsed()); });
        qint64 hangStart = -1, hangEnd = -1;
        Tessal::ScriptEnd hangEndedBy = Tessal::ScriptEnd::NotRun;
        connect(handler.systemScripts(), &Tessal::ScriptWatcher::started, this,
                [&](const Tessal::ScriptRun_s& run) {
                    if (run.name == "modbuscfg.sh")
                        hangStart = clock.elapsed();
                });
        connect(handler.systemScripts(), &Tessal::ScriptWatcher::finished, this,
                [&](const Tessal::ScriptRun_s& run, Tessal::ScriptEnd end) {
                    if (run.name == "modbuscfg.sh") {
                        hangEnd = clock.elapsed();
                        hangEndedBy = end;
                    }
                });
        QSignalSpy delivered(handler.registers(), &Tessal::RegisterRoad::documentDelivered);

        // 100 frames, one every 50 ms: green blinks fast, yellow slowly, the
        // voltage counts up; the first frame also asks for Modbus TCP.
        std::vector<QByteArray> frames;
        tup::modbuscfg_s mb;
        mb.tcp_status = true;
        mb.tcp_port = 1502;
        const int count = 100;
        for (int i = 1; i <= count; ++i) {
            frames.push_back(makeFrame(static_cast<uint32_t>(i), [&](tup::FrameBuilder& b) {
                b.addGpioState(gpio(3, 2, 0, 0));
                if (i == 1)
                    b.addModbusCfg(mb);
                b.addCore({voltage(static_cast<quint16>(i))}); // Core ends the frame
            }));
        }
        {
            DeviceThread device(frames, port, milliseconds(50));
            QTRY_VERIFY_WITH_TIMEOUT(device.done, 20000);
        }
        QTRY_VERIFY2_WITH_TIMEOUT(hangEnd >= 0,
                                  qPrintable(QString("%1 frames accepted, script started at %2; %3")
                                                 .arg(acceptedAt.size())
                                                 .arg(hangStart)
                                                 .arg(log.lines().join('\n').right(3000))),
                                  10000);
        QCOMPARE(hangEndedBy, Tessal::ScriptEnd::Killed);
        QCOMPARE(log.count(QString("Script '%1' did not finish within %2 ms, killed")
                               .arg(root.path("scripts/modbuscfg.sh"))
                               .arg(limitMs)),
                 1);
        QVERIFY(hangStart >= 0);
        const qint64 hang = hangEnd - hangStart;
        QVERIFY2(hang >= limitMs - 100, qPrintable(QString("hang of %1 ms").arg(hang)));

        // Frames read and blink edges while the script hung, in each half of
        // the hang: about one frame per 50 ms, a fast edge per 250 ms, a slow
        // one per 1000 ms. A front link that waited for the script would
        // show none in the first half.
        QTRY_COMPARE(int(acceptedAt.size()), count);
        const qint64 middle = hangStart + hang / 2;
        for (const auto& [from, to] : {std::pair<qint64, qint64>(hangStart, middle),
                                       std::pair<qint64, qint64>(middle, hangEnd)}) {
            const auto frames = std::count_if(acceptedAt.begin(), acceptedAt.end(),
                                              [&](qint64 t) { return t > from && t < to; });
            QVERIFY2(frames >= (to - from) / 50 / 2,
                     qPrintable(QString("%1 frames read in %2 ms").arg(frames).arg(to - from)));
            const int fast = leds.edgesBetween(kGreen, from + skew, to + skew);
            QVERIFY2(fast >= (to - from) / 250 - 1,
                     qPrintable(QString("%1 fast edges in %2 ms").arg(fast).arg(to - from)));
        }
        const int fast = leds.edgesBetween(kGreen, hangStart + skew, hangEnd + skew);
        const int slow = leds.edgesBetween(kYellow, hangStart + skew, hangEnd + skew);
        QVERIFY2(slow >= hang / 1000 - 1 && slow <= hang / 1000 + 1,
                 qPrintable(QString("%1 slow edges").arg(slow)));
        QVERIFY2(fast >= 3 * slow, qPrintable(QString("%1 fast, %2 slow").arg(fast).arg(slow)));

        // The registers kept up: documents went out during the hang, and the
        // last value sent is the last document delivered.
        QTRY_VERIFY(!delivered.isEmpty() &&
                    delivered.last().first().toString() ==
                        QString(R"({"cmd":"setconfig","data":[{"address":100,"values":[%1]}]})")
                            .arg(count));
        const QList<QByteArray> documents = root.read("documents").split('\n');
        QVERIFY(documents.size() > 10);
        QVERIFY(root.scriptCalls().contains("modbuscfg.sh|enable|1502"));
        handler.stop();
    }

    // A device alternating two NetCfg records every 100 ms for 10 s: the
    // script runs at most 10 s / period + 1 times, and the last record sent
    // is the one in force (and the last the script was given).
    void alternatingRecordsApplyOncePerPeriod()
    {
        UnitRoot root;
        RecordingTarget target;
        root.configure(10);
        root.recordAllScripts();
        const quint16 port = freePort();
        UdpHandler handler("127.0.0.1", port, &target); // the kiosk's own period
        handler.init();
        const int periodMs = handler.configuration()->periodMs();
        QCOMPARE(periodMs, Tessal::ConfigApply::defaultPeriodMs);

        tup::netcfg_s a;
        tup::parseIPv4("192.168.1.20", a.ip);
        tup::netcfg_s b = a;
        b.dhcp = true;
        std::vector<QByteArray> frames;
        const int count = 100; // 10 s at 100 ms
        for (int i = 1; i <= count; ++i)
            frames.push_back(makeFrame(static_cast<uint32_t>(i),
                                       [&](tup::FrameBuilder& f) { f.addNetCfg(i % 2 ? a : b); }));
        const tup::netcfg_s last = count % 2 ? a : b;
        QSignalSpy applied(handler.configuration(), &Tessal::ConfigApply::netCfgApplied);
        {
            DeviceThread device(frames, port, milliseconds(100));
            QTRY_VERIFY_WITH_TIMEOUT(device.done, 20000);
        }
        // The last period ends.
        QTRY_VERIFY_WITH_TIMEOUT(handler.configuration()->netCfg() == last, 2 * periodMs);
        QTest::qWait(periodMs + 200);
        const QStringList runs = root.scriptCalls().filter("netcfg.sh|");
        const int bound = 10000 / periodMs + 1;
        // As few as one: a period that ends on the record in force runs
        // nothing.
        QVERIFY2(runs.size() <= bound && runs.size() >= 1,
                 qPrintable(QString("%1 runs, at most %2: %3")
                                .arg(runs.size())
                                .arg(bound)
                                .arg(root.scriptCalls().join(' '))));
        QCOMPARE(applied.count(), runs.size());
        QCOMPARE(runs.last(), "netcfg.sh|" + Tessal::ConfigApply::netCfgArguments(last).join('|'));
        // Never the same content twice in a row.
        for (int i = 1; i < runs.size(); ++i)
            QVERIFY(runs[i] != runs[i - 1]);
        handler.stop();
    }
};

QTEST_GUILESS_MAIN(TestFrontLinkNoStall)
#include "tst_frontlink_nostall.moc"
