// The indicators on their own, through their typed signal: the start-up
// pattern, the blink rates of the two ticks, a repeated blink state leaving
// the blink alone, and the lost-link pattern.
#include "frontlinkfixture.h"
#include "indicators.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QtTest>

using Tessal::Indicators;

namespace
{

// How often an indicator's phase changed over the recorded signals.
int edges(const QSignalSpy& spy, uint8_t tup::gpiostate_s::*field)
{
    int n = 0;
    for (int i = 1; i < spy.count(); ++i) {
        const auto before = spy.at(i - 1).at(1).value<tup::gpiostate_s>();
        const auto after = spy.at(i).at(1).value<tup::gpiostate_s>();
        n += before.*field != after.*field;
    }
    return n;
}

} // namespace

class TestIndicators : public QObject
{
    Q_OBJECT

private slots:
    void startUpPatternAndBlinkRates()
    {
        UnitRoot root;
        root.configure(10);
        Indicators leds;
        QSignalSpy changed(&leds, &Indicators::outputsChanged);
        leds.start();
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed.first().at(0).value<tup::gpiostate_s>(), gpio(2, 2, 2, 0));
        QCOMPARE(changed.first().at(1).value<tup::gpiostate_s>(), gpio(1, 1, 1, 0));

        // Green fast, yellow slow, red steady on, buzzer off.
        leds.apply(gpio(3, 2, 1, 0));
        QCOMPARE(changed.last().at(1).value<tup::gpiostate_s>(), gpio(1, 1, 1, 0));
        QCOMPARE(root.gpio(kRed, "value"), QByteArray("1"));
        changed.clear();
        QElapsedTimer t;
        t.start();
        QTest::qWait(2100);
        const qint64 ms = t.elapsed();
        const int fast = edges(changed, &tup::gpiostate_s::good);
        const int slow = edges(changed, &tup::gpiostate_s::warning);
        // One edge every 250 ms and every 1000 ms; the first signal of the
        // spy is itself an edge of whichever toggled.
        QVERIFY2(fast >= ms / 250 - 2 && fast <= ms / 250 + 1,
                 qPrintable(QString("%1 fast edges in %2 ms").arg(fast).arg(ms)));
        QVERIFY2(slow >= 1 && slow <= ms / 1000 + 1,
                 qPrintable(QString("%1 slow edges in %2 ms").arg(slow).arg(ms)));
        QCOMPARE(edges(changed, &tup::gpiostate_s::critical), 0);
        QCOMPARE(edges(changed, &tup::gpiostate_s::buzzer), 0);
        // What the signal says is what the files hold.
        QCOMPARE(root.gpio(kGreen, "value"),
                 QByteArray::number(changed.last().at(1).value<tup::gpiostate_s>().good));
    }

    // The same blink state again does not restart the blink; a change to a
    // blink code starts in the on phase.
    void repeatedStatesAndTheLostLink()
    {
        UnitRoot root;
        root.configure(10);
        Indicators leds;
        leds.start();
        leds.apply(gpio(0, 0, 3, 1));
        leds.blinkFastTimeout();
        QCOMPARE(leds.phase().critical, quint8(0));
        QSignalSpy changed(&leds, &Indicators::outputsChanged);
        leds.apply(gpio(0, 0, 3, 1));
        QCOMPARE(changed.last().at(1).value<tup::gpiostate_s>().critical, quint8(0));
        leds.apply(gpio(0, 0, 2, 1));
        QCOMPARE(changed.last().at(1).value<tup::gpiostate_s>().critical, quint8(1));

        leds.showLinkLost();
        QCOMPARE(changed.last().at(0).value<tup::gpiostate_s>(), gpio(3, 3, 3, 1));
        QCOMPARE(changed.last().at(1).value<tup::gpiostate_s>(), gpio(1, 1, 1, 1));
        // A tick with nothing at its rate says nothing.
        leds.apply(gpio(1, 1, 1, 0));
        const int count = changed.count();
        leds.blinkSlowTimeout();
        leds.blinkFastTimeout();
        QCOMPARE(changed.count(), count);
        leds.stop();
    }
};

QTEST_GUILESS_MAIN(TestIndicators)
#include "tst_indicators.moc"
