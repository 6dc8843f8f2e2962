#pragma once

#include <string>

#include <cJSON.h>
#include <dbus/dbus.h>

#include "dbuscommand.h"
#include "dbusendpoint.h"
#include "pipethread.h"
#include "plinthdiface.h"

// A CPipeThread serving one D-Bus object: its poll loop serves a
// CDBusEndpoint, and the endpoint's command words are the common ones
// ("start", "init", "setconfig", "unsetconfig", "getstatus", "deinit",
// "stop", "setloglevel") with no work of their own beyond the state
// changes. A daemon with commands of its own composes a CDBusEndpoint with
// its own table instead (plinthd's CModBusServerThread).
class DBusThread : public CPipeThread, private CDBusLoop, private CDBusCommands
{
public:
    DBusThread();
    ~DBusThread() override;

    using CPipeThread::SendCmd;

    // Connects to the system bus, takes the name and registers the path. 0 or -1.
    int InitDBus(const char* pszDestination, const char* szInterface, const char* psPath)
    {
        return m_dbus.Init(pszDestination, szInterface, psPath);
    }
    // Dispatches queued incoming messages until none remains.
    int DBusDispatch() { return m_dbus.Dispatch(); }
    // Signals; each returns 0 when the signal was queued, else -1.
    int SendStatusSignal() { return m_dbus.SendStatusSignal(); }
    int SendStartedSignal() { return m_dbus.SendStartedSignal(); }
    int SendStoppedSignal() { return m_dbus.SendStoppedSignal(); }
    // Calls "cmd" of another service of the family (CDBusEndpoint::SendCmd).
    int SendCmd(const char* szServiceName, const char* szInterface, cJSON* cmd, cJSON*& result)
    {
        return m_dbus.SendCmd(szServiceName, szInterface, cmd, result);
    }

    // The bus connection's descriptors go to the endpoint, the rest to the pipe.
    int DescriptorAvailable(int iFD) override;
    int Idle() override;
    int Close() override;

    int GetState() const { return m_dbus.GetState(); }
    // True once the connection to the bus broke; the thread then stops by itself.
    bool BusLost() const { return m_dbus.BusLost(); }

protected:
    CDBusEndpoint m_dbus;
    // The endpoint's connection (null before InitDBus and after Close), for
    // a derived thread that sends on it.
    DBusConnection* const& m_pDBusConn;

private:
    // CDBusLoop: the endpoint's descriptors in this thread's wait list.
    int WatchDescriptor(int iFD, short sEvents) override;
    int UnwatchDescriptor(int iFD) override;
    short ReadyEvents(int iFD) const override;
    void EndLoop() override;

    // CDBusCommands: the common table.
    int ExecuteCmd(const char* pcCmd, cJSON* json, cJSON*& jsonResult) override;
    cJSON* GetJsonStatus() override;
    int CmdStart(cJSON* json, cJSON*& jsonResult);
    int CmdInit(cJSON* json, cJSON*& jsonResult);
    int CmdSetConfig(cJSON* json, cJSON*& jsonResult);
    int CmdUnSetConfig(cJSON* json, cJSON*& jsonResult);
    int CmdGetStatus(cJSON* json, cJSON*& jsonResult);
    int CmdDeInit(cJSON* json, cJSON*& jsonResult);
    int CmdStop(cJSON* json, cJSON*& jsonResult);
    int CmdSetLogLevel(cJSON* json, cJSON*& jsonResult);
    static const DBusCommand_t<DBusThread> s_aCommands[];
};

// printf-style formatting into a new string.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
