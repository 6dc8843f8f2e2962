// Malformed datagrams never crash the receiver or make it read past the
// datagram: every length from 0 to 64 bytes, random bytes, and random frames
// whose checksum is right so that they reach the section walk. Run under
// AddressSanitizer to catch a read past the end.
#include "crc16.h"
#include "frontlinkfixture.h"
#include "logcapture.h"
#include "udphandler.h"

#include <QtTest>

#include <random>

using Tessal::UdpHandler;

class TestFrontLinkRobustness : public QObject
{
    Q_OBJECT

private:
    UnitRoot* root = nullptr;
    LogCapture* log = nullptr;
    RecordingTarget* target = nullptr;
    UdpHandler* handler = nullptr;
    QHostAddress device{"10.0.0.7"};
    std::mt19937 rng{20261208};

    // Fits the header to the size and seals the datagram with its checksum,
    // so that it passes the first checks and the walk has to cope with
    // whatever the sections say.
    static void seal(QByteArray& d)
    {
        if (d.size() < 4)
            return;
        d[0] = char(0xce);
        d[1] = 1;
        const int frame = d.size() - 2;
        d[2] = char((frame - 2) & 0xff);
        d[3] = char((frame - 2) >> 8);
        const uint16_t crc = tup::crc16(0x1021, 0, reinterpret_cast<const uint8_t*>(d.constData()),
                                        static_cast<size_t>(frame));
        d[frame] = char(crc & 0xff);
        d[frame + 1] = char(crc >> 8);
    }

    QByteArray randomBytes(int n)
    {
        QByteArray d(n, '\0');
        for (int i = 0; i < n; ++i)
            d[i] = char(rng() & 0xff);
        return d;
    }

    void feed(QByteArray d)
    {
        const int size = d.size();
        handler->frameReceiver()->handleData(&d, &device);
        QVERIFY(d.size() == size || d.size() == size - 2);
    }

private slots:
    void init()
    {
        root = new UnitRoot;
        root->configure(10);
        log = new LogCapture;
        target = new RecordingTarget;
        handler = new UdpHandler("127.0.0.1", 0, target);
        handler->init();
    }
    void cleanup()
    {
        handler->stop();
        delete handler;
        delete target;
        delete log;
        delete root;
    }

    void everyShortLength()
    {
        for (int n = 0; n <= 64; ++n) {
            feed(QByteArray(n, '\0'));
            feed(QByteArray(n, char(0xce)));
            QByteArray r = randomBytes(n);
            if (n > 0)
                r[0] = char(0xce);
            feed(r);
            QByteArray sealed = randomBytes(n);
            seal(sealed);
            feed(sealed);
            // Sealed with a small section offset and count, so the walk runs.
            if (n >= 18) {
                QByteArray walk = randomBytes(n);
                walk[4] = char(8 + rng() % 8);
                walk[5] = 0;
                walk[6] = char(1 + rng() % 4);
                walk[7] = 0;
                walk[12] = 1;
                seal(walk);
                feed(walk);
            }
        }
        // Nothing was ever read as a valid frame from all-zero input.
        QVERIFY(log->count("Not a TUP magic number. Drop frame") >= 65);
        QVERIFY(log->contains("Frame too short. Drop frame"));
    }

    void randomFramesReachingTheWalk()
    {
        int walked = 0;
        for (int i = 0; i < 3000; ++i) {
            const int n = 18 + static_cast<int>(rng() % 700);
            QByteArray d = randomBytes(n);
            const int length = n - 4;
            const uint16_t offset = static_cast<uint16_t>(8 + rng() % (length - 7));
            d[4] = char(offset & 0xff);
            d[5] = char(offset >> 8);
            d[6] = char(1 + rng() % 6);
            d[7] = 0;
            d[12] = char(1 + rng() % 255);
            // Plant plausible section heads with random lengths.
            for (int pos = offset + 2; pos + 4 <= length + 2;
                 pos += 4 + static_cast<int>(rng() % 40)) {
                static const uint8_t types[] = {0x10, 0x20, 0x30, 0x40, 0x60, 0x80, 0x55};
                d[pos] = char(types[rng() % 7]);
                d[pos + 1] = 0;
                if (rng() % 3 == 0) {
                    d[pos + 2] = char(0xff);
                    d[pos + 3] = char(0xff);
                }
            }
            seal(d);
            const int accepted = log->count("Decode error") + log->count("Payload too short");
            feed(d);
            walked += (log->count("Decode error") + log->count("Payload too short")) > accepted;
        }
        // The generator must actually exercise the walk.
        QVERIFY2(walked > 500, qPrintable(QString("only %1 frames walked").arg(walked)));
        QVERIFY(handler->frameReceiver()->isAttached());
    }
};

QTEST_GUILESS_MAIN(TestFrontLinkRobustness)
#include "tst_frontlink_robustness.moc"
