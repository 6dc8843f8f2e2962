// The web engine's sandbox: on where the kernel offers what it needs, turned
// off (with one line naming what is missing) where it does not, off as root,
// and never said to be on when the environment turned it off. The kernel's
// files are fakes under a temporary TESSAL_ROOT.
#include "enginesandbox.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

using Tessal::EngineSandbox;
using Tessal::SandboxPlan_s;

namespace
{
// A file's content, or Absent for no file at all.
const QByteArray Absent = QByteArray();
const QByteArray SeccompActions =
    "kill_process kill_thread trap errno user_notif trace log allow\n";
} // namespace

class TestEngineSandbox : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_root;

    void put(const char* path, const QByteArray& content)
    {
        const QString full = m_root.path() + QString::fromLatin1(path);
        QFile::remove(full);
        if (content.isNull())
            return;
        QDir().mkpath(QFileInfo(full).absolutePath());
        QFile file(full);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    void kernel(const QByteArray& maxUserns, const QByteArray& usernsClone,
                const QByteArray& seccomp)
    {
        put(EngineSandbox::MaxUserNamespaces, maxUserns);
        put(EngineSandbox::UnprivilegedUsernsClone, usernsClone);
        put(EngineSandbox::SeccompActions, seccomp);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid());
        qputenv("TESSAL_ROOT", m_root.path().toLocal8Bit());
    }

    void kernelDecidesForAnUnprivilegedKiosk_data()
    {
        QTest::addColumn<QByteArray>("maxUserns");
        QTest::addColumn<QByteArray>("usernsClone");
        QTest::addColumn<QByteArray>("seccomp");
        QTest::addColumn<bool>("turnOff");
        QTest::addColumn<QString>("line");

        QTest::newRow("namespaces and filters: on")
            << QByteArray("96363\n") << Absent << SeccompActions << false
            << "The web engine's sandbox is on";
        QTest::newRow("Debian's switch open: on")
            << QByteArray("96363\n") << QByteArray("1\n") << SeccompActions << false
            << "The web engine's sandbox is on";
        QTest::newRow("no user namespaces allowed")
            << QByteArray("0\n") << Absent << SeccompActions << true
            << "The web engine's sandbox is turned off: user namespaces are turned off "
               "(/proc/sys/user/max_user_namespaces is 0)";
        QTest::newRow("kernel without user namespaces")
            << Absent << Absent << SeccompActions << true
            << "The web engine's sandbox is turned off: the kernel has no user namespaces "
               "(no /proc/sys/user/max_user_namespaces)";
        QTest::newRow("Debian's switch closed")
            << QByteArray("96363\n") << QByteArray("0\n") << SeccompActions << true
            << "The web engine's sandbox is turned off: user namespaces are closed to "
               "unprivileged users (/proc/sys/kernel/unprivileged_userns_clone is 0)";
        QTest::newRow("unreadable count")
            << QByteArray("many\n") << Absent << SeccompActions << true
            << "The web engine's sandbox is turned off: user namespaces cannot be told "
               "(/proc/sys/user/max_user_namespaces unreadable)";
        QTest::newRow("no seccomp filters")
            << QByteArray("96363\n") << Absent << Absent << true
            << "The web engine's sandbox is turned off: the kernel has no seccomp filters "
               "(no /proc/sys/kernel/seccomp/actions_avail)";
        QTest::newRow("neither: both named in one line")
            << QByteArray("0\n") << QByteArray("0\n") << Absent << true
            << "The web engine's sandbox is turned off: user namespaces are turned off "
               "(/proc/sys/user/max_user_namespaces is 0) and the kernel has no seccomp "
               "filters (no /proc/sys/kernel/seccomp/actions_avail)";
    }

    void kernelDecidesForAnUnprivilegedKiosk()
    {
        QFETCH(QByteArray, maxUserns);
        QFETCH(QByteArray, usernsClone);
        QFETCH(QByteArray, seccomp);
        QFETCH(bool, turnOff);
        QFETCH(QString, line);
        kernel(maxUserns, usernsClone, seccomp);
        const SandboxPlan_s plan = EngineSandbox::plan(false, false);
        QCOMPARE(plan.turnOff, turnOff);
        QCOMPARE(plan.line, line);
        QCOMPARE(EngineSandbox::kernelShortfalls().isEmpty(), !turnOff);
    }

    void rootTurnsItOffWhateverTheKernel()
    {
        kernel("96363\n", Absent, SeccompActions);
        SandboxPlan_s plan = EngineSandbox::plan(true, false);
        QVERIFY(plan.turnOff);
        QCOMPARE(plan.line, QString("Running as root: the web engine's sandbox is turned off"));
        // Already off from outside: nothing more to turn off, the line stays.
        plan = EngineSandbox::plan(true, true, "QTWEBENGINE_DISABLE_SANDBOX");
        QVERIFY(!plan.turnOff);
        QCOMPARE(plan.line, QString("Running as root: the web engine's sandbox is turned off"));
        kernel("0\n", Absent, Absent);
        QCOMPARE(EngineSandbox::plan(true, false).line,
                 QString("Running as root: the web engine's sandbox is turned off"));
    }

    void turnedOffOutsideIsNeverCalledOn()
    {
        kernel("96363\n", Absent, SeccompActions);
        const SandboxPlan_s plan = EngineSandbox::plan(false, true, "QTWEBENGINE_DISABLE_SANDBOX");
        QVERIFY(!plan.turnOff);
        QCOMPARE(plan.line,
                 QString("The web engine's sandbox is turned off by QTWEBENGINE_DISABLE_SANDBOX"));
    }
};

QTEST_GUILESS_MAIN(TestEngineSandbox)
#include "tst_enginesandbox.moc"
