// Settings: ini groups, conversions, defaults and the command line.
#include "logcapture.h"
#include "settings.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <vector>

using Tessal::Settings;

class TestSettings : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_root;
    int m_written = 0;

    void writeIni(const QByteArray& content)
    {
        // The ini reader caches files by size and time stamp; a comment of a
        // new length makes every file written here look new to it.
        const QByteArray padding = "; " + QByteArray(++m_written, 'x') + "\n";
        QDir(m_root.path()).mkpath("usr/local/etc");
        QFile file(m_root.path() + "/usr/local/etc/tessal-view.ini");
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(padding + content);
    }

private slots:
    void init()
    {
        QVERIFY(m_root.isValid());
        qputenv("TESSAL_ROOT", m_root.path().toLocal8Bit());
        QFile::remove(m_root.path() + "/usr/local/etc/tessal-view.ini");
        Settings::resetToDefaults();
    }

    void missingFileKeepsEveryDefaultAndLogsOnce()
    {
        LogCapture log;
        QVERIFY(!Settings::load());
        QCOMPARE(log.lines().size(), 1);
        QVERIFY(log.lines().first().endsWith(
            "Settings file '" + m_root.path() +
            "/usr/local/etc/tessal-view.ini' does not exist, using default values"));
        QCOMPARE(Settings::getNetUdpPort(), quint16(9876));
        QCOMPARE(Settings::getNetUdpTimeout(), quint16(10));
        QCOMPARE(Settings::getNetRetryTimeout(), quint16(15));
        QCOMPARE(Settings::getNetUdpIntf(), QString("eth1"));
        QCOMPARE(Settings::getNetUdpAddr(), QString());
        QCOMPARE(Settings::getNetDeviceAddress(), QString());
        QCOMPARE(Settings::getNetFrontIntf(), QString("usb0"));
        QCOMPARE(Settings::getFilesDirectory(), QString("/usbmnt"));
        // Read for older ini files; it decides nothing and has no default.
        QCOMPARE(Settings::getFilesUsbDriveFile(), QString());
        QCOMPARE(Settings::getFilesScriptDir(), QString("/usr/local/bin"));
        QCOMPARE(Settings::getFilesTmpCfgDir(), QString("/run/tessalview/etc"));
        QCOMPARE(Settings::getModbusMap(), QString("/usr/local/etc/modbus.map"));
        QCOMPARE(Settings::getModbusMode(), QString("tcp"));
        QCOMPARE(Settings::getModbusIntf(), QString("0.0.0.0:502:10"));
        QCOMPARE(Settings::getGPIOLedGreenPin(), quint32(224));
        QCOMPARE(Settings::getGPIOLedYellowPin(), quint32(225));
        QCOMPARE(Settings::getGPIOLedRedPin(), quint32(228));
        QCOMPARE(Settings::getGPIOBuzzerPin(), quint32(230));
        QCOMPARE(Settings::getGPIOLedGreenHigh(), false);
        QCOMPARE(Settings::getGPIOBuzzerHigh(), true);
        QCOMPARE(Settings::getUIHideCursor(), true);
        QCOMPARE(Settings::getUITouchLockdown(), true);
        QCOMPARE(Settings::getUIScreenSaverInterval(), 15000);
        QCOMPARE(Settings::getWebCachePath(), QString("/run/tessalview/web"));
        QCOMPARE(Settings::getUIMsgUSBDriveNotMounted(), QString("USB drive not detected."));
        QCOMPARE(Settings::getUIMsgFailedToOpenFile(),
                 QString("Error opening file '%1' for writing."));
        QCOMPARE(Settings::getUITextFilename(), QString("Filename:"));
        QCOMPARE(Settings::getUIErrorImagePath(), QString("/usr/local/share"));
        QCOMPARE(Settings::getInfoDevice(), QString("DeviceUndef"));
        QCOMPARE(Settings::getInfoRelease(), QString("ReleaseUndef"));
    }

    void oneKeyChangesOnlyItsMember()
    {
        writeIni("[Network]\nUdpPort=5000\n");
        QVERIFY(Settings::load());
        QCOMPARE(Settings::getNetUdpPort(), quint16(5000));
        QCOMPARE(Settings::getNetUdpTimeout(), quint16(10));
        QCOMPARE(Settings::getNetUdpIntf(), QString("eth1"));
        QCOMPARE(Settings::getUIScreenSaverInterval(), 15000);
    }

    void conversions_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("what");
        QTest::addColumn<qlonglong>("expected");
        QTest::newRow("16-bit keeps the low bits")
            << QByteArray("[Network]\nUdpPort=70000\n") << "port" << qlonglong(4464);
        QTest::newRow("text as number gives 0")
            << QByteArray("[UI]\nScreenSaverInterval=abc\n") << "interval" << qlonglong(0);
        QTest::newRow("negative interval")
            << QByteArray("[UI]\nScreenSaverInterval=-20\n") << "interval" << qlonglong(-20);
        QTest::newRow("false") << QByteArray("[UI]\nHideCursor=false\n") << "cursor"
                               << qlonglong(0);
        QTest::newRow("FALSE") << QByteArray("[UI]\nHideCursor=FALSE\n") << "cursor"
                               << qlonglong(0);
        QTest::newRow("0") << QByteArray("[UI]\nHideCursor=0\n") << "cursor" << qlonglong(0);
        QTest::newRow("empty") << QByteArray("[UI]\nHideCursor=\n") << "cursor" << qlonglong(0);
        QTest::newRow("no is true")
            << QByteArray("[UI]\nHideCursor=no\n") << "cursor" << qlonglong(1);
        QTest::newRow("pin") << QByteArray("[GPIO]\nLedRedPin=17\n") << "red" << qlonglong(17);
        QTest::newRow("wrong group is not read")
            << QByteArray("[UI]\nUdpPort=5000\n") << "port" << qlonglong(9876);
        QTest::newRow("key names are case-sensitive")
            << QByteArray("[Network]\nudpport=5000\n") << "port" << qlonglong(9876);
    }

    void conversions()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QString, what);
        QFETCH(qlonglong, expected);
        writeIni(ini);
        QVERIFY(Settings::load());
        qlonglong actual = -1;
        if (what == "port")
            actual = Settings::getNetUdpPort();
        else if (what == "interval")
            actual = Settings::getUIScreenSaverInterval();
        else if (what == "cursor")
            actual = Settings::getUIHideCursor() ? 1 : 0;
        else if (what == "red")
            actual = Settings::getGPIOLedRedPin();
        QCOMPARE(actual, expected);
    }

    void textWithCommaComesBackWhole()
    {
        writeIni("[UI]\nMsgConnecting=Please wait, connecting\n");
        QVERIFY(Settings::load());
        QCOMPARE(Settings::getUIMsgConnecting(), QString("Please wait, connecting"));
    }

    // Non-ASCII values in a UTF-8 file (the way our packages and an editor
    // of today write it) come back whole on the build's Qt, Qt 5 as Qt 6,
    // and no warning is given.
    void utf8ValuesReadTheSameOnEveryQt()
    {
        const QString password = QString::fromUtf8("p\xc3\xa4ss\xe2\x82\xac\xc3\x9f");
        const QString label = QString::fromUtf8("Verbindung l\xc3\xa4uft\xe2\x80\xa6");
        writeIni("[WebSite]\nPassword=" + password.toUtf8() +
                 "\n[UI]\nMsgConnecting=" + label.toUtf8() + "\nTextOK=OK\n");
        LogCapture log;
        QVERIFY(Settings::load());
        QCOMPARE(Settings::getPassword(), password);
        QCOMPARE(Settings::getUIMsgConnecting(), label);
        QCOMPARE(Settings::getUITextOK(), QString("OK"));
        QVERIFY(!log.contains("is not UTF-8"));
    }

    // A file that is not UTF-8 (an older one saved as Latin-1) is named in a
    // warning; its ASCII keys and values still read right.
    void fileThatIsNotUtf8IsNamed()
    {
        writeIni("[WebSite]\nLogin=operator\nPassword=p\xe4ss\n");
        LogCapture log;
        QVERIFY(Settings::load());
        QCOMPARE(Settings::getLogin(), QString("operator"));
        QCOMPARE(log.count(Settings::getFilePath() + "' is not UTF-8"), 1);
    }

    void authorizationValue()
    {
        writeIni("[WebSite]\nLogin=user\nPassword=\n");
        QVERIFY(Settings::load());
        QCOMPARE(Settings::getHttpAuthorizationBytes(),
                 QByteArray("Basic ") + QByteArray("user:").toBase64());
        Settings::resetToDefaults();
        QCOMPARE(Settings::getHttpAuthorizationBytes(), QByteArray("Basic Og=="));
    }

    void commandLineSetsDeviceAndRelease()
    {
        LogCapture log;
        Settings::loadWithCommandLine({"tessalview", "-D", "Meter A", "-R", "2.1", "-v"});
        QCOMPARE(Settings::getInfoDevice(), QString("Meter A"));
        QCOMPARE(Settings::getInfoRelease(), QString("2.1"));
        QVERIFY(Settings::isLogVerbose());
        QVERIFY(log.contains("device  = Meter A"));
        QVERIFY(log.contains("release = 2.1"));
    }

    void unknownOptionIsLoggedAndStartUpGoesOn()
    {
        writeIni("[Network]\nUdpPort=5000\n");
        LogCapture log;
        Settings::loadWithCommandLine({"tessalview", "-v", "--bogus"});
        QVERIFY(log.contains("Unknown option 'bogus'") || log.contains("Unknown argument"));
        // The ini file is still read after the parse error.
        QCOMPARE(Settings::getNetUdpPort(), quint16(5000));
        QCOMPARE(Settings::getInfoDevice(), QString("DeviceUndef"));
    }

    // The parser stops at its first error: what came before it counts, what
    // follows it does not.
    void argumentsAfterAParseErrorAreNotProcessed()
    {
        LogCapture log;
        Settings::loadWithCommandLine({"tessalview", "-D", "Meter A", "--bogus", "-R", "2.1"});
        QCOMPARE(Settings::getInfoDevice(), QString("Meter A"));
        QCOMPARE(Settings::getInfoRelease(), QString("ReleaseUndef"));
        QVERIFY(!Settings::isLogVerbose());
        QVERIFY(log.contains("release = ReleaseUndef"));

        Settings::resetToDefaults();
        Settings::loadWithCommandLine({"tessalview", "-x", "-v", "-D", "Meter B"});
        QVERIFY(!Settings::isLogVerbose());
        QCOMPARE(Settings::getInfoDevice(), QString("DeviceUndef"));

        // A value missing at the end: the options before it still count.
        Settings::resetToDefaults();
        Settings::loadWithCommandLine({"tessalview", "-v", "-R"});
        QVERIFY(Settings::isLogVerbose());
        QCOMPARE(Settings::getInfoRelease(), QString("ReleaseUndef"));
        QVERIFY(log.contains("Missing value after '-R'"));
    }

    // Help and version end the program before it needs a screen; anything
    // else, including "--help" as the value of -D, starts the kiosk.
    void helpAndVersionAreAnsweredBeforeStartUp_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::newRow("nothing") << QStringList{"tessalview"} << -1;
        QTest::newRow("options") << QStringList{"tessalview", "-v", "-D", "Meter"} << -1;
        QTest::newRow("help") << QStringList{"tessalview", "--help"} << 0;
        QTest::newRow("-h after options") << QStringList{"tessalview", "-v", "-h"} << 0;
        QTest::newRow("version") << QStringList{"tessalview", "--version"} << 0;
        QTest::newRow("after a toolkit option")
            << QStringList{"tessalview", "-platform", "offscreen", "--help"} << 0;
        QTest::newRow("value of -D") << QStringList{"tessalview", "-D", "--help"} << -1;
        QTest::newRow("value of -R") << QStringList{"tessalview", "-R", "--version"} << -1;
    }

    void helpAndVersionAreAnsweredBeforeStartUp()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        std::vector<QByteArray> bytes;
        for (const QString& a : arguments)
            bytes.push_back(a.toLocal8Bit());
        std::vector<char*> argv;
        for (QByteArray& b : bytes)
            argv.push_back(b.data());
        argv.push_back(nullptr);
        int argc = static_cast<int>(bytes.size());
        QCOMPARE(Settings::answerHelpOrVersion(argc, argv.data()), status);
    }

    void helpDoesNotStopStartUp()
    {
        writeIni("[Network]\nUdpPort=5001\n");
        Settings::loadWithCommandLine({"tessalview", "--help"});
        QCOMPARE(Settings::getNetUdpPort(), quint16(5001));
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
