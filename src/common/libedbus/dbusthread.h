#pragma once

#include <atomic>
#include <string>
#include <vector>

#include <cJSON.h>
#include <dbus/dbus.h>

#include "pipethread.h"
#include "plinthdiface.h"

// Service states of a D-Bus service thread.
enum {
    DBUS_UNKNOWN = 0,
    DBUS_IDLE = 1,
    DBUS_READY = 2,
    DBUS_RUN = 3,
    DBUS_STOPPING = 4,
};

// Names of the states in log lines, indexed by state.
extern const char* arState[];

class DBusThread;

// User data handed to libdbus with the watch functions, the filter and the object path.
struct dbus_ctx {
    DBusConnection* conn = nullptr;
    DBusThread* thread = nullptr;
    DBusWatch* extra = nullptr;      // the most recently added enabled watch
    std::vector<DBusWatch*> watches; // every enabled watch
};

struct ProcStatus_t {
    int m_iErr = 0;   // last error of the service's work
    int m_iErrno = 0; // the matching system error number
};

// A CPipeThread serving one object on a private system-bus connection.
//
// The method "cmd" takes one JSON text and answers one JSON text. The base
// filter implements the envelope: the request's "cmd" word is dispatched
// through the state table to the ExecuteCmd* handlers; a handler that leaves
// no result object is answered with {"err":code,"info":""}, one that leaves
// one is answered with that object as it is. Derived threads override the
// handlers (and GetJsonStatus), not the envelope.
class DBusThread : public CPipeThread
{
public:
    DBusThread();
    ~DBusThread() override;

    using CPipeThread::SendCmd;

    // Handles every message libdbus reads; the base answers "cmd".
    virtual DBusHandlerResult DBusFilter(DBusMessage* message, void* data);
    // Method calls on the registered path that the filter left; the base
    // answers the standard introspection call and returns 0 for it, else -1.
    virtual int DBusMessageReceived(DBusMessage* message, void* data);
    // Connects to the system bus, takes the name and registers the path. 0 or -1.
    virtual int InitDBus(const char* pszDestination, const char* szInterface, const char* psPath);
    // Dispatches queued incoming messages until none remains.
    virtual int DBusDispatch();
    // Runs one command word through the state table; returns the error code.
    virtual int ExecuteCmd(const char* pcCmd, cJSON* json, cJSON*& jsonResult);
    virtual int ExecuteCmdStart(const char* pcCmd, cJSON* json, cJSON*& jsonResult);
    virtual int ExecuteCmdInit(const char* pcCmd, cJSON* json, cJSON*& jsonResult);
    virtual int ExecuteCmdSetConfig(const char* pcCmd, cJSON* json, cJSON*& jsonResult);
    virtual int ExecuteCmdUnSetConfig(const char* pcCmd, cJSON* json, cJSON*& jsonResult);
    virtual int ExecuteCmdDeInit(const char* pcCmd, cJSON* json, cJSON*& jsonResult);
    virtual int ExecuteCmdStop(const char* pcCmd, cJSON* json, cJSON*& jsonResult);
    virtual int ExecuteCmdGetStatus(const char* pcCmd, cJSON* json, cJSON*& jsonResult);
    virtual int ExecuteCmdSetLogLevel(const char* pcCmd, cJSON* json, cJSON*& jsonResult);
    virtual int ExecuteCmdOther(const char* pcCmd, cJSON* json, cJSON*& jsonResult);
    // Logs the refused word and returns DBUS_ERR_INVALID_STATE.
    virtual int ReportInvalidState(const char* pcCmd);
    // Creates the status object (the base one is empty).
    virtual int GetJsonStatus(cJSON*& jsonResult);
    virtual std::string GetIntrospectData();
    // Signals; each returns 0 when the signal was queued, else -1.
    virtual int SendStatusSignal();
    virtual int SendStartedSignal();
    virtual int SendStoppedSignal();
    // Calls "cmd" of another service of the family and waits up to 10 s for
    // its answer. Takes ownership of cmd; result (the parsed answer) belongs
    // to the caller. Returns the answer's "err"; -1 when it has none or when no
    // usable answer came (no reply, an error, a reply without a string), so a
    // failed call never reads as success; 109 when the call could not be built.
    virtual int SendCmd(const char* szServiceName, const char* szInterface, cJSON* cmd,
                        cJSON*& result);

    int DescriptorAvailable(int iFD) override;
    int Idle() override;
    int Close() override;

    int GetState() const { return m_DBUSState; }
    // True once the connection to the bus broke (the bus went away or dropped
    // us); the thread then stops by itself.
    bool BusLost() const { return m_bBusLost; }

protected:
    DBusConnection* m_pDBusConn;
    dbus_ctx m_DBusCtx;
    int m_DBUSState;
    ProcStatus_t m_ProcStatus;
    std::string m_sInterface;
    std::string m_psPath;

    // Sends a signal with one string argument (minified JSON); 0 or -1.
    int SendJsonSignal(const char* pszName, cJSON* json, bool bLog);

private:
    // libdbus callbacks
    static dbus_bool_t WatchAdd(DBusWatch* watch, void* data);
    static void WatchRemove(DBusWatch* watch, void* data);
    static void WatchToggle(DBusWatch* watch, void* data);
    static DBusHandlerResult FilterFunction(DBusConnection* conn, DBusMessage* message, void* data);
    static DBusHandlerResult PathMessage(DBusConnection* conn, DBusMessage* message, void* data);
    static void PathUnregister(DBusConnection* conn, void* data);

    // Keeps one wait-list entry per watched descriptor with the union of the
    // events its enabled watches want.
    void SyncWatchDescriptor(int iFD);
    // Drops the connection and everything registered on it.
    void ReleaseDBus();
    // Logs the broken connection once and ends the loop.
    void OnBusLost();
    DBusHandlerResult HandleCmdCall(DBusMessage* message);
    bool m_bPathRegistered = false;
    bool m_bFilterAdded = false;
    std::atomic<bool> m_bBusLost{false};
};

// printf-style formatting into a new string.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// sysfs GPIO helpers (pins of bank A..: "/sys/class/gpio/pio" + bank + index).
void GPOIWriteFile(const std::string& sFile, const std::string& sData);
void GPIOExport(int iGPIONum);
void GPIOExport(const std::string& sFile, int iPin);
void GPIODirection(int iPin, const std::string& sInOut);
void GPIOSetValue(int iPin, int iValue);
// The sysfs directory of a pin, e.g. pin 37 -> "/sys/class/gpio/pioB5".
std::string GPIOPinDirectory(int iPin);
