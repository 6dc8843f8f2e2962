// The script watcher: system scripts run one at a time in the order asked
// for, never waited on; their ends are told by typed signals; a script
// still running at its limit is killed with its children.
#include "frontlinkfixture.h"
#include "logcapture.h"
#include "scriptwatcher.h"

#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include <cerrno>
#include <csignal>

using Tessal::ScriptEnd;
using Tessal::ScriptRun_s;
using Tessal::ScriptWatcher;

class TestScriptWatcher : public QObject
{
    Q_OBJECT

private:
    UnitRoot* root = nullptr;

    static ScriptEnd endOf(const QList<QVariant>& signal)
    {
        return signal.at(1).value<ScriptEnd>();
    }
    static QString nameOf(const QList<QVariant>& signal)
    {
        return signal.at(0).value<ScriptRun_s>().name;
    }

private slots:
    void init()
    {
        root = new UnitRoot;
        root->configure(10);
    }
    void cleanup() { delete root; }

    // Each script marks its start and end: no two overlap, and the order
    // is the order asked for, whatever each one takes.
    void oneAtATimeInOrder()
    {
        const QByteArray mark = "echo \"end $(basename \"$0\")\" >> '" +
                                root->path("scripts.log").toLocal8Bit() + "'\n";
        root->recordingScript("a.sh", "sleep 0.3\n" + mark);
        root->recordingScript("b.sh", mark);
        root->recordingScript("c.sh", "sleep 0.1\n" + mark);
        ScriptWatcher scripts;
        QSignalSpy finished(&scripts, &ScriptWatcher::finished);
        scripts.run("a.sh", {"1"});
        scripts.run("b.sh", {"2", "two words"});
        scripts.run("c.sh", {});
        QCOMPARE(scripts.waiting(), 2);
        QTRY_COMPARE(finished.count(), 3);
        QCOMPARE(root->scriptCalls(), QStringList({"a.sh|1", "end a.sh", "b.sh|2|two words",
                                                   "end b.sh", "c.sh", "end c.sh"}));
        for (const auto& signal : finished)
            QCOMPARE(endOf(signal), ScriptEnd::Exited);
        QVERIFY(!scripts.isBusy());
    }

    // The thread that asks goes on: its timers tick while a script runs.
    void theCallerNeverWaits()
    {
        root->recordingScript("slow.sh", "sleep 1\n");
        ScriptWatcher scripts;
        QSignalSpy finished(&scripts, &ScriptWatcher::finished);
        int ticks = 0;
        QTimer tick;
        connect(&tick, &QTimer::timeout, [&] { ++ticks; });
        tick.start(50);
        scripts.run("slow.sh", {});
        QVERIFY(scripts.isBusy());
        const int ticksAtStart = ticks;
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 5000);
        QVERIFY2(ticks - ticksAtStart >= 10, qPrintable(QString("%1 ticks").arg(ticks)));
    }

    void missingAndCrashedScripts()
    {
        LogCapture log;
        root->recordingScript("crash.sh", "kill -SEGV $$\n");
        root->recordingScript("ok.sh");
        ScriptWatcher scripts;
        QSignalSpy finished(&scripts, &ScriptWatcher::finished);
        QSignalSpy started(&scripts, &ScriptWatcher::started);
        QList<ScriptEnd> thens;
        scripts.run("missing.sh", {}, true, [&](ScriptEnd end) { thens << end; });
        scripts.run("missing-quiet.sh", {}, false);
        scripts.run("crash.sh", {});
        scripts.run("ok.sh", {}, true, [&](ScriptEnd end) { thens << end; });
        QTRY_COMPARE(finished.count(), 4);
        QCOMPARE(started.count(), 2);
        QCOMPARE(endOf(finished[0]), ScriptEnd::NotRun);
        QCOMPARE(endOf(finished[1]), ScriptEnd::NotRun);
        QCOMPARE(endOf(finished[2]), ScriptEnd::Crashed);
        QCOMPARE(endOf(finished[3]), ScriptEnd::Exited);
        QCOMPARE(thens, QList<ScriptEnd>({ScriptEnd::NotRun, ScriptEnd::Exited}));
        QCOMPARE(
            log.count("Script '" + root->path("scripts/missing.sh") + "' not found, do nothing"),
            1);
        QVERIFY(!log.contains("missing-quiet.sh"));
        QCOMPARE(log.count("Script '" + root->path("scripts/crash.sh") + "' crashed"), 1);
    }

    // A newer run of a key replaces the one waiting, never the one running.
    void theLatestRunOfAKeyWaits()
    {
        root->recordingScript("update.sh", "sleep 0.2\n");
        ScriptWatcher scripts;
        QSignalSpy finished(&scripts, &ScriptWatcher::finished);
        QSignalSpy replaced(&scripts, &ScriptWatcher::replaced);
        for (int i = 1; i <= 5; ++i)
            scripts.runLatest("update", "update.sh", {QString::number(i)});
        QCOMPARE(scripts.waiting(), 1);
        QCOMPARE(replaced.count(), 3);
        QCOMPARE(replaced.first().first().value<ScriptRun_s>().arguments, QStringList{"2"});
        QTRY_COMPARE(finished.count(), 2);
        QCOMPARE(root->scriptCalls(), QStringList({"update.sh|1", "update.sh|5"}));
    }

    void aHungScriptIsKilledWithItsChildren()
    {
        LogCapture log;
        root->recordingScript("k3p.sh", "sleep 30 &\necho $! > '" +
                                            root->path("pid").toLocal8Bit() + "'\nexec sleep 30\n");
        ScriptWatcher scripts(500);
        QSignalSpy finished(&scripts, &ScriptWatcher::finished);
        scripts.run("k3p.sh", {"10.0.0.7"});
        scripts.run("netcfg.sh", {"dhcp"});
        root->recordingScript("netcfg.sh");
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 2, 5000);
        QCOMPARE(nameOf(finished[0]), QString("k3p.sh"));
        QCOMPARE(endOf(finished[0]), ScriptEnd::Killed);
        QCOMPARE(endOf(finished[1]), ScriptEnd::Exited);
        QCOMPARE(root->scriptCalls(), QStringList({"k3p.sh|10.0.0.7", "netcfg.sh|dhcp"}));
        QCOMPARE(log.count(QString("Script '%1' did not finish within 500 ms, killed")
                               .arg(root->path("scripts/k3p.sh"))),
                 1);
        const pid_t child = root->read("pid").trimmed().toInt();
        QVERIFY(child > 0);
        QTRY_VERIFY(::kill(child, 0) == -1 && errno == ESRCH);
    }

    // No script outlives its watcher (the front link stopping).
    void aRunningScriptEndsWithItsWatcher()
    {
        root->recordingScript("hang.sh", "echo $$ > '" + root->path("pid").toLocal8Bit() +
                                             "'\nexec sleep 30\n");
        auto* scripts = new ScriptWatcher;
        scripts->run("hang.sh", {});
        QTRY_VERIFY(!root->read("pid").trimmed().isEmpty() && root->read("pid") != "<missing>");
        const pid_t pid = root->read("pid").trimmed().toInt();
        delete scripts;
        QCOMPARE(::kill(pid, 0), -1);
        QCOMPARE(errno, ESRCH);
    }
};

QTEST_GUILESS_MAIN(TestScriptWatcher)
#include "tst_scriptwatcher.moc"
