// Real parts for the daemon's tests: a private dbus-daemon, the plinthd
// binary as a child process, a D-Bus client that calls "cmd" and collects
// signals, and free TCP ports.
#pragma once

#include <dbus/dbus.h>
#include <sys/types.h>

#include <deque>
#include <functional>
#include <string>
#include <cstdint>
#include <utility>
#include <vector>

#include <cJSON.h>

namespace plinthd_test
{

// A parsed JSON document, freed with its holder.
struct Json {
    explicit Json(cJSON* p) : json(p) {}
    explicit Json(const std::string& s) : json(cJSON_Parse(s.c_str())) {}
    ~Json() { cJSON_Delete(json); }
    Json(const Json&) = delete;
    Json& operator=(const Json&) = delete;
    cJSON* json;
};

// A temporary directory removed with its contents.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    const std::string& Path() const { return m_sPath; }

private:
    std::string m_sPath;
};

// Permissive bus configuration for functional tests.
std::string PermissiveBusConfig(const std::string& sSocket);

// A dbus-daemon of our own, never the machine's system bus.
class PrivateBus
{
public:
    // Starts a bus from sConfig (written to the temp dir) unless empty, in
    // which case a permissive configuration listening in the temp dir is used.
    explicit PrivateBus(const std::string& sConfig = std::string());
    ~PrivateBus();
    const std::string& Address() const { return m_sAddress; }
    const TempDir& Dir() const { return m_dir; }
    pid_t Pid() const { return m_pid; }

private:
    TempDir m_dir;
    std::string m_sAddress;
    pid_t m_pid = -1;
};

// A libdbus client connection to a private bus.
class BusClient
{
public:
    explicit BusClient(const std::string& sAddress);
    ~BusClient();
    // Calls cmd with the text; returns the reply's string, or "ERROR:<name>".
    std::string Cmd(const std::string& sJson, int iTimeoutMs = 10000);
    // Calls cmd and parses the reply (the caller deletes it); null if not JSON.
    cJSON* CmdJson(const std::string& sJson);
    // Receives signals of the daemon's interface from now on.
    void WatchSignals();
    // Waits for the next signal with this member; false on time-out.
    bool WaitSignal(const std::string& sMember, std::string& sText, int iTimeoutMs);
    // Drops the signals received so far and any that arrive within iMs.
    void DrainSignals(int iMs);
    // Number of queued signals with this member after reading for iMs.
    int CountSignals(const std::string& sMember, int iMs);
    bool NameHasOwner(const std::string& sName);

private:
    void Pump(int iMs);
    DBusConnection* m_pConn = nullptr;
    std::deque<std::pair<std::string, std::string>> m_signals;
};

// The real plinthd binary running as a child process on the given bus.
class DaemonProcess
{
public:
    // pPreExec runs in the child before exec (rlimits, extra descriptors).
    explicit DaemonProcess(const std::string& sBusAddress, std::function<void()> preExec = nullptr);
    ~DaemonProcess();
    pid_t Pid() const { return m_pid; }
    // Waits up to iMs for the process to exit; its exit status, or -1.
    int WaitExit(int iMs);
    bool Alive();
    // Number of open descriptors of the process.
    int OpenDescriptors() const;
    // Resident set size in kB.
    long RssKb() const;

private:
    pid_t m_pid = -1;
    int m_iStatus = -1;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
int FreeTcpPort();

// {"cmd":"init"} text for TCP on 127.0.0.1:iPort with the given tables JSON.
std::string TcpInit(int iPort, const std::string& sTables,
                    const std::string& sListen = "127.0.0.1");

// Reads member sKey of a parsed object as int (INT_MIN when missing).
int JsonInt(const cJSON* pObj, const char* pszKey);
std::string JsonStr(const cJSON* pObj, const char* pszKey);

// A Modbus TCP master on a plain socket, for frames no library would send.
class RawMaster
{
public:
    // iRcvBuf > 0 sets a small receive buffer (a master that does not read).
    explicit RawMaster(int iPort, int iRcvBuf = 0);
    // From the local address sFrom to sTo (IPv4 or IPv6 text) on iPort.
    RawMaster(const std::string& sFrom, const std::string& sTo, int iPort);
    ~RawMaster();
    RawMaster(const RawMaster&) = delete;
    RawMaster& operator=(const RawMaster&) = delete;
    bool Connected() const { return m_iFD >= 0; }
    int Fd() const { return m_iFD; }
    bool Send(const std::vector<uint8_t>& bytes);
    // One answer (MBAP header and PDU); empty when the daemon closed the
    // connection or nothing whole came within iTimeoutMs.
    std::vector<uint8_t> ReadFrame(int iTimeoutMs = 3000);
    // True when the daemon closes the connection within iTimeoutMs (any
    // bytes that arrive meanwhile are dropped).
    bool WaitClosed(int iTimeoutMs);
    // True when nothing arrives and the connection stays open for iMs.
    bool Silent(int iMs);

private:
    int m_iFD = -1;
};

// A Modbus TCP frame: MBAP header (transaction id, protocol id, length) and
// the PDU; iLength < 0 gives the true length (unit id and PDU).
std::vector<uint8_t> Adu(int iTid, const std::vector<uint8_t>& pdu, int iUnit = 1,
                         int iProtocol = 0, int iLength = -1);
// The PDU of a read of holding registers.
std::vector<uint8_t> ReadPdu(int iAddr, int iQuantity, int iFunction = 3);

// Runs a shell command, returns its exit status and captures stdout.
int RunCommand(const std::string& sCmd, std::string* pOut = nullptr);

// Path of the plinthd binary under test.
std::string PlinthdBinary();

} // namespace plinthd_test
