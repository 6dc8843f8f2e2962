#include "privatebus.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "log.h"

const char* const kService = "vox.tessal.plinthd";
const char* const kInterface = "vox.tessal.modbusserver";
const char* const kPath = "/vox/tessal";

bool PrivateBus::Start(const std::string& extraPolicy)
{
    // libdbus reads the bus address once per process and caches it; a
    // shutdown makes it read the new one (no connection may be open here).
    dbus_shutdown();
    char tmpl[] = "/tmp/tessal-bus-XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        return false;
    m_sDir = tmpl;
    const std::string sConfig = m_sDir + "/bus.conf";
    {
        std::ofstream f(sConfig);
        f << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
             " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
             "<busconfig>\n"
             "  <type>system</type>\n"
             "  <listen>unix:path="
          << m_sDir
          << "/bus</listen>\n"
             "  <auth>EXTERNAL</auth>\n"
             "  <policy context=\"default\">\n"
             "    <allow user=\"*\"/>\n"
             "    <allow own=\"*\"/>\n"
             "    <allow send_type=\"method_call\"/>\n"
             "    <allow send_type=\"signal\"/>\n"
             "    <allow send_requested_reply=\"true\" send_type=\"method_return\"/>\n"
             "    <allow send_requested_reply=\"true\" send_type=\"error\"/>\n"
             "    <allow receive_type=\"method_call\"/>\n"
             "    <allow receive_type=\"signal\"/>\n"
             "    <allow receive_type=\"method_return\"/>\n"
             "    <allow receive_type=\"error\"/>\n"
          << extraPolicy
          << "\n  </policy>\n"
             "</busconfig>\n";
    }
    const std::string sCmd =
        "dbus-daemon --config-file=" + sConfig + " --fork --print-address=1 --print-pid=1 2>&1";
    FILE* p = popen(sCmd.c_str(), "r");
    if (p == nullptr)
        return false;
    char line[512];
    std::vector<std::string> lines;
    while (fgets(line, sizeof(line), p) != nullptr) {
        std::string s(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
            s.pop_back();
        lines.push_back(s);
    }
    int iStatus = pclose(p);
    if (iStatus != 0 || lines.size() < 2) {
        fprintf(stderr, "dbus-daemon failed to start:\n");
        for (const auto& l : lines)
            fprintf(stderr, "  %s\n", l.c_str());
        return false;
    }
    m_sAddress = lines[0];
    m_pid = static_cast<pid_t>(atoi(lines[1].c_str()));
    setenv("DBUS_SYSTEM_BUS_ADDRESS", m_sAddress.c_str(), 1);
    return m_pid > 0;
}

// True while the process runs (a zombie does not count).
static bool Alive(pid_t pid)
{
    if (kill(pid, 0) != 0)
        return false;
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string sStat;
    std::getline(f, sStat);
    size_t pos = sStat.rfind(')');
    return pos == std::string::npos || pos + 2 >= sStat.size() || sStat[pos + 2] != 'Z';
}

void PrivateBus::Kill()
{
    if (m_pid <= 0)
        return;
    kill(m_pid, SIGKILL);
    for (int i = 0; i < 400 && Alive(m_pid); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    m_pid = -1;
}

void PrivateBus::Stop()
{
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        // The daemon is not our child (it forked): wait until it is gone or
        // only a zombie waiting for its reaper.
        for (int i = 0; i < 200 && Alive(m_pid); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (Alive(m_pid))
            kill(m_pid, SIGKILL);
        m_pid = -1;
    }
    dbus_shutdown();
    if (!m_sDir.empty()) {
        unlink((m_sDir + "/bus").c_str());
        unlink((m_sDir + "/bus.conf").c_str());
        rmdir(m_sDir.c_str());
        m_sDir.clear();
    }
}

// ---------------------------------------------------------------------------

namespace
{
std::mutex g_logMutex;
std::vector<std::string> g_logLines;
size_t g_logCount = 0;
bool g_keepLines = true;

void Sink(int, const char* szLine)
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    ++g_logCount;
    if (g_keepLines)
        g_logLines.emplace_back(szLine);
}
} // namespace

namespace LogCapture
{
void Install(bool bKeepLines)
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_keepLines = bKeepLines;
    LogSetSink(&Sink);
}
void Clear()
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_logLines.clear();
    g_logCount = 0;
}
std::vector<std::string> Lines()
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    return g_logLines;
}
bool Contains(const std::string& sLine)
{
    for (const auto& l : Lines())
        if (l == sLine)
            return true;
    return false;
}
bool WaitFor(const std::string& sLine, int iMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(iMs);
    while (!Contains(sLine)) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}
size_t Count()
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    return g_logCount;
}
} // namespace LogCapture

// ---------------------------------------------------------------------------

std::string ShellQuote(const std::string& s)
{
    std::string q = "'";
    for (char c : s) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

CommandResult RunCommand(const std::string& sCommand)
{
    CommandResult r;
    FILE* p = popen((sCommand + " 2>&1").c_str(), "r");
    if (p == nullptr)
        return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
        r.sOutput.append(buf, n);
    int iStatus = pclose(p);
    r.iStatus = WIFEXITED(iStatus) ? WEXITSTATUS(iStatus) : -1;
    return r;
}

std::string DbusSendCmd(const std::string& sJson)
{
    CommandResult r =
        RunCommand(std::string("dbus-send --system --print-reply --reply-timeout=5000 "
                               "--dest=") +
                   kService + " " + kPath + " " + kInterface + ".cmd string:" + ShellQuote(sJson));
    const std::string sMark = "   string \"";
    size_t pos = r.sOutput.find(sMark);
    if (r.iStatus != 0 || pos == std::string::npos)
        return "!" + r.sOutput;
    size_t end = r.sOutput.rfind('"');
    return r.sOutput.substr(pos + sMark.size(), end - pos - sMark.size());
}

// ---------------------------------------------------------------------------

BusClient::BusClient()
{
    DBusError err;
    dbus_error_init(&err);
    m_pConn = dbus_bus_get_private(DBUS_BUS_SYSTEM, &err);
    if (dbus_error_is_set(&err))
        dbus_error_free(&err);
    if (m_pConn != nullptr)
        dbus_connection_set_exit_on_disconnect(m_pConn, FALSE);
}

BusClient::~BusClient()
{
    if (m_pConn != nullptr) {
        dbus_connection_close(m_pConn);
        dbus_connection_unref(m_pConn);
    }
}

std::string BusClient::Cmd(const std::string& sJson, int iTimeoutMs)
{
    DBusMessage* msg = dbus_message_new_method_call(kService, kPath, kInterface, "cmd");
    const char* pc = sJson.c_str();
    dbus_message_append_args(msg, DBUS_TYPE_STRING, &pc, DBUS_TYPE_INVALID);
    DBusError err;
    dbus_error_init(&err);
    DBusMessage* reply = dbus_connection_send_with_reply_and_block(m_pConn, msg, iTimeoutMs, &err);
    dbus_message_unref(msg);
    if (reply == nullptr) {
        std::string s = "!" + std::string(err.name != nullptr ? err.name : "no reply");
        dbus_error_free(&err);
        return s;
    }
    std::string sResult = "!no string";
    const char* pcAnswer = nullptr;
    if (dbus_message_get_args(reply, nullptr, DBUS_TYPE_STRING, &pcAnswer, DBUS_TYPE_INVALID))
        sResult = pcAnswer;
    dbus_message_unref(reply);
    return sResult;
}

void BusClient::ListenToSignals()
{
    std::string sRule = std::string("type='signal',interface='") + kInterface + "'";
    dbus_bus_add_match(m_pConn, sRule.c_str(), nullptr);
    dbus_connection_flush(m_pConn);
}

std::string BusClient::WaitSignal(const std::string& sMember, int iMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(iMs);
    while (std::chrono::steady_clock::now() < deadline) {
        dbus_connection_read_write(m_pConn, 50);
        DBusMessage* msg;
        while ((msg = dbus_connection_pop_message(m_pConn)) != nullptr) {
            std::string sFound;
            bool bMatch = dbus_message_is_signal(msg, kInterface, sMember.c_str()) &&
                          dbus_message_has_path(msg, kPath);
            const char* pc = nullptr;
            if (bMatch &&
                dbus_message_get_args(msg, nullptr, DBUS_TYPE_STRING, &pc, DBUS_TYPE_INVALID))
                sFound = pc;
            else
                bMatch = false;
            dbus_message_unref(msg);
            if (bMatch)
                return sFound;
        }
    }
    return "!timeout";
}
