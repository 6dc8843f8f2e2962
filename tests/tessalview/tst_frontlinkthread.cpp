// The front link on its own thread, as the kiosk runs it: real frames over a
// loopback socket drive the LED files while the window's thread is blocked
// (as a page script that never returns blocks it), and the calls into the
// window arrive in the window's thread, in the order they were made.
#include "frontlinkfixture.h"
#include "frontlinkthread.h"
#include "udphandler.h"

#include <QElapsedTimer>
#include <QObject>
#include <QThread>
#include <QUdpSocket>
#include <QtTest>

namespace
{
// Records the calls and the thread each one ran in.
class WindowStandIn : public QObject, public RecordingTarget
{
public:
    void setDefaultUrl(const QString& url) override
    {
        threads << QThread::currentThread();
        RecordingTarget::setDefaultUrl(url);
    }
    void openUrlForce(const QString& url, bool force) override
    {
        threads << QThread::currentThread();
        RecordingTarget::openUrlForce(url, force);
    }
    void setLanguage(const QString& lang) override
    {
        threads << QThread::currentThread();
        RecordingTarget::setLanguage(lang);
    }
    QString getLanguage() override
    {
        threads << QThread::currentThread();
        return RecordingTarget::getLanguage();
    }
    void displayError(const QString& lang) override
    {
        threads << QThread::currentThread();
        RecordingTarget::displayError(lang);
    }
    QList<QThread*> threads;
};

// Waits for `done` without running this thread's event loop.
bool blockUntil(const std::function<bool()>& done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms) {
        if (done())
            return true;
        QThread::msleep(10);
    }
    return done();
}
// Reads the handler's state in its own thread (its state is that thread's).
template <class F> auto onLinkThread(Tessal::FrontLinkThread& link, F read)
{
    decltype(read()) value{};
    QMetaObject::invokeMethod(
        link.handler(), [&] { value = read(); }, Qt::BlockingQueuedConnection);
    return value;
}
} // namespace

class TestFrontLinkThread : public QObject
{
    Q_OBJECT

private slots:
    void ledsFollowFramesWhileTheWindowIsBlocked()
    {
        UnitRoot root;
        root.configure(1);
        WindowStandIn window;
        Tessal::FrontLinkThread link("127.0.0.1", 0, &window);
        // The window's language is read once, here, in the window's thread.
        QCOMPARE(window.calls, QStringList({"getLanguage"}));
        window.calls.clear();
        window.threads.clear();
        link.start();
        const quint16 port =
            onLinkThread(link, [&] { return link.handler()->frameReceiver()->boundPort(); });
        QVERIFY(port != 0);
        QUdpSocket device;
        auto send = [&](uint32_t seq, const std::function<void(tup::FrameBuilder&)>& fill) {
            return device.writeDatagram(makeFrame(seq, fill), QHostAddress::LocalHost, port) > 0;
        };

        // From here on this thread runs no event loop, as under a page whose
        // script never returns.
        tup::devinfo_s info;
        info.lang = "de";
        for (uint32_t seq = 1; seq <= 6; ++seq) {
            const uint8_t green = seq % 2;
            QVERIFY(send(seq, [&](tup::FrameBuilder& b) {
                if (seq == 1)
                    b.addDevInfo(info);
                b.addGpioState(gpio(green, 1 - green, 0, 0));
            }));
            const QByteArray on = green ? "1" : "0", off = green ? "0" : "1";
            QVERIFY2(blockUntil(
                         [&] {
                             return root.gpio(kGreen, "value") == on &&
                                    root.gpio(kYellow, "value") == off;
                         },
                         2000),
                     qPrintable(QString("frame %1 did not reach the LEDs").arg(seq)));
        }
        // Nothing ran in the front link's thread.
        QVERIFY2(window.calls.isEmpty(), qPrintable(window.calls.join(", ")));
        // The device falls silent (1 s): the lost-link pattern still comes,
        // and the error page is asked for in the language last announced,
        // without asking the blocked window for it.
        QVERIFY(blockUntil(
            [&] {
                return !onLinkThread(link,
                                     [&] { return link.handler()->frameReceiver()->isAttached(); });
            },
            4000));

        // The window's thread is free again: the calls run here, in order.
        QTRY_COMPARE(window.calls.size(), 4);
        QCOMPARE(window.calls,
                 QStringList({"setLanguage de", "setDefaultUrl http://127.0.0.1/index.html",
                              "openUrlForce http://127.0.0.1/index.html true", "displayError de"}));
        for (QThread* t : window.threads)
            QCOMPARE(t, QThread::currentThread());
        link.stop();
    }

    // Calls still queued when the window goes away are dropped, not run on
    // what is left of it. The window (the receiver whose thread runs the
    // calls) and the recorder of the calls are two objects here, so a call
    // that is wrongly delivered is seen by the recorder instead of running
    // on freed memory.
    void callsToADeletedWindowAreDropped()
    {
        UnitRoot root;
        root.configure(10);
        auto* window = new QObject;
        RecordingTarget recorder;
        Tessal::FrontLinkThread link("127.0.0.1", 0, window, &recorder);
        const int calledAtStart = recorder.calls.size(); // the language, read once
        link.start();
        QUdpSocket device;
        QVERIFY(device.writeDatagram(gpioFrame(1, gpio(1, 0, 0, 0)), QHostAddress::LocalHost,
                                     onLinkThread(link, [&] {
                                         return link.handler()->frameReceiver()->boundPort();
                                     })) > 0);
        QVERIFY(blockUntil(
            [&] {
                return onLinkThread(link,
                                    [&] { return link.handler()->frameReceiver()->isAttached(); });
            },
            2000));
        // The attachment's calls are queued for this thread, which has not
        // run its event loop since; the window goes away first.
        QCOMPARE(recorder.calls.size(), calledAtStart);
        delete window;
        QTest::qWait(300);
        QVERIFY2(recorder.calls.size() == calledAtStart,
                 qPrintable(recorder.calls.mid(calledAtStart).join(", ")));
        link.stop();
    }
};

QTEST_GUILESS_MAIN(TestFrontLinkThread)
#include "tst_frontlinkthread.moc"
