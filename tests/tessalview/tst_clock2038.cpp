// The kiosk's time stamps on a clock past January 2038, where a signed
// 32-bit time_t ends. ctest runs this with the clock moved (tests/common/clockshift) to
// 2040-02-29 12:00:00 UTC (see CMakeLists.txt); run alone, it has nothing to
// check and fails.
#include "helpers.h"

#include <QDateTime>
#include <QtTest>

using namespace Tessal;

class tst_Clock2038 : public QObject
{
    Q_OBJECT

private slots:
    void timeStampsShowTheRealDate()
    {
        QVERIFY2(qEnvironmentVariable("TESSAL_CLOCK_START") == "2214129600",
                 "run through ctest, which sets the clock to 2040-02-29 12:00:00 UTC");
        QCOMPARE(qEnvironmentVariable("TZ"), QString("UTC"));

        const QString stamp = Helpers::now();
        QVERIFY2(stamp.startsWith("2040-02-29 12:0"), qPrintable(stamp));

        // 2040-02-29T12:00:00Z; the clock has run on a little since.
        const qint64 start = 2214129600;
        const qint64 secs = QDateTime::currentSecsSinceEpoch();
        QVERIFY2(secs >= start && secs < start + 600, qPrintable(QString::number(secs)));
        QCOMPARE(QDateTime::currentDateTimeUtc().date(), QDate(2040, 2, 29));
    }
};

QTEST_GUILESS_MAIN(tst_Clock2038)
#include "tst_clock2038.moc"
