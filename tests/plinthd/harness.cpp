#include "harness.h"

#include <arpa/inet.h>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace plinthd_test
{

TempDir::TempDir()
{
    char szTemplate[] = "/tmp/plinthd-test-XXXXXX";
    if (mkdtemp(szTemplate) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    m_sPath = szTemplate;
    chmod(m_sPath.c_str(), 0755); // other users reach the bus socket
}

TempDir::~TempDir()
{
    std::string sCmd = "rm -rf '" + m_sPath + "'";
    if (system(sCmd.c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", m_sPath.c_str());
}

std::string PermissiveBusConfig(const std::string& sSocket)
{
    return "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig><type>system</type><listen>unix:path=" +
           sSocket +
           "</listen><auth>EXTERNAL</auth>"
           "<policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
           "<allow send_type=\"method_call\"/><allow send_type=\"signal\"/>"
           "<allow send_type=\"method_return\"/><allow send_type=\"error\"/>"
           "<allow receive_type=\"method_call\"/><allow receive_type=\"method_return\"/>"
           "<allow receive_type=\"error\"/><allow receive_type=\"signal\"/></policy></busconfig>\n";
}

PrivateBus::PrivateBus(const std::string& sConfig)
{
    std::string sSocket = m_dir.Path() + "/bus";
    std::string sText = sConfig.empty() ? PermissiveBusConfig(sSocket) : sConfig;
    std::string sFile = m_dir.Path() + "/bus.conf";
    std::ofstream(sFile) << sText;
    std::string sCmd =
        "dbus-daemon --config-file=" + sFile + " --fork --print-pid=1 --print-address=1";
    FILE* pOut = popen(sCmd.c_str(), "r");
    if (pOut == nullptr)
        throw std::runtime_error("cannot start dbus-daemon");
    char szLine[512];
    if (fgets(szLine, sizeof(szLine), pOut) != nullptr) {
        m_sAddress = szLine;
        while (!m_sAddress.empty() && m_sAddress.back() == '\n')
            m_sAddress.pop_back();
    }
    if (fgets(szLine, sizeof(szLine), pOut) != nullptr)
        m_pid = atoi(szLine);
    pclose(pOut);
    if (m_sAddress.empty() || m_pid <= 0)
        throw std::runtime_error("dbus-daemon did not start");
}

PrivateBus::~PrivateBus()
{
    if (m_pid > 0)
        kill(m_pid, SIGTERM);
}

BusClient::BusClient(const std::string& sAddress)
{
    DBusError err;
    dbus_error_init(&err);
    m_pConn = dbus_connection_open_private(sAddress.c_str(), &err);
    if (m_pConn == nullptr || !dbus_bus_register(m_pConn, &err)) {
        std::string sMsg = err.message ? err.message : "?";
        dbus_error_free(&err);
        throw std::runtime_error("cannot connect to the private bus: " + sMsg);
    }
}

BusClient::~BusClient()
{
    dbus_connection_close(m_pConn);
    dbus_connection_unref(m_pConn);
}

std::string BusClient::Cmd(const std::string& sJson, int iTimeoutMs)
{
    DBusMessage* pMsg = dbus_message_new_method_call("vox.tessal.plinthd", "/vox/tessal",
                                                     "vox.tessal.modbusserver", "cmd");
    const char* psz = sJson.c_str();
    dbus_message_append_args(pMsg, DBUS_TYPE_STRING, &psz, DBUS_TYPE_INVALID);
    DBusError callErr;
    dbus_error_init(&callErr);
    // Signals that arrive before the reply stay queued for WaitSignal.
    DBusMessage* pReply =
        dbus_connection_send_with_reply_and_block(m_pConn, pMsg, iTimeoutMs, &callErr);
    dbus_message_unref(pMsg);
    if (pReply == nullptr) {
        std::string sErr = std::string("ERROR:") + (callErr.name ? callErr.name : "noreply");
        dbus_error_free(&callErr);
        return sErr;
    }
    std::string sResult;
    if (pReply == nullptr)
        return "ERROR:noreply";
    if (dbus_message_get_type(pReply) == DBUS_MESSAGE_TYPE_ERROR) {
        sResult = std::string("ERROR:") + dbus_message_get_error_name(pReply);
    } else {
        const char* pszText = nullptr;
        DBusError err;
        dbus_error_init(&err);
        if (dbus_message_get_args(pReply, &err, DBUS_TYPE_STRING, &pszText, DBUS_TYPE_INVALID)) {
            sResult = pszText;
        } else {
            sResult = "ERROR:args";
            dbus_error_free(&err);
        }
    }
    dbus_message_unref(pReply);
    return sResult;
}

cJSON* BusClient::CmdJson(const std::string& sJson)
{
    return cJSON_Parse(Cmd(sJson).c_str());
}

void BusClient::WatchSignals()
{
    dbus_bus_add_match(m_pConn, "type='signal',interface='vox.tessal.modbusserver'", nullptr);
    dbus_connection_flush(m_pConn);
}

void BusClient::Pump(int iMs)
{
    dbus_connection_read_write(m_pConn, iMs);
    while (DBusMessage* pMsg = dbus_connection_pop_message(m_pConn)) {
        if (dbus_message_get_type(pMsg) == DBUS_MESSAGE_TYPE_SIGNAL &&
            strcmp(dbus_message_get_interface(pMsg) ? dbus_message_get_interface(pMsg) : "",
                   "vox.tessal.modbusserver") == 0) {
            const char* pszText = nullptr;
            DBusError err;
            dbus_error_init(&err);
            if (dbus_message_get_args(pMsg, &err, DBUS_TYPE_STRING, &pszText, DBUS_TYPE_INVALID)) {
                m_signals.emplace_back(dbus_message_get_member(pMsg), pszText);
            } else {
                dbus_error_free(&err);
            }
        }
        dbus_message_unref(pMsg);
    }
}

bool BusClient::WaitSignal(const std::string& sMember, std::string& sText, int iTimeoutMs)
{
    auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(iTimeoutMs);
    for (;;) {
        for (auto it = m_signals.begin(); it != m_signals.end(); ++it) {
            if (it->first == sMember) {
                sText = it->second;
                m_signals.erase(it);
                return true;
            }
        }
        if (std::chrono::steady_clock::now() >= tEnd)
            return false;
        Pump(20);
    }
}

void BusClient::DrainSignals(int iMs)
{
    auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(iMs);
    do {
        Pump(10);
    } while (std::chrono::steady_clock::now() < tEnd);
    m_signals.clear();
}

int BusClient::CountSignals(const std::string& sMember, int iMs)
{
    auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(iMs);
    do {
        Pump(10);
    } while (std::chrono::steady_clock::now() < tEnd);
    int iCount = 0;
    for (const auto& s : m_signals)
        iCount += s.first == sMember;
    return iCount;
}

bool BusClient::NameHasOwner(const std::string& sName)
{
    DBusError err;
    dbus_error_init(&err);
    bool bHas = dbus_bus_name_has_owner(m_pConn, sName.c_str(), &err);
    dbus_error_free(&err);
    return bHas;
}

std::string PlinthdBinary()
{
    return PLINTHD_BINARY;
}

DaemonProcess::DaemonProcess(const std::string& sBusAddress, std::function<void()> preExec)
{
    m_pid = fork();
    if (m_pid == 0) {
        // A test that dies must not leave a daemon behind.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        setenv("DBUS_SYSTEM_BUS_ADDRESS", sBusAddress.c_str(), 1);
        int iNull = open("/dev/null", O_WRONLY);
        if (iNull >= 0)
            dup2(iNull, 2); // "New table" lines are not needed here
        if (preExec)
            preExec();
        execl(PLINTHD_BINARY, "plinthd", static_cast<char*>(nullptr));
        _exit(127);
    }
    // Ready once it owns its name.
    BusClient client(sBusAddress);
    for (int i = 0; i < 500; i++) {
        if (client.NameHasOwner("vox.tessal.plinthd"))
            return;
        if (!Alive())
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    throw std::runtime_error("plinthd did not take its bus name");
}

DaemonProcess::~DaemonProcess()
{
    if (Alive()) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
}

bool DaemonProcess::Alive()
{
    if (m_iStatus != -1)
        return false;
    int iStatus = 0;
    pid_t r = waitpid(m_pid, &iStatus, WNOHANG);
    if (r == m_pid) {
        m_iStatus = WIFEXITED(iStatus) ? WEXITSTATUS(iStatus) : 128 + WTERMSIG(iStatus);
        return false;
    }
    return true;
}

int DaemonProcess::WaitExit(int iMs)
{
    for (int i = 0; i < iMs / 10; i++) {
        if (!Alive())
            return m_iStatus;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return Alive() ? -1 : m_iStatus;
}

// One listing of the daemon's descriptor table.
static int CountDescriptors(const std::string& sDir)
{
    DIR* pDir = opendir(sDir.c_str());
    if (pDir == nullptr)
        return -1;
    int iCount = 0;
    for (;;) {
        errno = 0;
        const dirent* pEnt = readdir(pDir);
        if (pEnt == nullptr) {
            if (errno != 0)
                iCount = -1; // a listing cut short is no count
            break;
        }
        if (pEnt->d_name[0] != '.')
            iCount++;
    }
    closedir(pDir);
    return iCount;
}

int DaemonProcess::OpenDescriptors() const
{
    // The count once it holds still: under qemu-user the table also holds the
    // emulator's own short-lived descriptors, which would make one listing
    // differ from the next without the daemon opening or closing anything.
    const std::string sDir = "/proc/" + std::to_string(m_pid) + "/fd";
    int iLast = CountDescriptors(sDir);
    for (int i = 0; i < 50; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const int iNow = CountDescriptors(sDir);
        if (iNow == iLast)
            return iNow;
        iLast = iNow;
    }
    return iLast;
}

long DaemonProcess::RssKb() const
{
    std::ifstream status("/proc/" + std::to_string(m_pid) + "/status");
    std::string sLine;
    while (std::getline(status, sLine)) {
        if (sLine.rfind("VmRSS:", 0) == 0)
            return atol(sLine.c_str() + 6);
    }
    return -1;
}

int FreeTcpPort()
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    socklen_t len = sizeof(addr);
    getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    close(s);
    return ntohs(addr.sin_port);
}

std::string TcpInit(int iPort, const std::string& sTables, const std::string& sListen)
{
    return "{\"cmd\":\"init\",\"protocol\":\"tcp\",\"delay\":0,\"tcp\":{\"listen\":\"" + sListen +
           "\",\"port\":" + std::to_string(iPort) + "},\"tables\":" + sTables + "}";
}

int JsonInt(const cJSON* pObj, const char* pszKey)
{
    const cJSON* p = cJSON_GetObjectItemCaseSensitive(pObj, pszKey);
    return cJSON_IsNumber(p) ? p->valueint : INT_MIN;
}

std::string JsonStr(const cJSON* pObj, const char* pszKey)
{
    const cJSON* p = cJSON_GetObjectItemCaseSensitive(pObj, pszKey);
    return cJSON_IsString(p) ? p->valuestring : std::string("<missing>");
}

RawMaster::RawMaster(int iPort, int iRcvBuf)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (iRcvBuf > 0)
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &iRcvBuf, sizeof(iRcvBuf));
    int iOne = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &iOne, sizeof(iOne));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(iPort));
    if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(s);
        return;
    }
    m_iFD = s;
}

RawMaster::RawMaster(const std::string& sFrom, const std::string& sTo, int iPort)
{
    sockaddr_storage from{}, to{};
    socklen_t len = 0;
    auto fill = [&](const std::string& sAddr, sockaddr_storage& addr, int iP) {
        sockaddr_in* pIn = reinterpret_cast<sockaddr_in*>(&addr);
        sockaddr_in6* pIn6 = reinterpret_cast<sockaddr_in6*>(&addr);
        if (inet_pton(AF_INET, sAddr.c_str(), &pIn->sin_addr) == 1) {
            pIn->sin_family = AF_INET;
            pIn->sin_port = htons(static_cast<uint16_t>(iP));
            len = sizeof(sockaddr_in);
            return true;
        }
        if (inet_pton(AF_INET6, sAddr.c_str(), &pIn6->sin6_addr) == 1) {
            pIn6->sin6_family = AF_INET6;
            pIn6->sin6_port = htons(static_cast<uint16_t>(iP));
            len = sizeof(sockaddr_in6);
            return true;
        }
        return false;
    };
    if (!fill(sFrom, from, 0) || !fill(sTo, to, iPort) || from.ss_family != to.ss_family)
        return;
    int s = socket(to.ss_family, SOCK_STREAM, 0);
    int iOne = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &iOne, sizeof(iOne));
    if (bind(s, reinterpret_cast<sockaddr*>(&from), len) != 0 ||
        connect(s, reinterpret_cast<sockaddr*>(&to), len) != 0) {
        close(s);
        return;
    }
    m_iFD = s;
}

RawMaster::~RawMaster()
{
    if (m_iFD >= 0)
        close(m_iFD);
}

bool RawMaster::Send(const std::vector<uint8_t>& bytes)
{
    size_t uiSent = 0;
    while (uiSent < bytes.size()) {
        ssize_t n = send(m_iFD, bytes.data() + uiSent, bytes.size() - uiSent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        uiSent += static_cast<size_t>(n);
    }
    return true;
}

// Reads exactly uiLen bytes unless the deadline passes or the peer closes.
static bool ReadExactly(int iFD, uint8_t* p, size_t uiLen,
                        std::chrono::steady_clock::time_point tEnd)
{
    size_t uiGot = 0;
    while (uiGot < uiLen) {
        int iLeft = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         tEnd - std::chrono::steady_clock::now())
                                         .count());
        pollfd pfd = {iFD, POLLIN, 0};
        if (iLeft <= 0 || poll(&pfd, 1, iLeft) != 1)
            return false;
        ssize_t n = recv(iFD, p + uiGot, uiLen - uiGot, 0);
        if (n <= 0)
            return false;
        uiGot += static_cast<size_t>(n);
    }
    return true;
}

std::vector<uint8_t> RawMaster::ReadFrame(int iTimeoutMs)
{
    auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(iTimeoutMs);
    std::vector<uint8_t> frame(7);
    if (!ReadExactly(m_iFD, frame.data(), 7, tEnd))
        return {};
    size_t uiLength = static_cast<size_t>((frame[4] << 8) | frame[5]);
    if (uiLength < 1)
        return frame;
    frame.resize(6 + uiLength);
    if (!ReadExactly(m_iFD, frame.data() + 7, uiLength - 1, tEnd))
        return {};
    return frame;
}

bool RawMaster::WaitClosed(int iTimeoutMs)
{
    auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(iTimeoutMs);
    for (;;) {
        int iLeft = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         tEnd - std::chrono::steady_clock::now())
                                         .count());
        pollfd pfd = {m_iFD, POLLIN, 0};
        if (iLeft <= 0 || poll(&pfd, 1, iLeft) != 1)
            return false;
        uint8_t buf[512];
        ssize_t n = recv(m_iFD, buf, sizeof(buf), 0);
        if (n <= 0)
            return true;
    }
}

bool RawMaster::Silent(int iMs)
{
    pollfd pfd = {m_iFD, POLLIN, 0};
    return poll(&pfd, 1, iMs) == 0;
}

std::vector<uint8_t> Adu(int iTid, const std::vector<uint8_t>& pdu, int iUnit, int iProtocol,
                         int iLength)
{
    int iLen = iLength >= 0 ? iLength : static_cast<int>(pdu.size()) + 1;
    const int header[] = {iTid >> 8, iTid, iProtocol >> 8, iProtocol, iLen >> 8, iLen, iUnit};
    std::vector<uint8_t> adu;
    adu.reserve(7 + pdu.size());
    for (int b : header)
        adu.push_back(static_cast<uint8_t>(b));
    for (uint8_t b : pdu)
        adu.push_back(b);
    return adu;
}

std::vector<uint8_t> ReadPdu(int iAddr, int iQuantity, int iFunction)
{
    return {static_cast<uint8_t>(iFunction), static_cast<uint8_t>(iAddr >> 8),
            static_cast<uint8_t>(iAddr), static_cast<uint8_t>(iQuantity >> 8),
            static_cast<uint8_t>(iQuantity)};
}

int RunCommand(const std::string& sCmd, std::string* pOut)
{
    FILE* p = popen(sCmd.c_str(), "r");
    if (p == nullptr)
        return -1;
    std::string sOut;
    char szBuf[4096];
    size_t n;
    while ((n = fread(szBuf, 1, sizeof(szBuf), p)) > 0)
        sOut.append(szBuf, n);
    int iStatus = pclose(p);
    if (pOut)
        *pOut = sOut;
    return WIFEXITED(iStatus) ? WEXITSTATUS(iStatus) : -1;
}

} // namespace plinthd_test
