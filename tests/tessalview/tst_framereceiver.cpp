// The frame receiver on its own, over real UDP sockets from two local
// addresses, through its typed signals: whom it trusts with and without a
// pinned device.
#include "framecheck.h"
#include "framereceiver.h"
#include "frontlinkfixture.h"
#include "logcapture.h"

#include <QSignalSpy>
#include <QUdpSocket>
#include <QtTest>

using Tessal::FrameReceiver;

class TestFrameReceiver : public QObject
{
    Q_OBJECT

private:
    struct Link {
        UnitRoot root;
        LogCapture log;
        FrameReceiver* receiver = nullptr;
        QUdpSocket one; // 127.0.0.1
        QUdpSocket two; // 127.0.0.2
        quint16 port = 0;

        explicit Link(const QString& network)
        {
            root.configure(1, QString(), network);
            QUdpSocket probe;
            probe.bind(QHostAddress(QHostAddress::LocalHost), 0);
            port = probe.localPort();
            probe.close();
            receiver = new FrameReceiver("127.0.0.1", port);
            receiver->init();
            receiver->bindSocket();
            one.bind(QHostAddress("127.0.0.1"), 0);
            two.bind(QHostAddress("127.0.0.2"), 0);
        }
        ~Link()
        {
            receiver->stop();
            delete receiver;
        }
        // Sends a valid frame and waits until the receiver accepted or
        // dropped it.
        bool send(QUdpSocket& from, uint32_t seqno, const tup::gpiostate_s& state)
        {
            QSignalSpy accepted(receiver, &FrameReceiver::frameAccepted);
            QSignalSpy dropped(receiver, &FrameReceiver::frameDropped);
            from.writeDatagram(gpioFrame(seqno, state), QHostAddress::LocalHost, port);
            return QTest::qWaitFor([&] { return accepted.count() + dropped.count() > 0; }, 5000);
        }
    };

private slots:
    // Pinned to 127.0.0.2: 127.0.0.1's frames (right checksum, next sequence
    // number) are dropped by the sender check before the first contact,
    // while attached and after the silence window; none reaches a decoder.
    void pinnedHearsItsDeviceOnly()
    {
        Link link("DeviceAddress=127.0.0.2\n");
        FrameReceiver* r = link.receiver;
        QSignalSpy dropped(r, &FrameReceiver::frameDropped);
        QSignalSpy accepted(r, &FrameReceiver::frameAccepted);
        QSignalSpy decoded(r, &FrameReceiver::gpioStateDecoded);
        QSignalSpy first(r, &FrameReceiver::firstContact);
        QSignalSpy lost(r, &FrameReceiver::senderLost);
        QCOMPARE(r->trust(), FrameReceiver::Trust::Pinned);

        QVERIFY(link.send(link.one, 1, gpio(0, 0, 1, 1)));
        QVERIFY(link.send(link.two, 1, gpio(1, 0, 0, 0)));
        QVERIFY(link.send(link.one, 2, gpio(0, 0, 1, 1)));
        QTRY_COMPARE_WITH_TIMEOUT(lost.count(), 1, 5000);
        QVERIFY(link.send(link.one, 1, gpio(0, 0, 1, 1)));
        QVERIFY(link.send(link.one, 2, gpio(0, 0, 1, 1)));

        QCOMPARE(dropped.count(), 4);
        for (const auto& signal : dropped) {
            QCOMPARE(signal.at(0).toInt(), int(tup::CHECK_SENDER));
            QCOMPARE(signal.at(1).value<QHostAddress>(), QHostAddress("127.0.0.1"));
        }
        QCOMPARE(accepted.count(), 1);
        QCOMPARE(accepted.first().at(1).value<QHostAddress>(), QHostAddress("127.0.0.2"));
        QCOMPARE(decoded.count(), 1);
        QCOMPARE(decoded.first().first().value<tup::gpiostate_s>(), gpio(1, 0, 0, 0));
        QCOMPARE(first.count(), 1);
        QCOMPARE(first.first().first().value<QHostAddress>(), QHostAddress("127.0.0.2"));
        QVERIFY(!r->isAttached());
        QCOMPARE(link.log.count("Packet received from an unknown sender (127.0.0.1, attended "
                                "127.0.0.2)"),
                 4);

        // The device itself attaches again after the silence.
        QVERIFY(link.send(link.two, 9, gpio(1, 0, 0, 0)));
        QCOMPARE(first.count(), 2);
    }

    // No pin: the first sender is trusted, and after the silence window
    // whoever comes next.
    void unpinnedTrustsTheFirstSender()
    {
        Link link{QString()};
        FrameReceiver* r = link.receiver;
        QSignalSpy first(r, &FrameReceiver::firstContact);
        QSignalSpy dropped(r, &FrameReceiver::frameDropped);
        QSignalSpy lost(r, &FrameReceiver::senderLost);
        QCOMPARE(r->trust(), FrameReceiver::Trust::FirstSender);
        QVERIFY(link.send(link.one, 1, gpio(1, 0, 0, 0)));
        QVERIFY(link.send(link.two, 2, gpio(1, 0, 0, 0)));
        QCOMPARE(dropped.count(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(lost.count(), 1, 5000);
        QVERIFY(link.send(link.two, 1, gpio(1, 0, 0, 0)));
        QCOMPARE(first.count(), 2);
        QCOMPARE(first.last().first().value<QHostAddress>(), QHostAddress("127.0.0.2"));
    }

    // Who counts as the pinned device: the address itself, an IPv4 device
    // seen through an IPv6 socket, and a link-local device on any link when
    // the pin names no zone; never another address or another zone.
    void pinnedSenderComparison_data()
    {
        QTest::addColumn<QString>("pin");
        QTest::addColumn<QString>("sender");
        QTest::addColumn<bool>("same");
        QTest::newRow("the address") << "10.9.0.1"
                                     << "10.9.0.1" << true;
        QTest::newRow("another address") << "10.9.0.1"
                                         << "10.9.0.2" << false;
        QTest::newRow("IPv4 through IPv6") << "10.9.0.1"
                                           << "::ffff:10.9.0.1" << true;
        QTest::newRow("link-local, zone of the link") << "fe80::1"
                                                      << "fe80::1%2" << true;
        QTest::newRow("link-local, same zone") << "fe80::1%2"
                                               << "fe80::1%2" << true;
        QTest::newRow("link-local, other zone") << "fe80::1%2"
                                                << "fe80::1%3" << false;
        QTest::newRow("link-local, other host") << "fe80::1"
                                                << "fe80::2%2" << false;
    }
    void pinnedSenderComparison()
    {
        QFETCH(QString, pin);
        QFETCH(QString, sender);
        QFETCH(bool, same);
        QCOMPARE(FrameReceiver::isPinnedSender(QHostAddress(pin), QHostAddress(sender)), same);
    }

    void malformedPinTrustsNobody_data()
    {
        QTest::addColumn<QString>("pin");
        QTest::newRow("octet too large") << "127.0.0.300";
        QTest::newRow("host name") << "device.local";
        QTest::newRow("two addresses") << "127.0.0.1 127.0.0.2";
    }
    void malformedPinTrustsNobody()
    {
        QFETCH(QString, pin);
        Link link("DeviceAddress=" + pin + "\n");
        QSignalSpy dropped(link.receiver, &FrameReceiver::frameDropped);
        QCOMPARE(link.receiver->trust(), FrameReceiver::Trust::Nobody);
        QCOMPARE(link.log.criticals().size(), 1);
        QVERIFY(link.send(link.one, 1, gpio(1, 0, 0, 0)));
        QVERIFY(link.send(link.two, 1, gpio(1, 0, 0, 0)));
        QCOMPARE(dropped.count(), 2);
        QVERIFY(!link.receiver->isAttached());
    }
};

QTEST_GUILESS_MAIN(TestFrameReceiver)
#include "tst_framereceiver.moc"
