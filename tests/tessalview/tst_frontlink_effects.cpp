// What an accepted frame does: LEDs and buzzer through the (fake) GPIO sysfs
// tree, the blink ticks, the Core items handed to the Modbus bridge and the
// configuration scripts with their arguments.
#include "configapply.h"
#include "tupbytes.h"
#include "frontlinkfixture.h"
#include "logcapture.h"
#include "scriptwatcher.h"
#include "udphandler.h"

#include <QFileInfo>
#include <QDir>
#include <QSignalSpy>
#include <QtTest>

#include <csignal>
#include <cerrno>

using Tessal::ConfigApply;
using Tessal::UdpHandler;

namespace
{
uint32_t ip(const char* text)
{
    uint32_t host = 0;
    tup::parseIPv4(text, host);
    return host;
}
} // namespace

class TestFrontLinkEffects : public QObject
{
    Q_OBJECT

private:
    UnitRoot* root = nullptr;
    LogCapture* log = nullptr;
    RecordingTarget* target = nullptr;
    UdpHandler* handler = nullptr;
    QHostAddress device{"10.0.0.7"};
    uint32_t seq = 0;

    // A short period keeps the configuration cases quick.
    static constexpr int periodMs = 100;

    void start(const QString& extraIni = QString())
    {
        root->configure(10, extraIni);
        // Port 0: these tests hand datagrams over directly.
        Tessal::FrontLinkLimits_s limits;
        limits.configPeriodMs = periodMs;
        handler = new UdpHandler("127.0.0.1", 0, target, nullptr, limits);
        handler->init();
    }
    // The system scripts' calls, without the register road's.
    QStringList configCalls() const
    {
        QStringList calls = root->scriptCalls();
        for (int i = calls.size() - 1; i >= 0; --i) {
            if (calls[i].startsWith("mbserver"))
                calls.removeAt(i);
        }
        return calls;
    }
    void send(const QByteArray& frame)
    {
        QByteArray copy = frame;
        handler->frameReceiver()->handleData(&copy, &device);
    }
    void sendGpio(const tup::gpiostate_s& s) { send(gpioFrame(++seq, s)); }
    QByteArray values() const
    {
        return root->gpio(kGreen, "value") + root->gpio(kYellow, "value") +
               root->gpio(kRed, "value") + root->gpio(kBuzzer, "value");
    }
    void setValues(const QByteArray& v)
    {
        const int pins[] = {kGreen, kYellow, kRed, kBuzzer};
        for (int i = 0; i < 4; ++i)
            root->touch(QString("sys/class/gpio/gpio%1/value").arg(pins[i]), v.mid(i, 1));
    }

private slots:
    void init()
    {
        root = new UnitRoot;
        root->recordAllScripts();
        log = new LogCapture;
        target = new RecordingTarget;
        seq = 0;
    }
    void cleanup()
    {
        if (handler) {
            handler->stop();
            delete handler;
            handler = nullptr;
        }
        delete target;
        delete log;
        delete root;
    }

    // --- indicators -----------------------------------------------------------

    void startUpPattern()
    {
        QDir(root->path(QString("sys/class/gpio/gpio%1").arg(kRed))).removeRecursively();
        start();
        QCOMPARE(log->count("Initialize GPIOs"), 1);
        QCOMPARE(log->count("All LEDs on, Buzzer off"), 1);
        // The missing pin is exported; the present ones are configured.
        QCOMPARE(root->read("sys/class/gpio/export"), QByteArray::number(kRed));
        QCOMPARE(root->gpio(kGreen, "direction"), QByteArray("out"));
        QCOMPARE(root->gpio(kBuzzer, "direction"), QByteArray("out"));
        // Active low unless the pin is configured active high.
        QCOMPARE(root->gpio(kGreen, "active_low"), QByteArray("1"));
        QCOMPARE(root->gpio(kYellow, "active_low"), QByteArray("0"));
        QCOMPARE(root->gpio(kBuzzer, "active_low"), QByteArray("0"));
        QCOMPARE(root->gpio(kGreen, "value") + root->gpio(kYellow, "value") +
                     root->gpio(kBuzzer, "value"),
                 QByteArray("110"));
        QCOMPARE(handler->indicatorOutputs()->state(), gpio(2, 2, 2, 0));
        QCOMPARE(handler->indicatorOutputs()->phase(), gpio(1, 1, 1, 0));
        QCOMPARE(handler->findChild<QTimer*>("blinkFastTimer")->interval(), 250);
        QCOMPARE(handler->findChild<QTimer*>("blinkSlowTimer")->interval(), 1000);
        QVERIFY(handler->findChild<QTimer*>("blinkSlowTimer")->isActive());
    }

    void steadyStatesAfterStartStopTheBlinking()
    {
        start();
        for (int pin : {kGreen, kYellow, kRed, kBuzzer})
            root->touch(QString("sys/class/gpio/gpio%1/direction").arg(pin), "in");
        sendGpio(gpio(1, 0, 0, 0));
        QCOMPARE(values(), QByteArray("1000"));
        // Changed indicators are re-configured; the buzzer's code was already 0.
        QCOMPARE(root->gpio(kGreen, "direction"), QByteArray("out"));
        QCOMPARE(root->gpio(kRed, "direction"), QByteArray("out"));
        QCOMPARE(root->gpio(kBuzzer, "direction"), QByteArray("in"));
        QCOMPARE(handler->indicatorOutputs()->phase(), gpio(1, 0, 0, 0));
        handler->indicatorOutputs()->blinkSlowTimeout();
        handler->indicatorOutputs()->blinkFastTimeout();
        QCOMPARE(values(), QByteArray("1000"));
    }

    void blinkTicksToggleOnlyTheirCode()
    {
        start();
        sendGpio(gpio(3, 2, 1, 3));
        QCOMPARE(values(), QByteArray("1111"));
        handler->indicatorOutputs()->blinkFastTimeout();
        QCOMPARE(values(), QByteArray("0110"));
        handler->indicatorOutputs()->blinkSlowTimeout();
        QCOMPARE(values(), QByteArray("0010"));
        handler->indicatorOutputs()->blinkFastTimeout();
        QCOMPARE(values(), QByteArray("1011"));
        QCOMPARE(handler->indicatorOutputs()->phase(), gpio(1, 0, 1, 1));

        // The timers themselves drive the fast blink.
        const QByteArray before = root->gpio(kGreen, "value");
        QTRY_VERIFY_WITH_TIMEOUT(root->gpio(kGreen, "value") != before, 3000);
    }

    void repeatedBlinkStateLeavesTheOutputAlone()
    {
        start();
        sendGpio(gpio(1, 0, 3, 0));
        setValues("7777");
        sendGpio(gpio(1, 0, 3, 0));
        // Steady states are rewritten, the blinking red one is not touched.
        QCOMPARE(values(), QByteArray("1070"));
    }

    void changeToABlinkCodeStartsOn()
    {
        start();
        sendGpio(gpio(0, 0, 2, 0));
        handler->indicatorOutputs()->blinkSlowTimeout();
        QCOMPARE(root->gpio(kRed, "value"), QByteArray("0"));
        sendGpio(gpio(0, 0, 3, 0));
        QCOMPARE(root->gpio(kRed, "value"), QByteArray("1"));
        QCOMPARE(handler->indicatorOutputs()->phase().critical, quint8(1));
        // Codes above 3 light the output and never blink.
        sendGpio(gpio(0, 0, 9, 0));
        handler->indicatorOutputs()->blinkFastTimeout();
        handler->indicatorOutputs()->blinkSlowTimeout();
        QCOMPARE(root->gpio(kRed, "value"), QByteArray("1"));
    }

    void lostLinkPattern()
    {
        root->configure(1);
        handler = new UdpHandler("127.0.0.1", 0, target);
        handler->init();
        sendGpio(gpio(1, 0, 0, 1));
        QCOMPARE(values(), QByteArray("1001"));
        // No blink tick may toggle the outputs between the watchdog and the
        // checks below.
        handler->findChild<QTimer*>("blinkFastTimer")->stop();
        handler->findChild<QTimer*>("blinkSlowTimer")->stop();
        QTRY_VERIFY_WITH_TIMEOUT(!handler->frameReceiver()->isAttached(), 5000);
        QCOMPARE(handler->indicatorOutputs()->state(), gpio(3, 3, 3, 1));
        QCOMPARE(handler->indicatorOutputs()->phase(), gpio(1, 1, 1, 1));
        QCOMPARE(values(), QByteArray("1111"));
    }

    void pinNumbersAboveAByteAreKept()
    {
        root->makePin(300);
        root->makePin(44);
        start("[GPIO]\nLedRedPin=300\n");
        sendGpio(gpio(0, 0, 1, 0));
        QCOMPARE(root->gpio(300, "value"), QByteArray("1"));
        QCOMPARE(root->gpio(44, "value"), QByteArray("x"));
    }

    // --- Core items -------------------------------------------------------------

    void coreItemsReachTheBridge()
    {
        start();
        std::vector<tup::core_tmp> items;
        for (int i = 0; i < 50; ++i) {
            tup::core_tmp item;
            item.ci_class = static_cast<uint16_t>(100 + i);
            item.ci_field = 2;
            item.instance = static_cast<uint8_t>(i);
            item.ci_type = 7;
            item.baData = {0x11, 0x22, static_cast<uint8_t>(i), 0x44};
            item.datalen = 4;
            items.push_back(item);
        }
        send(makeFrame(1, [&](tup::FrameBuilder& b) { QVERIFY(b.addCore(items)); }));
        QCOMPARE(handler->frameReceiver()->itemList().size(), size_t(50));
        QVERIFY(handler->frameReceiver()->itemList() == items);
        QTRY_COMPARE(root->scriptCalls().filter("mbserverupdate.sh|").size(), 1);

        // A Core section without items still runs the update chain once.
        send(makeFrame(2, [&](tup::FrameBuilder& b) { b.addCore({}); }));
        QVERIFY(handler->frameReceiver()->itemList().empty());
        QTRY_COMPARE(root->scriptCalls().filter("mbserverupdate.sh|").size(), 2);
    }

    // An item whose data runs past its section ends the item list there.
    void coreItemRunningPastTheSectionStopsTheList()
    {
        start();
        std::vector<uint8_t> payload = {1, 0, 2, 0, 3, 4, 2,    0, 0xaa, 0xbb, // item 1: 2 bytes
                                        5, 0, 6, 0, 7, 8, 0xff, 0, 0x01};      // item 2: 255 bytes?
        send(makeFrame(1, [&](tup::FrameBuilder& b) { b.addRawSection(0x80, payload); }));
        QCOMPARE(log->count("Core item 2 runs past the end of the section. Stop item list"), 1);
        QVERIFY(!log->contains("Decode error"));
        QCOMPARE(handler->frameReceiver()->itemList().size(), size_t(1));
        QCOMPARE(handler->frameReceiver()->itemList()[0].ci_class, quint16(1));
        QVERIFY(handler->frameReceiver()->itemList()[0].baData ==
                std::vector<uint8_t>({0xbb, 0xaa}));
    }

    // Core has no minimum length: a length field short of the section's bytes
    // is a size mismatch, reported on the warning channel.
    void coreLengthBelowItsHeadIsASizeMismatch()
    {
        start();
        send(makeFrame(1, [](tup::FrameBuilder& b) { b.addRawSection(0x80, {1, 2, 3, 4}, 2); }));
        QCOMPARE(log->lines().mid(log->lines().indexOf("Payload size mismatch"), 2),
                 QStringList({"Payload size mismatch", "Decode error"}));
        QVERIFY(!log->contains("Too short"));
        QTest::qWait(100);
        QVERIFY(root->scriptCalls().filter("mbserverupdate.sh|").isEmpty());
    }

    // A section the decoder refuses costs that section only; a good one is
    // handed on as its record (the decoders' own statuses are libtup's tests).
    void decodedSectionsReachTheirSignals()
    {
        start();
        Tessal::FrameReceiver* receiver = handler->frameReceiver();
        QSignalSpy gpioSpy(receiver, &Tessal::FrameReceiver::gpioStateDecoded);
        QSignalSpy modbusSpy(receiver, &Tessal::FrameReceiver::modbusCfgDecoded);
        QSignalSpy accepted(receiver, &Tessal::FrameReceiver::frameAccepted);
        // A GpioState whose length says 7: too short for its 8 bytes.
        send(makeFrame(1, [](tup::FrameBuilder& b) { b.addRawSection(0x20, {1, 2, 3}, 7); }));
        QVERIFY(log->contains("Too short"));
        QVERIFY(gpioSpy.isEmpty());
        QCOMPARE(accepted.count(), 1);

        tup::modbuscfg_s sent;
        sent.tcp_status = true;
        sent.tcp_port = 1502;
        send(makeFrame(2, [&](tup::FrameBuilder& b) {
            b.addGpioState(gpio(1, 2, 3, 0));
            b.addModbusCfg(sent);
        }));
        QCOMPARE(gpioSpy.count(), 1);
        QCOMPARE(gpioSpy.first().first().value<tup::gpiostate_s>(), gpio(1, 2, 3, 0));
        QCOMPARE(modbusSpy.count(), 1);
        const auto m = modbusSpy.first().first().value<tup::modbuscfg_s>();
        QVERIFY(!m.resetcfg);
        QVERIFY(m.tcp_status);
        QCOMPARE(m.tcp_port, quint16(1502));
        QCOMPARE(accepted.count(), 2);
        QCOMPARE(accepted.last().first().toUInt(), 2u);
    }

    // --- configuration scripts ------------------------------------------------

    void configurationAppliedOnChangeOnly()
    {
        start();
        tup::netcfg_s net;
        net.tessal = true;
        net.ip = ip("192.168.1.20");
        net.mask = ip("255.255.255.0");
        net.gateway = ip("192.168.1.1");
        net.dns1 = ip("8.8.8.8");
        tup::modbuscfg_s mb;
        mb.tcp_status = true;
        mb.tcp_port = 502;
        auto frame = [&](uint32_t s) {
            return makeFrame(s, [&](tup::FrameBuilder& b) {
                b.addModbusCfg(mb);
                b.addNetCfg(net);
            });
        };
        QSignalSpy netApplied(handler->configuration(), &ConfigApply::netCfgApplied);
        send(frame(1));
        // The device is registered at once; its records when their period
        // ends. The defaults in force were never confirmed: the first record
        // applies, even a Modbus record equal to the defaults' values.
        QTRY_COMPARE(configCalls(),
                     QStringList({"k3p.sh|10.0.0.7",
                                  "netcfg.sh|static|192.168.1.20|255.255.255.0|192.168.1.1|"
                                  "8.8.8.8|0.0.0.0|tessal",
                                  "modbuscfg.sh|enable|502"}));
        QCOMPARE(netApplied.count(), 1);
        QVERIFY(!handler->configuration()->netCfg().resetcfg);
        QCOMPARE(handler->configuration()->netCfg(), net);

        root->clearScriptCalls();
        send(frame(2));
        QTest::qWait(3 * periodMs);
        QVERIFY(configCalls().isEmpty());

        net.dhcp = true;
        mb.tcp_status = false;
        mb.tcp_port = 1502;
        send(frame(3));
        QTRY_COMPARE(configCalls(),
                     QStringList({"netcfg.sh|dhcp|192.168.1.20|255.255.255.0|192.168.1.1|8.8.8.8|"
                                  "0.0.0.0|tessal",
                                  "modbuscfg.sh|disable|1502"}));
        QCOMPARE(netApplied.count(), 2);
    }

    // The settings file lives in a shared temporary directory: a link planted
    // at its name must not make the kiosk write through it into another file.
    void plantedLinkAtTheSnmpFileIsReplacedNotFollowed()
    {
        start();
        const QString file = ConfigApply::snmpCfgPath();
        QVERIFY(QDir().mkpath(QFileInfo(file).absolutePath()));
        const QString victim = QFileInfo(file).absolutePath() + "/victim.txt";
        {
            QFile v(victim);
            QVERIFY(v.open(QIODevice::WriteOnly));
            v.write("keep me");
        }
        QFile::remove(file);
        QVERIFY(QFile::link(victim, file));
        tup::snmpcfg_s snmp;
        snmp.version = 2;
        snmp.ro_user = "public";
        send(makeFrame(1, [&](tup::FrameBuilder& b) { b.addSnmpCfg(snmp); }));
        QTRY_VERIFY(root->scriptCalls().contains("snmpcfg.sh|" + file));
        QFile v(victim);
        QVERIFY(v.open(QIODevice::ReadOnly));
        QCOMPARE(v.readAll(), QByteArray("keep me"));
        QVERIFY(!QFileInfo(file).isSymLink());
        QFile written(file);
        QVERIFY(written.open(QIODevice::ReadOnly));
        QVERIFY(written.readAll().split('\n').contains("ro_user=public"));
    }

    void snmpSettingsTravelInAnOwnerOnlyFile()
    {
        start();
        tup::snmpcfg_s snmp;
        snmp.version = 5;
        snmp.priv_hash = 2;
        snmp.priv_algo = 2;
        snmp.ro_user = "public";
        snmp.priv_pwd = "pa%ss\nversion=V1"; // must not become a line of its own
        snmp.trap_addr2 = ip("10.1.2.3");
        tup::netcfg_s net;
        net.dhcp = true;
        send(makeFrame(1, [&](tup::FrameBuilder& b) {
            b.addNetCfg(net);
            b.addSnmpCfg(snmp);
            b.addCore({});
        }));
        const QString file = ConfigApply::snmpCfgPath();
        // Effects run in their fixed order whatever the section order; the
        // register road's update runs on its own, without waiting for them.
        QTRY_COMPARE(configCalls(),
                     QStringList({"k3p.sh|10.0.0.7", "snmpctl.sh|stop", "snmpcfg.sh|" + file,
                                  "snmptrap.sh|" + file, "snmpctl.sh|start",
                                  "netcfg.sh|dhcp|0.0.0.0|0.0.0.0|0.0.0.0|0.0.0.0|0.0.0.0|"
                                  "standalone"}));
        QTRY_COMPARE(root->scriptCalls().filter("mbserverupdate.sh|").size(), 1);
        const QFile::Permissions perm = QFileInfo(file).permissions();
        QVERIFY(perm & QFile::ReadOwner);
        QVERIFY(!(perm &
                  (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther)));
        QFile f(file);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = f.readAll().split('\n');
        QVERIFY(lines.contains("version=V3PRIV"));
        QVERIFY(lines.contains("priv_hash=SHA"));
        QVERIFY(lines.contains("priv_algo=AES"));
        QVERIFY(lines.contains("ro_user=public"));
        QVERIFY(lines.contains("priv_pwd=pa%25ss%0Aversion=V1"));
        QVERIFY(lines.contains("trap_addr1=0.0.0.0"));
        QVERIFY(lines.contains("trap_addr2=10.1.2.3"));
        QVERIFY(lines.contains("port=161"));
        QCOMPARE(std::count_if(lines.begin(), lines.end(),
                               [](const QByteArray& l) { return l.startsWith("version="); }),
                 1L);

        // An undefined agent version leaves the agent stopped.
        root->clearScriptCalls();
        snmp.version = 0;
        send(makeFrame(2, [&](tup::FrameBuilder& b) { b.addSnmpCfg(snmp); }));
        QTRY_COMPARE(configCalls(),
                     QStringList({"snmpctl.sh|stop", "snmpcfg.sh|" + file, "snmptrap.sh|" + file}));
    }

    void missingScriptsAreLoggedAndSkipped()
    {
        start();
        QFile::remove(root->path("scripts/netcfg.sh"));
        tup::netcfg_s net;
        send(makeFrame(1, [&](tup::FrameBuilder& b) { b.addNetCfg(net); }));
        QTRY_COMPARE(
            log->count("Script '" + root->path("scripts/netcfg.sh") + "' not found, do nothing"),
            1);
        // Applied all the same: it is not re-run on every frame.
        QVERIFY(!handler->configuration()->netCfg().resetcfg);
    }
};

QTEST_GUILESS_MAIN(TestFrontLinkEffects)
#include "tst_frontlink_effects.moc"
