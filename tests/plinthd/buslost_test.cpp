// plinthd when its system bus goes away: it leaves with a failure status
// (so the service manager starts it again) and closes its Modbus interface,
// instead of being ended unseen by libdbus; an ordinary "stop" stays status 0.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "harness.h"

using namespace plinthd_test;

namespace
{
bool TcpConnectable(int iPort)
{
    int iFd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(iPort));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool bOk = connect(iFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    close(iFd);
    return bOk;
}

// The daemon logs through syslog(3), which writes to /dev/log. As root, the
// daemon gets a mount namespace of its own whose /dev/log is this socket,
// so the test reads the very lines the daemon writes.
class SyslogCapture
{
public:
    explicit SyslogCapture(const std::string& sDir) : m_sDir(sDir)
    {
        m_iFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const std::string sPath = m_sDir + "/log";
        snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", sPath.c_str());
        if (bind(m_iFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
            close(m_iFd);
            m_iFd = -1;
        }
        mkdir((m_sDir + "/realdev").c_str(), 0700);
    }
    ~SyslogCapture()
    {
        if (m_iFd >= 0)
            close(m_iFd);
    }
    bool Usable() const { return m_iFd >= 0 && geteuid() == 0; }

    // Runs in the child before exec: a private /dev holding null, zero,
    // random, urandom and the capture socket as log.
    void EnterNamespace() const
    {
        const std::string sReal = m_sDir + "/realdev";
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("/dev", sReal.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0 ||
            mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0)
            _exit(126);
        for (const char* pcName : {"null", "zero", "random", "urandom", "log"}) {
            const std::string sTarget = std::string("/dev/") + pcName;
            const std::string sSource =
                std::string(pcName) == "log" ? m_sDir + "/log" : sReal + "/" + pcName;
            int iFd = open(sTarget.c_str(), O_CREAT | O_WRONLY, 0666);
            if (iFd >= 0)
                close(iFd);
            if (mount(sSource.c_str(), sTarget.c_str(), nullptr, MS_BIND, nullptr) != 0)
                _exit(126);
        }
    }

    // Every datagram received so far, appended to the text kept.
    const std::string& Text()
    {
        char acBuf[2048];
        ssize_t n;
        while (m_iFd >= 0 && (n = recv(m_iFd, acBuf, sizeof(acBuf), 0)) > 0)
            m_sText.append(acBuf, static_cast<size_t>(n)).append("\n");
        return m_sText;
    }

private:
    std::string m_sDir;
    int m_iFd = -1;
    std::string m_sText;
};
} // namespace

TEST(BusLoss, DaemonExitsWithFailureStatusAndClosesItsPortWhenTheBusDies)
{
    auto bus = std::make_unique<PrivateBus>();
    TempDir dir;
    SyslogCapture log(dir.Path());
    std::function<void()> preExec;
    if (log.Usable())
        preExec = [&log] { log.EnterNamespace(); };
    DaemonProcess daemon(bus->Address(), preExec);
    const int iPort = FreeTcpPort();
    {
        BusClient client(bus->Address());
        ASSERT_EQ(client.Cmd(TcpInit(iPort, R"([{"address":0,"length":4,"mode":"rw"}])")),
                  R"({"err":0,"info":""})");
    }
    ASSERT_TRUE(TcpConnectable(iPort));

    bus.reset(); // the bus daemon is terminated under the running plinthd
    const int iStatus = daemon.WaitExit(10000);
    ASSERT_NE(iStatus, -1) << "plinthd still runs 10 s after its bus went away";
    EXPECT_EQ(iStatus, 1) << "exit status (128+N: killed by signal N)";
    EXPECT_FALSE(TcpConnectable(iPort));
    if (!log.Usable())
        GTEST_SKIP() << "the daemon's log lines are read only as root";
    // libdbus's own exit on a lost bus has the same status but says nothing.
    const std::string& sLog = log.Text();
    EXPECT_NE(sLog.find("dbus  Lost the connection to the system bus, leaving it and stopping"),
              std::string::npos)
        << sLog;
    EXPECT_NE(sLog.find("plinthd System bus gone, exiting with status 1"), std::string::npos)
        << sLog;
}

TEST(BusLoss, StopCommandStillEndsTheDaemonWithStatusZero)
{
    PrivateBus bus;
    DaemonProcess daemon(bus.Address());
    BusClient client(bus.Address());
    ASSERT_EQ(client.Cmd(R"({"cmd":"stop"})"), R"({"err":0,"info":""})");
    EXPECT_EQ(daemon.WaitExit(10000), 0);
}
