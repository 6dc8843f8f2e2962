#pragma once
// Test harness: a private dbus-daemon acting as the system bus, a capture of
// the log lines, a libdbus client and a runner for dbus-send / gdbus.

#include <dbus/dbus.h>
#include <string>
#include <sys/types.h>
#include <vector>

// A dbus-daemon of type "system" on a socket in a temporary directory; the
// process's DBUS_SYSTEM_BUS_ADDRESS points at it while it runs. The daemon
// is killed by Stop or the destructor, whatever the test's outcome.
class PrivateBus
{
public:
    PrivateBus() = default;
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;
    ~PrivateBus() { Stop(); }

    // extraPolicy is inserted into the default policy (e.g. a deny rule).
    bool Start(const std::string& extraPolicy = "");
    void Stop();
    // Kills the bus daemon at once (SIGKILL), as a crash would, and waits until
    // it is gone; the clients' connections break under them.
    void Kill();
    const std::string& Address() const { return m_sAddress; }

private:
    std::string m_sDir;
    std::string m_sAddress;
    pid_t m_pid = -1;
};

// Log lines seen by the test sink (thread-safe).
namespace LogCapture
{
void Install(bool bKeepLines = true);
void Clear();
std::vector<std::string> Lines();
bool Contains(const std::string& sLine);
// Waits up to iMs for a line; true when seen.
bool WaitFor(const std::string& sLine, int iMs = 5000);
size_t Count();
} // namespace LogCapture

struct CommandResult {
    int iStatus = -1;    // exit status, -1 when it did not exit normally
    std::string sOutput; // stdout and stderr together
};

// Runs a shell command line and collects its output.
CommandResult RunCommand(const std::string& sCommand);
// Quotes a text for the shell (single quotes).
std::string ShellQuote(const std::string& s);
// dbus-send call of method cmd with one string argument; returns the reply text
// (the string of "method return"), or the raw output prefixed with "!" on failure.
std::string DbusSendCmd(const std::string& sJson);

// A libdbus client connection to the private bus.
class BusClient
{
public:
    BusClient();
    ~BusClient();
    bool Connected() const { return m_pConn != nullptr; }
    DBusConnection* Conn() { return m_pConn; }
    // Calls cmd and returns the reply string ("!" + error name on failure).
    std::string Cmd(const std::string& sJson, int iTimeoutMs = 5000);
    // Subscribes to the service's signals.
    void ListenToSignals();
    // Waits for the next signal with this member; returns its string argument
    // or "!timeout".
    std::string WaitSignal(const std::string& sMember, int iMs = 5000);

private:
    DBusConnection* m_pConn = nullptr;
};

extern const char* const kService;
extern const char* const kInterface;
extern const char* const kPath;
