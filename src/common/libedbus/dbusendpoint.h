// One object served on a private system-bus connection: the bus name, the
// object path, the method "cmd" with its JSON envelope, the service state
// and the signals. Not a thread: the loop that owns it feeds it the bus
// connection's descriptors (CDBusLoop), and a command table answers the
// words (CDBusCommands).
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include <cJSON.h>
#include <dbus/dbus.h>

#include "dbuscommand.h"
#include "plinthdiface.h"

class CDBusEndpoint;

struct ProcStatus_t {
    int m_iErr = 0;   // last error of the service's work
    int m_iErrno = 0; // the matching system error number
};

// What an endpoint needs of the poll loop that serves it.
class CDBusLoop
{
public:
    virtual ~CDBusLoop() = default;
    // Adds iFD to the wait list; RET_OK or RET_ERROR.
    virtual int WatchDescriptor(int iFD, short sEvents) = 0;
    // Removes one wait-list entry of iFD; RET_ERROR when there is none.
    virtual int UnwatchDescriptor(int iFD) = 0;
    // What the last poll saw on iFD.
    virtual short ReadyEvents(int iFD) const = 0;
    // Ends the loop after the current round.
    virtual void EndLoop() = 0;
};

// Answers the command words of the method "cmd".
class CDBusCommands
{
public:
    virtual ~CDBusCommands() = default;
    // Runs one word through the service's command table (its state rule
    // first); returns the "err" code.
    virtual int ExecuteCmd(const char* pcCmd, cJSON* json, cJSON*& jsonResult) = 0;
    // Creates the status object of "getstatus" and of the status signal;
    // the endpoint adds "procstate".
    virtual cJSON* GetJsonStatus() = 0;
};

// User data handed to libdbus with the watch functions, the filter and the object path.
struct dbus_ctx {
    DBusConnection* conn = nullptr;
    CDBusEndpoint* endpoint = nullptr;
    DBusWatch* extra = nullptr;      // the most recently added enabled watch
    std::vector<DBusWatch*> watches; // every enabled watch
};

class CDBusEndpoint
{
public:
    explicit CDBusEndpoint(CDBusLoop& loop);
    ~CDBusEndpoint();
    CDBusEndpoint(const CDBusEndpoint&) = delete;
    CDBusEndpoint& operator=(const CDBusEndpoint&) = delete;

    // The table that answers "cmd"; without one every word is unknown (107).
    void SetCommands(CDBusCommands* pCommands) { m_pCommands = pCommands; }

    // Connects to the system bus, takes the name and registers the path. 0 or -1.
    int Init(const char* pszDestination, const char* szInterface, const char* psPath);
    // Drops the connection and everything registered on it.
    void Release();

    // Dispatches queued incoming messages until none remains.
    int Dispatch();
    // Dispatches what is queued, then serves iFD when it is one of the bus
    // connection's descriptors: true. False for any other descriptor.
    bool Serve(int iFD);
    // Once per round of the loop: what is queued is dispatched, and a broken
    // connection ends the loop.
    void Idle();

    DBusConnection* Connection() const { return m_pDBusConn; }
    // The connection pointer itself, for a thread that sends on it.
    DBusConnection* const& ConnectionRef() const { return m_pDBusConn; }
    // True once the connection to the bus broke (the bus went away or dropped
    // us); the loop has been ended.
    bool BusLost() const { return m_bBusLost; }

    int GetState() const { return m_DBUSState; }
    void SetState(int iState) { m_DBUSState = iState; }
    const ProcStatus_t& GetProcStatus() const { return m_ProcStatus; }
    void SetProcStatus(int iErr, int iErrno)
    {
        m_ProcStatus.m_iErr = iErr;
        m_ProcStatus.m_iErrno = iErrno;
    }

    // What every service's commands do in common, for the command tables.
    // "getstatus": the status object with "procstate". 0.
    int CmdGetStatus(cJSON*& jsonResult);
    // "setloglevel": the number "level", else 108.
    int CmdSetLogLevel(cJSON* json);
    // "deinit": state Idle, logged. 0.
    int CmdDeInit();
    // "stop": state Stopping, the loop ends after this round, "stopped" is sent. 0.
    int CmdStop();

    // Signals; each returns 0 when the signal was queued, else -1.
    int SendStatusSignal();
    int SendStartedSignal();
    int SendStoppedSignal();
    // Calls "cmd" of another service of the family and waits up to 10 s for
    // its answer. Takes ownership of cmd; result (the parsed answer) belongs
    // to the caller. Returns the answer's "err"; -1 when it has none or when no
    // usable answer came (no reply, an error, a reply without a string), so a
    // failed call never reads as success; 109 when the call could not be built.
    int SendCmd(const char* szServiceName, const char* szInterface, cJSON* cmd, cJSON*& result);
    // The introspection document of the object.
    std::string GetIntrospectData() const;

private:
    // libdbus callbacks
    static dbus_bool_t WatchAdd(DBusWatch* watch, void* data);
    static void WatchRemove(DBusWatch* watch, void* data);
    static void WatchToggle(DBusWatch* watch, void* data);
    static DBusHandlerResult FilterFunction(DBusConnection* conn, DBusMessage* message, void* data);
    static DBusHandlerResult PathMessage(DBusConnection* conn, DBusMessage* message, void* data);
    static void PathUnregister(DBusConnection* conn, void* data);

    // Handles every message libdbus reads: the method "cmd".
    DBusHandlerResult Filter(DBusMessage* message);
    // Method calls on the registered path that the filter left: the standard
    // introspection call is answered (0), anything else is left (-1).
    int PathMessageReceived(DBusMessage* message);
    // Keeps one wait-list entry per watched descriptor with the union of the
    // events its enabled watches want.
    void SyncWatchDescriptor(int iFD);
    // Logs the broken connection once and ends the loop.
    void OnBusLost();
    DBusHandlerResult HandleCmdCall(DBusMessage* message);
    // Sends a signal with one string argument (minified JSON); 0 or -1.
    int SendJsonSignal(const char* pszName, cJSON* json, bool bLog);

    CDBusLoop& m_loop;
    CDBusCommands* m_pCommands = nullptr;
    DBusConnection* m_pDBusConn = nullptr;
    dbus_ctx m_DBusCtx;
    int m_DBUSState = DBUS_IDLE;
    ProcStatus_t m_ProcStatus;
    std::string m_sInterface;
    std::string m_psPath;
    bool m_bPathRegistered = false;
    bool m_bFilterAdded = false;
    std::atomic<bool> m_bBusLost{false};
};
