// The front-link receiver over a real loopback UDP socket: the checks and
// their messages, attachment and the silence watchdog, the section walk.
#include "crc16.h"
#include "frontlinkfixture.h"
#include "logcapture.h"
#include "framecheck.h"
#include "udphandler.h"

#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QSignalSpy>
#include <QTimer>
#include <QUdpSocket>
#include <QtTest>

using Tessal::UdpHandler;

class TestUdpHandler : public QObject
{
    Q_OBJECT

private:
    UnitRoot* root = nullptr;
    LogCapture* log = nullptr;
    RecordingTarget* target = nullptr;
    UdpHandler* handler = nullptr;
    QUdpSocket* device = nullptr;
    quint16 port = 0;

    static quint16 freePort()
    {
        QUdpSocket probe;
        probe.bind(QHostAddress(QHostAddress::LocalHost), 0);
        return probe.localPort();
    }

    void start(int udpTimeout)
    {
        root->configure(udpTimeout);
        port = freePort();
        handler = new UdpHandler("127.0.0.1", port, target);
        handler->init();
    }

    // Sends the datagram from `from`, then a one-byte marker, and returns the
    // lines logged in between once the marker has been seen.
    QStringList deliver(const QByteArray& datagram, QUdpSocket* from = nullptr)
    {
        from = from ? from : device;
        const QString marker = "Not a TUP magic number. Drop frame";
        const int first = log->lines().size();
        const int markers = log->count(marker);
        from->writeDatagram(datagram, QHostAddress::LocalHost, port);
        from->writeDatagram(QByteArray(1, '\0'), QHostAddress::LocalHost, port);
        QElapsedTimer t;
        t.start();
        while (log->count(marker) == markers && t.elapsed() < 5000)
            QTest::qWait(5);
        QStringList lines = log->lines().mid(first);
        if (lines.isEmpty() || lines.last() != marker)
            return {"<marker not seen>"};
        lines.removeLast();
        return lines;
    }

    QTimer* watchdog() const { return handler->findChild<QTimer*>("packetTimer"); }

private slots:
    void init()
    {
        root = new UnitRoot;
        root->recordAllScripts();
        log = new LogCapture;
        target = new RecordingTarget;
        device = new QUdpSocket;
        device->bind(QHostAddress(QHostAddress::LocalHost), 0);
    }
    void cleanup()
    {
        if (handler) {
            handler->stop();
            delete handler;
            handler = nullptr;
        }
        delete device;
        delete target;
        delete log;
        delete root;
    }

    void startUpLogsListenAddressAndBinds()
    {
        start(10);
        QCOMPARE(handler->frameReceiver()->boundPort(), port);
        QVERIFY(log->lines().contains(QString("UDP listen 127.0.0.1:%1").arg(port)));
        QVERIFY(log->lines().contains("UDP bound"));
        QVERIFY(!handler->frameReceiver()->isAttached());
        QCOMPARE(handler->frameReceiver()->lastSequence(), 0u);
        QVERIFY(handler->configuration()->netCfg().resetcfg);
        QVERIFY(handler->configuration()->snmpCfg().resetcfg);
        QVERIFY(handler->configuration()->modbusCfg().resetcfg);
        QCOMPARE(handler->configuration()->snmpCfg().port, quint16(161));
        QCOMPARE(handler->configuration()->snmpCfg().port_trap, quint16(162));
        QCOMPARE(handler->configuration()->modbusCfg().tcp_port, quint16(502));
    }

    void failedBindIsReportedNotClaimed()
    {
        root->configure(10);
        QUdpSocket holder;
        QVERIFY(holder.bind(QHostAddress(QHostAddress::LocalHost), 0));
        port = holder.localPort();
        handler = new UdpHandler("127.0.0.1", port, target);
        handler->init();
        QVERIFY(!log->lines().contains("UDP bound"));
        QCOMPARE(log->count(QString("UDP bind failed on 127.0.0.1:%1: ").arg(port)), 1);
    }

    // A mistyped time-out reads as 0, which would detach after every frame.
    void unusableTimeOutFallsBackToTheDefault()
    {
        root->configure("abc", QString());
        port = freePort();
        handler = new UdpHandler("127.0.0.1", port, target);
        handler->init();
        QCOMPARE(log->count(" - UDP time-out of 0 s is not usable, using 10 s"), 1);
        deliver(gpioFrame(1, gpio(1, 0, 0, 0)));
        QCOMPARE(watchdog()->interval(), 10000);
        QTest::qWait(50);
        QVERIFY(handler->frameReceiver()->isAttached());
    }

    void firstFrameAttachesAndOpensTheDevicePages()
    {
        start(10);
        // Registration must have run before the first page is requested.
        QStringList scriptsAtFirstPage;
        target->onDefaultUrl = [&] { scriptsAtFirstPage = root->scriptCalls(); };
        const QStringList lines = deliver(gpioFrame(1, gpio(1, 0, 0, 0)));
        QVERIFY(!lines.isEmpty());
        QCOMPARE(lines.first(),
                 QString("First frame, try to connect to the web server at 127.0.0.1"));
        QVERIFY(handler->frameReceiver()->isAttached());
        QCOMPARE(handler->frameReceiver()->attendedSender(), QHostAddress(QHostAddress::LocalHost));
        QCOMPARE(handler->frameReceiver()->lastSequence(), 1u);
        QTRY_COMPARE(target->calls, QStringList({"setDefaultUrl http://127.0.0.1/index.html",
                                                 "openUrlForce http://127.0.0.1/index.html true"}));
        QCOMPARE(scriptsAtFirstPage, QStringList{"k3p.sh|127.0.0.1"});

        // A second frame is no first contact.
        target->calls.clear();
        QVERIFY(deliver(gpioFrame(2, gpio(1, 0, 0, 0))).filter("First frame").isEmpty());
        QVERIFY(target->calls.isEmpty());
        QTRY_COMPARE(root->scriptCalls(), QStringList{"k3p.sh|127.0.0.1"});
    }

    void sequenceNumbers()
    {
        start(10);
        // lastSeqno starts at 0: a first frame numbered 0 counts as repeated.
        QCOMPARE(deliver(gpioFrame(0, gpio(1, 0, 0, 0))),
                 QStringList({"Repeated packet. Drop frame", "(0 = 0)"}));
        QVERIFY(!handler->frameReceiver()->isAttached());

        QVERIFY(!deliver(gpioFrame(9, gpio(1, 0, 0, 0))).isEmpty());
        QCOMPARE(handler->frameReceiver()->lastSequence(), 9u);

        // The same frame twice: the copy is dropped and does not feed the
        // watchdog.
        const QByteArray frame = gpioFrame(10, gpio(1, 0, 0, 0));
        QTest::qWait(300);
        int before = watchdog()->remainingTime();
        QVERIFY(deliver(frame).isEmpty());
        QVERIFY2(watchdog()->remainingTime() > before,
                 "an accepted frame did not restart the watchdog");
        QTest::qWait(60);
        before = watchdog()->remainingTime();
        QCOMPARE(deliver(frame), QStringList({"Repeated packet. Drop frame", "(10 = 10)"}));
        QVERIFY2(watchdog()->remainingTime() <= before, "a dropped frame restarted the watchdog");

        // Backwards: accepted with a note; forwards with a gap: silent.
        QCOMPARE(deliver(gpioFrame(5, gpio(1, 0, 0, 0))),
                 QStringList({"Back in the sequence, probable reboot of the KxP", "(5 < 10)"}));
        QCOMPARE(handler->frameReceiver()->lastSequence(), 5u);
        QCOMPARE(deliver(gpioFrame(100, gpio(1, 0, 0, 0))), QStringList());
        QCOMPARE(handler->frameReceiver()->lastSequence(), 100u);
    }

    // The per-frame lines are off until a logging rule turns them on; then
    // each section walked and the accepted frame are named.
    void perFrameLinesFollowTheLoggingRule()
    {
        start(10);
        QVERIFY(deliver(gpioFrame(3, gpio(1, 0, 0, 0))).filter("walked").isEmpty());
        QCOMPARE(deliver(gpioFrame(4, gpio(1, 0, 0, 0))), QStringList());
        QLoggingCategory::setFilterRules("tessal.frontlink.frames.debug=true");
        const QStringList lines = deliver(gpioFrame(5, gpio(1, 0, 0, 0)));
        QLoggingCategory::setFilterRules(QString());
        QCOMPARE(lines, QStringList({"Section GpioState (type 0x20, length 8) decoded",
                                     "Frame 5 from 127.0.0.1 accepted, 1 sections walked"}));
        // Back to the default: quiet again.
        QCOMPARE(deliver(gpioFrame(6, gpio(1, 0, 0, 0))), QStringList());
    }

    void headerChecks_data()
    {
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<QStringList>("expected");

        QTest::newRow("timestamp 0")
            << makeFrame(
                   3, [](tup::FrameBuilder& b) { b.addGpioState(gpio(1, 0, 0, 0)); }, 0)
            << QStringList{"Out of the continuum. Drop frame"};

        tup::FrameBuilder b7;
        b7.setSeqno(3);
        b7.setTimestamp(1);
        b7.addGpioState(gpio(1, 0, 0, 0));
        b7.forceSectOffset(7);
        QTest::newRow("offset 7") << toBytes(b7.build())
                                  << QStringList{"Section offset out of range. Drop frame", "7 < 8",
                                                 "7 > 22"};

        tup::FrameBuilder b0;
        b0.setSeqno(3);
        b0.setTimestamp(1);
        QTest::newRow("count 0, length 14")
            << toBytes(b0.build())
            << QStringList{"Section count mismatch section payload length. Drop frame", "0 : 14"};

        // length 8 passes the length check only in a 12-byte datagram.
        QByteArray twelve = QByteArray::fromHex("ce01080008000000aaaa");
        const uint16_t crc =
            tup::crc16(0x1021, 0, reinterpret_cast<const uint8_t*>(twelve.constData()),
                       static_cast<size_t>(twelve.size()));
        twelve.append(char(crc & 0xff)).append(char(crc >> 8));
        QTest::newRow("length 8") << twelve
                                  << QStringList{"No section to process. Drop frame", "0"};

        tup::FrameBuilder bl;
        bl.setSeqno(3);
        bl.setTimestamp(1);
        bl.addGpioState(gpio(1, 0, 0, 0));
        bl.forceLength(23);
        QTest::newRow("length off by one")
            << toBytes(bl.build()) << QStringList{"Payload length mismatch. Drop frame", "23"};

        tup::FrameBuilder bc;
        bc.setSeqno(3);
        bc.setTimestamp(1);
        bc.addGpioState(gpio(1, 0, 0, 0));
        QByteArray good = toBytes(bc.build());
        bc.forceChecksum(0x0a0b);
        const uint16_t right = uint8_t(good[good.size() - 2]) | uint8_t(good[good.size() - 1]) << 8;
        QTest::newRow("checksum")
            << toBytes(bc.build())
            << QStringList{
                   QString("Invalid checksum (0xa0b != 0x%1). Drop frame").arg(right, 0, 16)};

        tup::FrameBuilder bv;
        bv.setSeqno(3);
        bv.setTimestamp(1);
        bv.addGpioState(gpio(1, 0, 0, 0));
        bv.forceVersion(2);
        QTest::newRow("version 2") << toBytes(bv.build()) << QStringList{"Unknown TUP version"};
    }

    // A dropped frame changes nothing: no attachment, no sequence, no effect.
    void headerChecks()
    {
        QFETCH(QByteArray, datagram);
        QFETCH(QStringList, expected);
        start(10);
        QCOMPARE(deliver(datagram), expected);
        QVERIFY(!handler->frameReceiver()->isAttached());
        QCOMPARE(handler->frameReceiver()->lastSequence(), 0u);
        QVERIFY(!watchdog()->isActive());
        QVERIFY(target->calls.isEmpty());
        QCOMPARE(handler->indicatorOutputs()->state(), gpio(2, 2, 2, 0));
    }

    void sectionOffset8IsAccepted()
    {
        start(10);
        tup::FrameBuilder b;
        b.setSeqno(0x01020304);
        b.setTimestamp(1);
        b.addGpioState(gpio(1, 0, 0, 0));
        b.forceSectOffset(8);
        // The walk now starts inside the header (over seqno); the frame
        // itself still counts as accepted.
        deliver(toBytes(b.build()));
        QVERIFY(handler->frameReceiver()->isAttached());
        QCOMPARE(handler->frameReceiver()->lastSequence(), 0x01020304u);
        QVERIFY(watchdog()->isActive());
    }

    void unknownSectionStillAcceptsTheFrame()
    {
        start(10);
        const QByteArray frame = makeFrame(4, [](tup::FrameBuilder& b) {
            b.addRawSection(0x55, {1, 2, 3, 4});
        });
        const QStringList lines = deliver(frame);
        QCOMPARE(lines.mid(0, 2),
                 QStringList({"Unknown section type. Skip section", "Decode error"}));
        QVERIFY(handler->frameReceiver()->isAttached());
        QCOMPARE(handler->frameReceiver()->lastSequence(), 4u);
        QVERIFY(watchdog()->isActive());
        QTRY_COMPARE(target->calls.size(), 2);
    }

    // A DevInfo whose length says 30: the decoder sees 34 bytes and refuses
    // them; the walk steps 34 bytes and the GpioState behind still counts.
    void devInfoOfLength30StepsBy34()
    {
        start(10);
        tup::FrameBuilder b;
        b.setSeqno(7);
        b.setTimestamp(1);
        std::vector<uint8_t> payload(26, 0);
        payload[16] = 'd';
        payload[17] = 'e';
        b.addRawSection(0x10, payload);
        b.addSection({0xee, 0xee, 0xee, 0xee});
        b.addGpioState(gpio(3, 0, 1, 0));
        b.forceSectCount(2);
        const QStringList lines = deliver(toBytes(b.build()));
        QCOMPARE(lines.mid(0, 3), QStringList({"DevInfo section length mismatch (28)",
                                               "Payload size mismatch", "Decode error"}));
        QVERIFY(!lines.contains("Payload too short. Drop remaining bytes"));
        QCOMPARE(handler->indicatorOutputs()->state(), gpio(3, 0, 1, 0));
        QVERIFY(!target->calls.contains("setLanguage de"));
    }

    void devInfoSetsLanguageUnlessEmpty()
    {
        start(10);
        tup::devinfo_s info;
        info.type = 1;
        info.serial = 0xdeadbeef;
        info.lang = "de";
        deliver(makeFrame(1, [&](tup::FrameBuilder& b) { b.addDevInfo(info); }));
        QVERIFY(target->calls.contains("setLanguage de"));
        QCOMPARE(handler->lastDevInfo(), info);

        target->calls.clear();
        info.lang.clear();
        info.swbuild = 42;
        deliver(makeFrame(2, [&](tup::FrameBuilder& b) { b.addDevInfo(info); }));
        QVERIFY(target->calls.filter("setLanguage").isEmpty());
        QCOMPARE(handler->lastDevInfo().swbuild, quint16(42));
        QCOMPARE(target->language, QString("de"));

        // The window turns the language into file paths: no path pieces.
        target->calls.clear();
        info.lang = "../../x";
        QVERIFY(deliver(makeFrame(3, [&](tup::FrameBuilder& b) { b.addDevInfo(info); }))
                    .contains("DevInfo language '..%2F..%2Fx' is not a language code, "
                              "language unchanged"));
        QVERIFY(target->calls.filter("setLanguage").isEmpty());
        QCOMPARE(handler->lastDevInfo().lang, std::string("../../x"));
    }

    // The walk never reads past the datagram, whatever the lengths claim.
    void walkStopsWhereTheBytesRunOut()
    {
        start(10);
        // Sections announced that are not there.
        tup::FrameBuilder more;
        more.setSeqno(1);
        more.setTimestamp(1);
        more.addGpioState(gpio(1, 1, 0, 0));
        more.forceSectCount(5);
        QStringList lines = deliver(toBytes(more.build()));
        QCOMPARE(lines.count("Payload too short. Drop remaining bytes"), 1);
        QCOMPARE(handler->indicatorOutputs()->state(), gpio(1, 1, 0, 0));

        // The first section starts at the very end of the frame.
        tup::FrameBuilder end;
        end.setSeqno(2);
        end.setTimestamp(1);
        end.addGpioState(gpio(0, 1, 0, 0));
        end.forceSectOffset(22);
        lines = deliver(toBytes(end.build()));
        QVERIFY(lines.contains("Payload too short. Drop remaining bytes"));
        QCOMPARE(handler->indicatorOutputs()->state(), gpio(1, 1, 0, 0));
        QCOMPARE(handler->frameReceiver()->lastSequence(), 2u);

        // A section longer than the rest of the frame, then more announced.
        tup::FrameBuilder longer;
        longer.setSeqno(3);
        longer.setTimestamp(1);
        longer.addRawSection(0x20, {0, 0, 0, 0}, 0xfffe);
        longer.forceSectCount(3);
        lines = deliver(toBytes(longer.build()));
        QCOMPARE(lines.mid(0, 2),
                 QStringList({"Section length exceed frame length. Skip section", "Decode error"}));
        QCOMPARE(lines.count("Payload too short. Drop remaining bytes"), 1);
        QCOMPARE(handler->indicatorOutputs()->state(), gpio(1, 1, 0, 0));
    }

    void watchdogDetachesAndAnotherSenderMayAttach()
    {
        start(2);
        QUdpSocket other;
        QVERIFY(other.bind(QHostAddress("127.0.0.2"), 0));
        deliver(gpioFrame(5, gpio(1, 0, 0, 1)));
        QVERIFY(handler->frameReceiver()->isAttached());
        QTRY_COMPARE(target->calls.size(), 2); // the first page, once registered
        root->clearScriptCalls();
        target->calls.clear();

        QCOMPARE(deliver(gpioFrame(6, gpio(1, 0, 0, 1)), &other),
                 QStringList{"Packet received from an unknown sender (127.0.0.2, attended "
                             "127.0.0.1)"});
        QCOMPARE(handler->frameReceiver()->lastSequence(), 5u);

        QTRY_VERIFY_WITH_TIMEOUT(!handler->frameReceiver()->isAttached(), 5000);
        QVERIFY(
            log->lines().contains("No packet received within the 2s window, unregister 127.0.0.1"));
        QCOMPARE(handler->frameReceiver()->lastSequence(), 0u);
        QTRY_COMPARE(root->scriptCalls(), QStringList{"k3p.sh|delete|127.0.0.1"});
        QCOMPARE(target->calls, QStringList({"getLanguage", "displayError fr"}));
        // Lost link: the LEDs blink fast together, the buzzer keeps its state.
        QCOMPARE(handler->indicatorOutputs()->state(), gpio(3, 3, 3, 1));

        target->calls.clear();
        QVERIFY(deliver(gpioFrame(1, gpio(1, 0, 0, 0)), &other)
                    .contains("First frame, try to connect to the web server at 127.0.0.2"));
        QCOMPARE(handler->frameReceiver()->attendedSender(), QHostAddress("127.0.0.2"));
        QTRY_VERIFY(!target->calls.isEmpty());
        QCOMPARE(target->calls.first(), QString("setDefaultUrl http://127.0.0.2/index.html"));
        QTRY_COMPARE(root->scriptCalls().last(), QString("k3p.sh|127.0.0.2"));
        // The former sender is now the stranger.
        QVERIFY(deliver(gpioFrame(2, gpio(1, 0, 0, 0)))
                    .contains("Packet received from an unknown sender (127.0.0.1, attended "
                              "127.0.0.2)"));
    }

    // An empty or garbage datagram must not stall the socket.
    void receptionGoesOnAfterEmptyAndGarbageDatagrams()
    {
        start(10);
        device->writeDatagram(QByteArray(), QHostAddress(QHostAddress::LocalHost), port);
        device->writeDatagram(QByteArray(3000, char(0xce)), QHostAddress(QHostAddress::LocalHost),
                              port);
        QTRY_COMPARE(log->count("Not a TUP magic number. Drop frame"), 1);
        QTRY_VERIFY(log->contains("Invalid checksum"));
        QVERIFY(deliver(gpioFrame(1, gpio(1, 0, 0, 0)))
                    .contains("First frame, try to connect to the web server at 127.0.0.1"));
        QCOMPARE(log->count("Not a TUP magic number. Drop frame"), 2); // empty one + marker
    }

    void stopClosesTheSocket()
    {
        start(10);
        QPointer<UdpHandler> guard(handler);
        QSignalSpy finished(handler, &UdpHandler::finished);
        handler->stop();
        // Closing the socket does not stop the handler a second time.
        QCOMPARE(log->count("UDP stop"), 1);
        QCOMPARE(finished.count(), 1);
        device->writeDatagram(gpioFrame(1, gpio(1, 0, 0, 0)), QHostAddress::LocalHost, port);
        // finished() hands the handler to deleteLater.
        QTRY_VERIFY(guard.isNull());
        handler = nullptr;
        QVERIFY(!log->contains("First frame"));
    }

    // --- whom the receiver trusts -------------------------------------------

    void emptyPinTrustsTheFirstSender()
    {
        start(10);
        QCOMPARE(handler->frameReceiver()->trust(), Tessal::FrameReceiver::Trust::FirstSender);
        QCOMPARE(
            log->count(" - No device pinned: the first sender is trusted (trust on first use)"), 1);
        QVERIFY(log->lines().filter("Device pinned").isEmpty());
    }

    // A pinned unit hears its device only: a stranger's frames, with a right
    // checksum and the next sequence number, are dropped before the first
    // contact, while attached and after the silence window alike, and change
    // nothing.
    void pinnedDeviceOnly()
    {
        root->configure(1, QString(), "DeviceAddress=127.0.0.2\n");
        port = freePort();
        handler = new UdpHandler("127.0.0.1", port, target);
        handler->init();
        Tessal::FrameReceiver* receiver = handler->frameReceiver();
        QCOMPARE(receiver->trust(), Tessal::FrameReceiver::Trust::Pinned);
        QCOMPARE(receiver->pinnedDevice(), QHostAddress("127.0.0.2"));
        QCOMPARE(log->count(" - Device pinned to 127.0.0.2"), 1);
        QSignalSpy dropped(receiver, &Tessal::FrameReceiver::frameDropped);
        QSignalSpy accepted(receiver, &Tessal::FrameReceiver::frameAccepted);
        QSignalSpy gpioDecoded(receiver, &Tessal::FrameReceiver::gpioStateDecoded);
        QUdpSocket pinned;
        QVERIFY(pinned.bind(QHostAddress("127.0.0.2"), 0));
        const QString stranger =
            "Packet received from an unknown sender (127.0.0.1, attended 127.0.0.2)";

        // Before the first contact.
        QCOMPARE(deliver(gpioFrame(1, gpio(0, 0, 1, 1))), QStringList{stranger});
        QCOMPARE(dropped.count(), 2); // the frame, then deliver()'s marker
        QCOMPARE(dropped.first().at(0).toInt(), int(tup::CHECK_SENDER));
        QCOMPARE(dropped.first().at(1).value<QHostAddress>(), QHostAddress("127.0.0.1"));
        QVERIFY(!receiver->isAttached());
        QCOMPARE(receiver->lastSequence(), 0u);
        QVERIFY(accepted.isEmpty());
        QVERIFY(gpioDecoded.isEmpty());
        QVERIFY(target->calls.isEmpty());
        QCOMPARE(handler->indicatorOutputs()->state(), gpio(2, 2, 2, 0));

        // The device itself attaches.
        QVERIFY(deliver(gpioFrame(1, gpio(1, 0, 0, 0)), &pinned)
                    .contains("First frame, try to connect to the web server at 127.0.0.2"));
        QCOMPARE(accepted.count(), 1);
        QTRY_VERIFY(!target->calls.isEmpty());
        QCOMPARE(target->calls.first(), QString("setDefaultUrl http://127.0.0.2/index.html"));

        // While attached: the next sequence number from the stranger.
        QCOMPARE(deliver(gpioFrame(2, gpio(0, 0, 1, 1))), QStringList{stranger});
        QCOMPARE(receiver->lastSequence(), 1u);
        QCOMPARE(handler->indicatorOutputs()->state(), gpio(1, 0, 0, 0));

        // After the silence window: still the stranger is nobody.
        QTRY_VERIFY_WITH_TIMEOUT(!receiver->isAttached(), 5000);
        target->calls.clear();
        QCOMPARE(deliver(gpioFrame(1, gpio(0, 0, 1, 1))), QStringList{stranger});
        QCOMPARE(deliver(gpioFrame(2, gpio(0, 0, 1, 1))), QStringList{stranger});
        QVERIFY(!receiver->isAttached());
        QCOMPARE(handler->indicatorOutputs()->state(), gpio(3, 3, 3, 0));
        QVERIFY(target->calls.isEmpty());
        QCOMPARE(accepted.count(), 1);
        QCOMPARE(gpioDecoded.count(), 1);
        QVERIFY(root->scriptCalls().filter("127.0.0.1").isEmpty());

        // And the device comes back.
        QVERIFY(deliver(gpioFrame(7, gpio(1, 0, 0, 0)), &pinned)
                    .contains("First frame, try to connect to the web server at 127.0.0.2"));
    }

    // A pin that is not an address attaches nobody: a typing error must not
    // open the unit to the first sender.
    void malformedPinAttachesNobody()
    {
        root->configure(10, QString(), "DeviceAddress=10.0.0.300\n");
        port = freePort();
        handler = new UdpHandler("127.0.0.1", port, target);
        handler->init();
        QCOMPARE(handler->frameReceiver()->trust(), Tessal::FrameReceiver::Trust::Nobody);
        QCOMPARE(log->criticals()
                     .filter("DeviceAddress '10.0.0.300' is not an IP address: no "
                             "device will be attached")
                     .size(),
                 1);
        QCOMPARE(
            deliver(gpioFrame(1, gpio(1, 0, 0, 0))),
            QStringList{"Packet received from an unknown sender (127.0.0.1, attended nobody)"});
        QVERIFY(!handler->frameReceiver()->isAttached());
        QVERIFY(target->calls.isEmpty());
    }

    // An IPv6 device: pinned by its IPv6 address, its pages in brackets.
    void ipv6DeviceIsPinnedAndBracketed()
    {
        QUdpSocket v6;
        if (!v6.bind(QHostAddress(QHostAddress::LocalHostIPv6), 0))
            QSKIP("no IPv6 loopback here");
        root->configure(10, QString(), "DeviceAddress=::1\n");
        port = freePort();
        handler = new UdpHandler("::1", port, target);
        handler->init();
        QCOMPARE(log->count(" - Device pinned to ::1"), 1);
        v6.writeDatagram(gpioFrame(1, gpio(1, 0, 0, 0)), QHostAddress::LocalHostIPv6, port);
        QTRY_VERIFY(handler->frameReceiver()->isAttached());
        QTRY_COMPARE(target->calls, QStringList({"setDefaultUrl http://[::1]/index.html",
                                                 "openUrlForce http://[::1]/index.html true"}));
        QCOMPARE(UdpHandler::devicePageUrl(QHostAddress("fe80::1%2")),
                 QString("http://[fe80::1%252]/index.html"));
        QCOMPARE(UdpHandler::devicePageUrl(QHostAddress("::ffff:10.0.0.7")),
                 QString("http://[::ffff:10.0.0.7]/index.html"));
        QCOMPARE(UdpHandler::devicePageUrl(QHostAddress("10.0.0.7")),
                 QString("http://10.0.0.7/index.html"));
    }
};

QTEST_GUILESS_MAIN(TestUdpHandler)
#include "tst_udphandler.moc"
