// plinthctl as a user and the unit's scripts meet it: the real binary run as
// a child process against a private dbus-daemon, with the real plinthd, a
// libmodbus master, and a small peer for what the daemon cannot be made to
// do (record texts exactly, never answer).
#include "harness.h"

#include <dbus/dbus.h>
#include <gtest/gtest.h>
#include <modbus.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

using namespace plinthd_test;

namespace
{

struct CtlRun {
    int iExit = -1;
    std::string sOut;
    std::string sErr;
};

std::string ReadFile(const std::string& sPath)
{
    std::ifstream in(sPath, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& sPath, const std::string& sText)
{
    std::ofstream(sPath, std::ios::binary) << sText;
}

std::vector<std::string> Lines(const std::string& sText)
{
    std::vector<std::string> lines;
    std::stringstream ss(sText);
    std::string sLine;
    while (std::getline(ss, sLine))
        lines.push_back(sLine);
    return lines;
}

void Sleep(int iMs)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(iMs));
}

// Watches the bus's own method calls AddMatch (as a monitor), so a test can
// wait until a client has subscribed instead of sleeping.
class MatchMonitor
{
public:
    explicit MatchMonitor(const std::string& sAddress)
    {
        DBusError err;
        dbus_error_init(&err);
        m_pConn = dbus_connection_open_private(sAddress.c_str(), &err);
        if (m_pConn == nullptr || !dbus_bus_register(m_pConn, &err)) {
            dbus_error_free(&err);
            return;
        }
        DBusMessage* pCall = dbus_message_new_method_call(
            DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, "org.freedesktop.DBus.Monitoring", "BecomeMonitor");
        const char* pszRule =
            "type='method_call',interface='org.freedesktop.DBus',member='AddMatch'";
        const char** ppszRules = &pszRule;
        dbus_uint32_t uiFlags = 0;
        dbus_message_append_args(pCall, DBUS_TYPE_ARRAY, DBUS_TYPE_STRING, &ppszRules, 1,
                                 DBUS_TYPE_UINT32, &uiFlags, DBUS_TYPE_INVALID);
        DBusMessage* pReply = dbus_connection_send_with_reply_and_block(m_pConn, pCall, 5000, &err);
        dbus_message_unref(pCall);
        m_bReady = pReply != nullptr;
        if (pReply != nullptr)
            dbus_message_unref(pReply);
        dbus_error_free(&err);
    }
    ~MatchMonitor()
    {
        if (m_pConn != nullptr) {
            dbus_connection_close(m_pConn);
            dbus_connection_unref(m_pConn);
        }
    }
    bool Ready() const { return m_bReady; }
    // True once some client asked for a match rule containing sPart.
    bool WaitAddMatch(const std::string& sPart, int iTimeoutMs)
    {
        auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(iTimeoutMs);
        while (m_bReady && std::chrono::steady_clock::now() < tEnd) {
            dbus_connection_read_write(m_pConn, 50);
            while (DBusMessage* pMsg = dbus_connection_pop_message(m_pConn)) {
                const char* pszRule = nullptr;
                bool bFound = dbus_message_is_method_call(pMsg, DBUS_INTERFACE_DBUS, "AddMatch") &&
                              dbus_message_get_args(pMsg, nullptr, DBUS_TYPE_STRING, &pszRule,
                                                    DBUS_TYPE_INVALID) &&
                              std::string(pszRule).find(sPart) != std::string::npos;
                dbus_message_unref(pMsg);
                if (bFound)
                    return true;
            }
        }
        return false;
    }

private:
    DBusConnection* m_pConn = nullptr;
    bool m_bReady = false;
};

class PlinthctlTest : public ::testing::Test
{
protected:
    PrivateBus m_bus;
    TempDir m_dir;
    std::string m_sBusAddress = m_bus.Address();
    std::vector<pid_t> m_children;

    void TearDown() override
    {
        for (pid_t pid : m_children) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

    std::string Path(const std::string& sName) const { return m_dir.Path() + "/" + sName; }

    // Starts a program with the test's bus, its output into files.
    pid_t Spawn(const std::string& sProgram, const std::vector<std::string>& args,
                const std::string& sOut, const std::string& sErr)
    {
        pid_t pid = fork();
        if (pid == 0) {
            setenv("DBUS_SYSTEM_BUS_ADDRESS", m_sBusAddress.c_str(), 1);
            setenv("TESSAL_ROOT", (m_dir.Path() + "/root").c_str(), 1);
            int iOut = open(sOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int iErr = open(sErr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int iIn = open("/dev/null", O_RDONLY);
            dup2(iIn, 0);
            dup2(iOut, 1);
            dup2(iErr, 2);
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(sProgram.c_str()));
            for (const std::string& s : args)
                argv.push_back(const_cast<char*>(s.c_str()));
            argv.push_back(nullptr);
            execv(sProgram.c_str(), argv.data());
            _exit(127);
        }
        return pid;
    }

    // Exit status (128 + signal when killed), or -1 when it did not end.
    static int Finish(pid_t pid, int iTimeoutMs)
    {
        for (int i = 0; i < iTimeoutMs / 10; ++i) {
            int iStatus = 0;
            if (waitpid(pid, &iStatus, WNOHANG) == pid)
                return WIFEXITED(iStatus) ? WEXITSTATUS(iStatus) : 128 + WTERMSIG(iStatus);
            Sleep(10);
        }
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return -1;
    }

    CtlRun Ctl(const std::vector<std::string>& args, int iTimeoutMs = 30000)
    {
        CtlRun r;
        pid_t pid = Spawn(PLINTHCTL_BINARY, args, Path("out"), Path("err"));
        r.iExit = Finish(pid, iTimeoutMs);
        r.sOut = ReadFile(Path("out"));
        r.sErr = ReadFile(Path("err"));
        return r;
    }

    CtlRun CtlOnBus(const std::string& sAddress, const std::vector<std::string>& args)
    {
        const std::string sSaved = m_sBusAddress;
        m_sBusAddress = sAddress;
        CtlRun r = Ctl(args);
        m_sBusAddress = sSaved;
        return r;
    }

    // The test peer owning the daemon's name.
    void StartPeer(const std::vector<std::string>& args)
    {
        m_children.push_back(Spawn(CTL_TESTPEER_BINARY, args, Path("peer.out"), Path("peer.err")));
        BusClient client(m_sBusAddress);
        for (int i = 0; i < 500 && !client.NameHasOwner("vox.tessal.plinthd"); ++i)
            Sleep(10);
        ASSERT_TRUE(client.NameHasOwner("vox.tessal.plinthd")) << ReadFile(Path("peer.err"));
    }

    // The texts the recording peer received, in order.
    std::vector<std::string> Recorded() const
    {
        std::vector<std::string> texts;
        const std::string s = ReadFile(Path("record"));
        size_t uStart = 0;
        for (size_t u = 0; u < s.size(); ++u) {
            if (s[u] == '\0') {
                texts.push_back(s.substr(uStart, u - uStart));
                uStart = u + 1;
            }
        }
        return texts;
    }
};

// The system log as plinthctl writes it under TESSAL_ROOT.
class SyslogSink
{
public:
    explicit SyslogSink(const std::string& sRoot)
    {
        mkdir(sRoot.c_str(), 0755);
        mkdir((sRoot + "/dev").c_str(), 0755);
        m_iFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::string sPath = sRoot + "/dev/log";
        std::memcpy(addr.sun_path, sPath.c_str(), sPath.size() + 1);
        if (bind(m_iFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            throw std::runtime_error("cannot bind " + sPath);
    }
    ~SyslogSink() { close(m_iFd); }
    // The lines received since the last call.
    std::vector<std::string> Take()
    {
        std::vector<std::string> lines;
        char szBuf[8192];
        ssize_t n;
        while ((n = recv(m_iFd, szBuf, sizeof szBuf, MSG_DONTWAIT)) > 0)
            lines.emplace_back(szBuf, static_cast<size_t>(n));
        return lines;
    }

private:
    int m_iFd = -1;
};

const std::string TABLES = "[{\"address\":0,\"length\":10,\"mode\":\"rw\"}]";

} // namespace

// --- exit codes without a daemon, without a bus ----------------------------------

TEST_F(PlinthctlTest, AnAbsentDaemonOrBusIsExit3AndWaitTimesOut)
{
    WriteFile(Path("init.json"), TcpInit(FreeTcpPort(), TABLES));
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"cmd", "{\"cmd\":\"getstatus\"}"},
                                               {"init", Path("init.json")},
                                               {"status"},
                                               {"get", "0"},
                                               {"set", "0", "1"}}) {
        CtlRun r = Ctl(args);
        EXPECT_EQ(r.iExit, 3) << args[0];
        EXPECT_NE(r.sErr.find("vox.tessal.plinthd is not on the bus"), std::string::npos) << r.sErr;
        EXPECT_EQ(r.sOut, "") << args[0];
    }
    EXPECT_EQ(Ctl({"wait", "--timeout", "0"}).iExit, 4);
    EXPECT_EQ(Ctl({"wait", "--timeout", "300"}).iExit, 4);
    EXPECT_EQ(Ctl({"wait", "--gone", "--timeout", "0"}).iExit, 0);

    const std::string sNoBus = "unix:path=" + Path("no-bus");
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"cmd", "{}"}, {"status"}, {"wait"}, {"watch", "--count", "1"}}) {
        CtlRun r = CtlOnBus(sNoBus, args);
        EXPECT_EQ(r.iExit, 3) << args[0];
        EXPECT_NE(r.sErr.find("system bus not reachable"), std::string::npos) << r.sErr;
    }
}

// --- bad usage -------------------------------------------------------------------

TEST_F(PlinthctlTest, BadUsageIsExit2AndSendsNothing)
{
    StartPeer({"record", Path("record")});
    WriteFile(Path("empty.json"), "\n\n");
    WriteFile(Path("latin1.json"), "{\"cmd\":\"init\",\"x\":\"\xE4\"}");
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {},
             {"frobnicate"},
             {"cmd"},
             {"cmd", "{}", "{}"},
             {"cmd", "{\"x\":\"\xFF\xFE\"}"},
             {"--timeout", "abc", "cmd", "{}"},
             {"--timeout", "-5", "cmd", "{}"},
             {"cmd", "{}", "--timeout"},
             {"cmd", "--json", "{}"},
             {"--timeout=", "cmd", "{}"},
             {"init"},
             {"init", Path("missing.json")},
             {"init", Path("empty.json")},
             {"init", Path("latin1.json")},
             {"status", "extra"},
             {"status", "--json=1"},
             {"get"},
             {"get", "x"},
             {"get", "-1"},
             {"get", "0", "0"},
             {"get", "0", "65537"},
             {"get", "010x"},
             {"set", "1"},
             {"set", "1", "65536"},
             {"set", "1", "-32769"},
             {"set", "1", "2", "three"},
             {"set", "+1", "2"},
             {"watch", "--count", "0"},
             {"watch", "extra"},
             {"wait", "extra"},
             {"update"},
             {"update", "{}", "{}"},
             {"update", "--init-file"},
         }) {
        std::string sLine;
        for (const std::string& s : args)
            sLine += s + " ";
        CtlRun r = Ctl(args);
        EXPECT_EQ(r.iExit, 2) << sLine << "\n" << r.sErr;
        EXPECT_NE(r.sErr.find("plinthctl: "), std::string::npos) << sLine;
        EXPECT_EQ(r.sOut, "") << sLine;
    }
    EXPECT_TRUE(Recorded().empty());
}

TEST_F(PlinthctlTest, EveryCommandHasItsHelp)
{
    CtlRun r = Ctl({"--help"});
    EXPECT_EQ(r.iExit, 0);
    EXPECT_EQ(r.sOut.rfind("Usage: plinthctl", 0), 0u) << r.sOut;
    EXPECT_EQ(Ctl({"help"}).sOut, r.sOut);
    for (const char* pszCmd : {"cmd", "init", "status", "get", "set", "watch", "wait", "update"}) {
        const std::string sHead = std::string("Usage: plinthctl ") + pszCmd + " ";
        CtlRun one = Ctl({pszCmd, "--help"});
        EXPECT_EQ(one.iExit, 0) << pszCmd;
        EXPECT_EQ(one.sOut.rfind(sHead, 0), 0u) << one.sOut;
        EXPECT_EQ(Ctl({"help", pszCmd}).sOut, one.sOut);
        EXPECT_EQ(Ctl({"-h", pszCmd}).sOut, one.sOut);
        // Listed in the tool's own help too.
        EXPECT_NE(r.sOut.find(std::string("  ") + pszCmd + " "), std::string::npos) << pszCmd;
    }
}

// --- what travels -------------------------------------------------------------------

TEST_F(PlinthctlTest, TextsTravelByteForByte)
{
    StartPeer({"record", Path("record")});
    const std::string sAnswer = "{\"err\":0,\"info\":\"Z\xC3\xA4hler \xE2\x9C\x93\"}";
    const std::vector<std::string> texts = {
        "{\"cmd\":\"setconfig\",\"note\":\"a \\\"quoted\\\" $HOME $(id) `id` \\\\ 'x' ; & | * ? ~ "
        "%s %n\"}",
        "{\"cmd\":\"init\",\n\t\"multi\": \"line\\n\",\r\n \"end\": true}\n",
        "{\"text\":\"Gr\xC3\xBC\xC3\x9F"
        "e \xE2\x82\xAC \xF0\x9F\x98\x80 \xE6\xB8\xA9\xE5\xBA\xA6\"}",
        "--help",
        "-1",
        "not json at all \\",
    };
    for (const std::string& sText : texts) {
        CtlRun r = Ctl({"cmd", "--", sText});
        EXPECT_EQ(r.iExit, 0) << r.sErr;
        EXPECT_EQ(r.sOut, sAnswer + "\n");
        ASSERT_FALSE(Recorded().empty());
        EXPECT_EQ(Recorded().back(), sText);

        // The update road: the same bytes, nothing printed.
        r = Ctl({"update", "--", sText});
        EXPECT_EQ(r.iExit, 0) << r.sErr;
        EXPECT_EQ(r.sOut, "");
        EXPECT_EQ(Recorded().back(), sText);
    }
    // From a file, as the kiosk writes it: the final newlines are not sent.
    WriteFile(Path("init.json"), texts[0] + "\n" + texts[2] + "\n\n");
    CtlRun r = Ctl({"init", Path("init.json")});
    EXPECT_EQ(r.iExit, 0);
    EXPECT_EQ(Recorded().back(), texts[0] + "\n" + texts[2]);
    EXPECT_EQ(Recorded().size(), 2 * texts.size() + 1);
}

TEST_F(PlinthctlTest, ADaemonThatDoesNotAnswerIsATimeOut)
{
    StartPeer({"silent"});
    auto t0 = std::chrono::steady_clock::now();
    CtlRun r = Ctl({"--timeout", "300", "cmd", "{\"cmd\":\"getstatus\"}"});
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    EXPECT_EQ(r.iExit, 4);
    EXPECT_NE(r.sErr.find("no answer within 300 ms"), std::string::npos) << r.sErr;
    EXPECT_LT(ms, 2000); // the 300 ms asked for (and a process start), not the bus's 25 s
    EXPECT_EQ(Ctl({"status", "--timeout=300"}).iExit, 4);
    EXPECT_EQ(Ctl({"get", "0", "--timeout", "300"}).iExit, 4);

    SyslogSink log(m_dir.Path() + "/root");
    r = Ctl({"--log", "mbserverupdate.sh", "--timeout", "300", "update", "{}"});
    EXPECT_EQ(r.iExit, 1);
    EXPECT_EQ(r.sErr.rfind("mbserverupdate.sh: update not delivered (status 4): ", 0), 0u)
        << r.sErr;
    const std::vector<std::string> lines = log.Take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("<11>", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(" mbserverupdate.sh: update not delivered (status 4): "),
              std::string::npos)
        << lines[0];
}

// --- with the real daemon ----------------------------------------------------------

TEST_F(PlinthctlTest, CommandsAgainstTheRealDaemon)
{
    DaemonProcess daemon(m_sBusAddress);
    const int iPort = FreeTcpPort();
    WriteFile(Path("init.json"), TcpInit(iPort, TABLES) + "\n");

    CtlRun r = Ctl({"status"});
    EXPECT_EQ(r.iExit, 0);
    EXPECT_NE(r.sOut.find("state:      Idle (procstate 1)\n"), std::string::npos) << r.sOut;
    EXPECT_NE(r.sOut.find("protocol:   undef\n"), std::string::npos) << r.sOut;

    // Refusals: exit 1 with the daemon's reply.
    r = Ctl({"cmd", "{\"cmd\":\"setconfig\",\"data\":[]}"});
    EXPECT_EQ(r.iExit, 1);
    EXPECT_EQ(r.sOut, "{\"err\":110,\"info\":\"\"}\n");
    r = Ctl({"cmd", "hello"});
    EXPECT_EQ(r.iExit, 1);
    EXPECT_EQ(r.sOut, "{\"err\":106,\"info\":\"\"}\n");
    r = Ctl({"cmd", "{\"cmd\":\"getconfig\"}"}); // {} has no "err": not a success
    EXPECT_EQ(r.iExit, 1);
    EXPECT_EQ(r.sOut, "{}\n");

    r = Ctl({"init", Path("init.json")});
    EXPECT_EQ(r.iExit, 0) << r.sErr;
    EXPECT_EQ(r.sOut, "{\"err\":0,\"info\":\"\"}\n");
    r = Ctl({"init", Path("init.json")});
    EXPECT_EQ(r.iExit, 1);
    EXPECT_EQ(r.sOut, "{\"err\":110,\"info\":\"\"}\n");
    r = Ctl({"init", "--reinit", Path("init.json")});
    EXPECT_EQ(r.iExit, 0) << r.sOut << r.sErr;

    r = Ctl({"set", "2", "1", "-1", "0x10", "65535"});
    EXPECT_EQ(r.iExit, 0) << r.sOut << r.sErr;
    EXPECT_EQ(r.sOut, "");
    r = Ctl({"get", "1", "5"});
    EXPECT_EQ(r.iExit, 0);
    EXPECT_EQ(r.sOut, "1: 0 (0x0000)\n2: 1 (0x0001)\n3: 65535 (0xFFFF)\n4: 16 (0x0010)\n"
                      "5: 65535 (0xFFFF)\n");
    r = Ctl({"get", "0", "11"});
    EXPECT_EQ(r.iExit, 1);
    EXPECT_NE(r.sOut.find("\"err\":108"), std::string::npos) << r.sOut;
    r = Ctl({"set", "100000", "1"}); // beyond the served range: skipped, not refused
    EXPECT_EQ(r.iExit, 0);

    // What plinthctl stored is what a master reads.
    modbus_t* pCtx = modbus_new_tcp("127.0.0.1", iPort);
    ASSERT_NE(pCtx, nullptr);
    ASSERT_EQ(modbus_connect(pCtx), 0);
    uint16_t regs[3] = {};
    EXPECT_EQ(modbus_read_registers(pCtx, 2, 3, regs), 3);
    EXPECT_EQ(regs[0], 1);
    EXPECT_EQ(regs[1], 0xFFFF);
    EXPECT_EQ(regs[2], 0x10);

    r = Ctl({"status"});
    EXPECT_EQ(r.iExit, 0);
    EXPECT_NE(r.sOut.find("state:      SetConfig (procstate 3)\n"), std::string::npos) << r.sOut;
    EXPECT_NE(r.sOut.find("protocol:   tcp\n"), std::string::npos) << r.sOut;
    EXPECT_NE(r.sOut.find("clients:    1\n            127.0.0.1:"), std::string::npos) << r.sOut;
    EXPECT_NE(r.sOut.find("requests:   1 valid, 0 malformed\n"), std::string::npos) << r.sOut;
    r = Ctl({"status", "--json"});
    EXPECT_EQ(r.iExit, 0);
    cJSON* pStatus = cJSON_Parse(r.sOut.c_str());
    ASSERT_NE(pStatus, nullptr) << r.sOut;
    EXPECT_EQ(JsonInt(pStatus, "procstate"), 3);
    EXPECT_EQ(JsonStr(pStatus, "protocol"), "tcp");
    cJSON_Delete(pStatus);

    // A second master with two reads and one refused read: each line shows
    // that master's own counters (requests of 12 bytes; answers of 15, 11
    // and 9 bytes).
    modbus_t* pCtx2 = modbus_new_tcp("127.0.0.1", iPort);
    ASSERT_NE(pCtx2, nullptr);
    ASSERT_EQ(modbus_connect(pCtx2), 0);
    EXPECT_EQ(modbus_read_registers(pCtx2, 0, 1, regs), 1);
    EXPECT_EQ(modbus_read_registers(pCtx2, 1, 1, regs), 1);
    EXPECT_EQ(modbus_read_registers(pCtx2, 100, 1, regs), -1);
    r = Ctl({"status"});
    EXPECT_EQ(r.iExit, 0);
    EXPECT_NE(r.sOut.find("clients:    2\n            127.0.0.1:"), std::string::npos) << r.sOut;
    const size_t uiFirst = r.sOut.find("  1 requests, 0 exceptions, 12 B in, 15 B out, since 20");
    const size_t uiSecond = r.sOut.find("  3 requests, 1 exceptions, 36 B in, 31 B out, since 20");
    EXPECT_NE(uiFirst, std::string::npos) << r.sOut;
    EXPECT_NE(uiSecond, std::string::npos) << r.sOut;
    EXPECT_LT(uiFirst, uiSecond) << "clients are listed in the order they connected";
    EXPECT_NE(r.sOut.find("requests:   4 valid, 0 malformed\n"), std::string::npos) << r.sOut;
    modbus_close(pCtx2);
    modbus_free(pCtx2);
    modbus_close(pCtx);
    modbus_free(pCtx);

    EXPECT_EQ(Ctl({"cmd", "{\"cmd\":\"stop\"}"}).iExit, 1); // configured: deinit first
    EXPECT_EQ(Ctl({"cmd", "{\"cmd\":\"deinit\"}"}).iExit, 0);
    EXPECT_EQ(Ctl({"cmd", "{\"cmd\":\"stop\"}"}).iExit, 0);
    EXPECT_EQ(Ctl({"wait", "--gone", "--timeout", "10000"}).iExit, 0);
    EXPECT_EQ(daemon.WaitExit(5000), 0);
    EXPECT_EQ(Ctl({"status"}).iExit, 3);
}

TEST_F(PlinthctlTest, WaitReturnsWhenTheDaemonTakesItsName)
{
    MatchMonitor monitor(m_sBusAddress);
    ASSERT_TRUE(monitor.Ready());
    pid_t pid =
        Spawn(PLINTHCTL_BINARY, {"wait", "--timeout", "20000"}, Path("w.out"), Path("w.err"));
    m_children.push_back(pid);
    // Subscribed to the name's owner changes before the daemon starts.
    ASSERT_TRUE(monitor.WaitAddMatch("NameOwnerChanged", 10000));
    auto t0 = std::chrono::steady_clock::now();
    DaemonProcess daemon(m_sBusAddress);
    EXPECT_EQ(Finish(pid, 10000), 0);
    m_children.clear();
    // Woken by the name change, not by the end of its 20 s.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
}

TEST_F(PlinthctlTest, WatchPrintsTheDaemonsSignalsOneLineEach)
{
    MatchMonitor monitor(m_sBusAddress);
    ASSERT_TRUE(monitor.Ready());
    pid_t watcher = Spawn(PLINTHCTL_BINARY, {"watch"}, Path("watch.out"), Path("watch.err"));
    m_children.push_back(watcher);
    auto waitFor = [&](const std::string& sSignal) {
        for (int i = 0; i < 1000; ++i) {
            if (ReadFile(Path("watch.out")).find("\"signal\":\"" + sSignal + "\"") !=
                std::string::npos)
                return true;
            Sleep(10);
        }
        return false;
    };
    // Subscribed to the daemon's signals before the daemon starts.
    ASSERT_TRUE(monitor.WaitAddMatch("sender='vox.tessal.plinthd'", 10000));
    auto daemon = std::make_unique<DaemonProcess>(m_sBusAddress);
    const pid_t daemonPid = daemon->Pid();
    ASSERT_TRUE(waitFor("started")) << ReadFile(Path("watch.err"));

    const int iPort = FreeTcpPort();
    BusClient client(m_sBusAddress);
    ASSERT_EQ(client.Cmd(TcpInit(iPort, TABLES)), "{\"err\":0,\"info\":\"\"}");
    modbus_t* pCtx = modbus_new_tcp("127.0.0.1", iPort);
    ASSERT_NE(pCtx, nullptr);
    ASSERT_EQ(modbus_connect(pCtx), 0);
    const uint16_t written[3] = {100, 2, 65535};
    ASSERT_EQ(modbus_write_registers(pCtx, 4, 3, written), 3);
    modbus_close(pCtx);
    modbus_free(pCtx);
    ASSERT_TRUE(waitFor("data"));
    ASSERT_EQ(client.Cmd("{\"cmd\":\"deinit\"}"), "{\"err\":0,\"info\":\"\"}");
    ASSERT_EQ(client.Cmd("{\"cmd\":\"stop\"}"), "{\"err\":0,\"info\":\"\"}");
    ASSERT_TRUE(waitFor("stopped"));
    EXPECT_EQ(daemon->WaitExit(5000), 0);

    // Interrupted: ends with status 0.
    kill(watcher, SIGINT);
    EXPECT_EQ(Finish(watcher, 5000), 0);
    m_children.clear();

    int iData = 0;
    for (const std::string& sLine : Lines(ReadFile(Path("watch.out")))) {
        cJSON* pLine = cJSON_Parse(sLine.c_str());
        ASSERT_NE(pLine, nullptr) << sLine;
        const std::string sSignal = JsonStr(pLine, "signal");
        EXPECT_EQ(JsonStr(pLine, "time").size(), 24u) << sLine; // 2026-12-09T03:40:00.123Z
        const cJSON* pParams = cJSON_GetObjectItemCaseSensitive(pLine, "params");
        char* pszParams = cJSON_PrintUnformatted(pParams);
        if (sSignal == "started") {
            EXPECT_EQ(JsonInt(pParams, "started"), daemonPid);
        } else if (sSignal == "stopped") {
            EXPECT_EQ(JsonInt(pParams, "stopped"), daemonPid);
        } else if (sSignal == "data") {
            ++iData;
            EXPECT_STREQ(pszParams, "[{\"address\":4,\"values\":[100,2,65535]}]");
        } else {
            EXPECT_EQ(sSignal, "status") << sLine;
        }
        cJSON_free(pszParams);
        cJSON_Delete(pLine);
    }
    EXPECT_EQ(iData, 1);
}

TEST_F(PlinthctlTest, WatchEndsAfterCountOrTimeOut)
{
    DaemonProcess daemon(m_sBusAddress);
    BusClient client(m_sBusAddress);
    ASSERT_EQ(client.Cmd(TcpInit(FreeTcpPort(), TABLES)), "{\"err\":0,\"info\":\"\"}");
    // Configured: a status signal about every 3 s.
    CtlRun r = Ctl({"watch", "--count", "2", "--timeout", "15000"});
    EXPECT_EQ(r.iExit, 0) << r.sErr;
    const std::vector<std::string> lines = Lines(r.sOut);
    ASSERT_EQ(lines.size(), 2u) << r.sOut;
    EXPECT_NE(lines[1].find("\"signal\":\"status\""), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find("\"procstate\":2"), std::string::npos) << lines[1];

    r = Ctl({"watch", "--count", "5", "--timeout", "300"});
    EXPECT_EQ(r.iExit, 4);
    r = Ctl({"watch", "--timeout", "300"});
    EXPECT_EQ(r.iExit, 0);
}

// --- the update road ----------------------------------------------------------------

// The update road with the system bus down: updates come with every frame,
// so the missing bus is reported once a minute, not once per update, and
// its note is its own: a bus that fails while the daemon is already
// reported missing is still said.
TEST_F(PlinthctlTest, UpdateWithoutABusIsReportedOnceAMinute)
{
    SyslogSink log(m_dir.Path() + "/root");
    const std::string sNoBus = "unix:path=" + Path("no-bus");
    auto updateOn = [&](const std::string& sBus) {
        return CtlOnBus(sBus, {"--log", "mbserverupdate.sh", "update", "--absent-note",
                               Path("nodaemon"), "--nobus-note", Path("nobus"), "--",
                               "{\"cmd\":\"setconfig\",\"data\":[]}"});
    };
    const std::string sPrefix = "mbserverupdate.sh: update not delivered (status 3): system bus "
                                "not reachable: ";

    // The daemon is missing: its own note.
    CtlRun r = updateOn(m_sBusAddress);
    EXPECT_EQ(r.iExit, 1);
    EXPECT_EQ(r.sErr, "mbserverupdate.sh: plinthd is not running, update dropped\n");
    EXPECT_EQ(log.Take().size(), 1u);

    // The bus gone: said once, then quiet; never delivered.
    r = updateOn(sNoBus);
    EXPECT_EQ(r.iExit, 1);
    EXPECT_EQ(r.sErr.rfind(sPrefix, 0), 0u) << r.sErr;
    for (int i = 0; i < 5; ++i) {
        r = updateOn(sNoBus);
        EXPECT_EQ(r.iExit, 1);
        EXPECT_EQ(r.sOut + r.sErr, "");
    }
    std::vector<std::string> lines = log.Take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("<11>", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(" " + sPrefix), std::string::npos) << lines[0];

    // The missing daemon's note stays its own: still quiet for it.
    r = updateOn(m_sBusAddress);
    EXPECT_EQ(r.iExit, 1);
    EXPECT_EQ(r.sErr, "");

    // A note from the future (the clock was set back) does not silence it.
    timeval future[2];
    gettimeofday(&future[0], nullptr);
    future[0].tv_sec += 3600;
    future[1] = future[0];
    ASSERT_EQ(utimes(Path("nobus").c_str(), future), 0);
    EXPECT_EQ(updateOn(sNoBus).sErr.rfind(sPrefix, 0), 0u);
    // Nor does an old one, from more than a minute ago.
    timeval past[2];
    gettimeofday(&past[0], nullptr);
    past[0].tv_sec -= 61;
    past[1] = past[0];
    ASSERT_EQ(utimes(Path("nobus").c_str(), past), 0);
    EXPECT_EQ(updateOn(sNoBus).sErr.rfind(sPrefix, 0), 0u);
    EXPECT_EQ(updateOn(sNoBus).sErr, "");
    EXPECT_EQ(log.Take().size(), 2u);
}

// What mbserverupdate.sh runs: a restarted (Idle) daemon is given the init
// document again, then the update; an absent daemon is reported once a
// minute.
TEST_F(PlinthctlTest, UpdateConfiguresARestartedDaemonAgain)
{
    SyslogSink log(m_dir.Path() + "/root");
    const int iPort = FreeTcpPort();
    WriteFile(Path("init.saved"), TcpInit(iPort, TABLES) + "\n");
    const std::vector<std::string> update = {
        "--log",         "mbserverupdate.sh", "update", "--init-file", Path("init.saved"),
        "--absent-note", Path("note"),        "--"};
    auto updateWith = [&](int iValue) {
        std::vector<std::string> args = update;
        args.push_back("{\"cmd\":\"setconfig\",\"data\":[{\"address\":3,\"values\":[" +
                       std::to_string(iValue) + "]}]}");
        return Ctl(args);
    };

    auto daemon = std::make_unique<DaemonProcess>(m_sBusAddress);
    ASSERT_EQ(Ctl({"init", Path("init.saved")}).iExit, 0);
    CtlRun r = updateWith(1);
    EXPECT_EQ(r.iExit, 0) << r.sErr;
    EXPECT_EQ(r.sOut + r.sErr, "");
    EXPECT_TRUE(log.Take().empty());

    // Gone: reported once, then quiet for a minute.
    daemon.reset();
    ASSERT_EQ(Ctl({"wait", "--gone", "--timeout", "5000"}).iExit, 0);
    r = updateWith(2);
    EXPECT_EQ(r.iExit, 1);
    EXPECT_EQ(r.sErr, "mbserverupdate.sh: plinthd is not running, update dropped\n");
    r = updateWith(3);
    EXPECT_EQ(r.iExit, 1);
    EXPECT_EQ(r.sErr, "");
    std::vector<std::string> lines = log.Take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("<11>", 0), 0u);
    EXPECT_EQ(lines[0].substr(lines[0].find(" mbserverupdate.sh: ")),
              " mbserverupdate.sh: plinthd is not running, update dropped");
    // A note from the future (the clock was set back) does not silence it.
    timeval future[2];
    gettimeofday(&future[0], nullptr);
    future[0].tv_sec += 3600;
    future[1] = future[0];
    ASSERT_EQ(utimes(Path("note").c_str(), future), 0);
    EXPECT_EQ(updateWith(3).sErr, "mbserverupdate.sh: plinthd is not running, update dropped\n");
    EXPECT_EQ(log.Take().size(), 1u);

    // Back, empty: the init goes first, then the update.
    daemon = std::make_unique<DaemonProcess>(m_sBusAddress);
    r = updateWith(4);
    EXPECT_EQ(r.iExit, 0) << r.sErr;
    lines = log.Take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("<13>", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("mbserverupdate.sh: plinthd had no configuration, init re-delivered "
                            "from " +
                            Path("init.saved")),
              std::string::npos)
        << lines[0];
    r = Ctl({"get", "3"});
    EXPECT_EQ(r.sOut, "3: 4 (0x0004)\n");
    EXPECT_EQ(updateWith(5).iExit, 0);
    EXPECT_TRUE(log.Take().empty());

    // An init document the daemon refuses: said so, once per update.
    daemon.reset();
    ASSERT_EQ(Ctl({"wait", "--gone", "--timeout", "5000"}).iExit, 0);
    daemon = std::make_unique<DaemonProcess>(m_sBusAddress);
    WriteFile(Path("init.saved"),
              "{\"cmd\":\"init\",\"protocol\":\"udp\",\"delay\":0,\"tables\":[]}");
    r = updateWith(6);
    EXPECT_EQ(r.iExit, 1);
    EXPECT_EQ(r.sErr, "mbserverupdate.sh: init re-delivery refused: "
                      "{\"err\":108,\"info\":\"Unknown protocol\"}\n");
    // No init document kept: the refusal as it is.
    unlink(Path("init.saved").c_str());
    r = updateWith(7);
    EXPECT_EQ(r.iExit, 1);
    EXPECT_EQ(r.sErr, "mbserverupdate.sh: update refused: {\"err\":110,\"info\":\"\"}\n");
    EXPECT_EQ(log.Take().size(), 2u);
}
