// Real parts for the daemon's tests: a private dbus-daemon, the plinthd
// binary as a child process, a D-Bus client that calls "cmd" and collects
// signals, and free TCP ports.
#pragma once

#include <dbus/dbus.h>
#include <sys/types.h>

#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <cJSON.h>

namespace plinthd_test
{

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

// Runs a shell command, returns its exit status and captures stdout.
int RunCommand(const std::string& sCmd, std::string* pOut = nullptr);

// Path of the plinthd binary under test.
std::string PlinthdBinary();

} // namespace plinthd_test
