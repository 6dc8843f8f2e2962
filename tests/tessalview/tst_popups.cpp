// The two message dialogs: a modal message that closes itself, and a modal
// progress bar.
#include "progresspopup.h"
#include "timedpopup.h"

#include <QDir>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>
#include <QtTest>

using Tessal::ProgressPopup;
using Tessal::TimedPopup;

class TestPopups : public QObject
{
    Q_OBJECT

private slots:
    void timedPopupShowsMessageWithItsForm()
    {
        TimedPopup popup("USB drive not detected.");
        auto* label = popup.findChild<QLabel*>("lblMsg");
        QVERIFY(label);
        QCOMPARE(label->text(), QString("USB drive not detected."));
        QCOMPARE(label->geometry(), QRect(10, 10, 381, 71));
        QCOMPARE(label->font().pointSize(), 18);
        QVERIFY(label->wordWrap());
        QCOMPARE(label->alignment(), Qt::AlignCenter);
        QCOMPARE(popup.size(), QSize(400, 91));
        QVERIFY(popup.isModal());
        QVERIFY(popup.windowTitle().isEmpty());
        QVERIFY(popup.windowFlags() & Qt::FramelessWindowHint);
    }

    void timedPopupDefaultsToThreeSeconds()
    {
        TimedPopup popup("msg");
        auto* timer = popup.findChild<QTimer*>();
        QVERIFY(timer);
        QVERIFY(timer->isSingleShot());
        QCOMPARE(timer->interval(), TimedPopup::DefaultDuration);
        QCOMPARE(TimedPopup::DefaultDuration, 3000);
    }

    void timedPopupEndsItsOwnModalRun()
    {
        TimedPopup popup(150, "Download complete");
        bool wasVisible = false;
        QTimer::singleShot(50, [&] { wasVisible = popup.isVisible(); });
        // A popup that never closed itself would hang here; the watchdog
        // makes such a failure visible instead.
        QTimer watchdog;
        watchdog.setSingleShot(true);
        bool watchdogFired = false;
        connect(&watchdog, &QTimer::timeout, [&] {
            watchdogFired = true;
            popup.reject();
        });
        watchdog.start(10000);
        popup.exec();
        QVERIFY(wasVisible);
        QVERIFY(!watchdogFired);
        QVERIFY(!popup.isVisible());
    }

    void timedPopupWithZeroDurationClosesAtOnce()
    {
        TimedPopup popup(0, "x");
        QTimer watchdog;
        bool watchdogFired = false;
        connect(&watchdog, &QTimer::timeout, [&] {
            watchdogFired = true;
            popup.reject();
        });
        watchdog.start(10000);
        popup.exec();
        QVERIFY(!watchdogFired);
    }

    void progressPopupStartsAtZeroAndFollowsProgress()
    {
        ProgressPopup popup("Download in progress");
        auto* bar = popup.findChild<QProgressBar*>("progressBar");
        auto* title = popup.findChild<QLabel*>("lblTitle");
        QVERIFY(bar && title);
        QCOMPARE(title->text(), QString("Download in progress"));
        QCOMPARE(title->font().pointSize(), 18);
        QCOMPARE(bar->minimum(), 0);
        QCOMPARE(bar->maximum(), 100);
        QCOMPARE(bar->value(), 0);
        QVERIFY(!bar->isTextVisible());
        QCOMPARE(bar->geometry(), QRect(20, 60, 371, 41));
        QCOMPARE(popup.size(), QSize(408, 114));
        QVERIFY(popup.isModal());
        QVERIFY(popup.windowFlags() & Qt::FramelessWindowHint);

        popup.show();
        popup.setProgress(42);
        QCOMPARE(bar->value(), 42);
        QCOMPARE(popup.progress(), 42);
        popup.setProgress(100);
        QCOMPARE(bar->value(), 100);
    }

    // Pictures of both dialogs for a person to look at.
    void screenshots()
    {
        const QString dir = qEnvironmentVariable("TESSAL_BINARY_DIR", QDir::tempPath());
        const QString out = dir + "/screenshots";
        QVERIFY(QDir().mkpath(out));
        TimedPopup timed(60000, "Error opening file '/usbmnt/report.csv' for writing.");
        timed.show();
        QVERIFY(timed.grab().save(out + "/timedpopup.png"));
        ProgressPopup progress("Download in progress");
        progress.setProgress(60);
        progress.show();
        QVERIFY(progress.grab().save(out + "/progresspopup.png"));
    }
};

QTEST_MAIN(TestPopups)
#include "tst_popups.moc"
