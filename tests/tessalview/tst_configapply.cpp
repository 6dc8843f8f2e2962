// The configuration records on their own: applied when they differ from the
// one in force, each kind at most once per period with the last record
// received winning, dropped with the device that sent them, and never run
// twice for the same content.
#include "configapply.h"
#include "frontlinkfixture.h"
#include "scriptwatcher.h"
#include "tupbytes.h"

#include <QSignalSpy>
#include <QtTest>

using Tessal::ConfigApply;
using Tessal::ScriptWatcher;

namespace
{

tup::netcfg_s net(const char* address, bool dhcp = false)
{
    tup::netcfg_s n;
    tup::parseIPv4(address, n.ip);
    n.dhcp = dhcp;
    return n;
}

} // namespace

class TestConfigApply : public QObject
{
    Q_OBJECT

private:
    static constexpr int period = 200;

private slots:
    // Within a period the newest record waits; at its end the last one is
    // applied, once.
    void theLastRecordOfAPeriodWins()
    {
        UnitRoot root;
        root.configure(10);
        root.recordAllScripts();
        ScriptWatcher scripts;
        ConfigApply config(&scripts, period);
        config.resetToDefaults();
        QSignalSpy applied(&config, &ConfigApply::netCfgApplied);
        config.receiveNetCfg(net("10.0.0.1"));
        config.receiveNetCfg(net("10.0.0.2"));
        config.receiveNetCfg(net("10.0.0.3"));
        QVERIFY(applied.isEmpty()); // not before the period ends
        QTRY_COMPARE(applied.count(), 1);
        QCOMPARE(applied.first().first().value<tup::netcfg_s>(), net("10.0.0.3"));
        QCOMPARE(config.netCfg(), net("10.0.0.3"));
        QTRY_COMPARE(root.scriptCalls(), QStringList({"netcfg.sh|static|10.0.0.3|0.0.0.0|0.0.0.0|"
                                                      "0.0.0.0|0.0.0.0|standalone"}));

        // The record in force again: nothing opens a period, nothing runs.
        config.receiveNetCfg(net("10.0.0.3"));
        QTest::qWait(2 * period);
        QCOMPARE(applied.count(), 1);

        // A period that ends on the record in force runs nothing either.
        config.receiveNetCfg(net("10.0.0.4"));
        config.receiveNetCfg(net("10.0.0.3"));
        QTest::qWait(2 * period);
        QCOMPARE(applied.count(), 1);
        QCOMPARE(root.scriptCalls().size(), 1);
    }

    // Each kind has its own period: a NetCfg storm does not hold back a
    // ModbusCfg.
    void kindsHaveTheirOwnPeriods()
    {
        UnitRoot root;
        root.configure(10);
        root.recordAllScripts();
        ScriptWatcher scripts;
        ConfigApply config(&scripts, period);
        config.resetToDefaults();
        QSignalSpy netApplied(&config, &ConfigApply::netCfgApplied);
        QSignalSpy modbusApplied(&config, &ConfigApply::modbusCfgApplied);
        config.receiveNetCfg(net("10.0.0.1"));
        QTRY_COMPARE(netApplied.count(), 1);
        config.receiveNetCfg(net("10.0.0.2"));
        // The first record of a kind is applied even when its values equal
        // the start-up defaults (Modbus off, port 502): the system's state
        // is unknown until then.
        tup::modbuscfg_s mb;
        config.receiveModbusCfg(mb);
        QTRY_COMPARE(modbusApplied.count(), 1);
        QTRY_COMPARE(netApplied.count(), 2);
        QCOMPARE(modbusApplied.first().first().value<tup::modbuscfg_s>(), mb);
    }

    // Records still waiting when the device is lost go with it; the
    // unregistering follows the registering in the scripts' order.
    void aLostDeviceTakesItsWaitingRecords()
    {
        UnitRoot root;
        root.configure(10);
        root.recordAllScripts();
        ScriptWatcher scripts;
        ConfigApply config(&scripts, period);
        config.resetToDefaults();
        QSignalSpy applied(&config, &ConfigApply::netCfgApplied);
        bool registered = false;
        config.deviceAttached("10.0.0.7", [&] { registered = true; });
        config.receiveNetCfg(net("10.0.0.9"));
        config.deviceLost("10.0.0.7");
        QTest::qWait(2 * period);
        QVERIFY(applied.isEmpty());
        QVERIFY(config.netCfg().resetcfg);
        QVERIFY(registered);
        QCOMPARE(root.scriptCalls(), QStringList({"k3p.sh|10.0.0.7", "k3p.sh|delete|10.0.0.7"}));
    }
};

QTEST_GUILESS_MAIN(TestConfigApply)
#include "tst_configapply.moc"
