#include "dbusthread.h"

#include <cstdarg>
#include <cstdio>

#include "plinthdjson.h"

const DBusCommand_t<DBusThread> DBusThread::s_aCommands[] = {
    {PLINTHD_CMD_START, DBUS_IN_ANY, &DBusThread::CmdStart},
    {PLINTHD_CMD_INIT, DBUS_IN_IDLE, &DBusThread::CmdInit},
    {PLINTHD_CMD_SETCONFIG, DBUS_IN_CONFIGURED, &DBusThread::CmdSetConfig},
    {PLINTHD_CMD_UNSETCONFIG, DBUS_IN_RUN, &DBusThread::CmdUnSetConfig},
    {PLINTHD_CMD_GETSTATUS, DBUS_IN_ANY, &DBusThread::CmdGetStatus},
    {PLINTHD_CMD_DEINIT, DBUS_IN_CONFIGURED, &DBusThread::CmdDeInit},
    {PLINTHD_CMD_STOP, DBUS_IN_IDLE, &DBusThread::CmdStop},
    {PLINTHD_CMD_SETLOGLEVEL, DBUS_IN_ANY, &DBusThread::CmdSetLogLevel},
};

DBusThread::DBusThread() : m_dbus(*this), m_pDBusConn(m_dbus.ConnectionRef())
{
    m_dbus.SetCommands(this);
}

DBusThread::~DBusThread()
{
    m_dbus.Release();
}

int DBusThread::Close()
{
    m_dbus.Release();
    return CPipeThread::Close();
}

int DBusThread::DescriptorAvailable(int iFD)
{
    if (m_dbus.Serve(iFD))
        return RET_OK;
    return CPipeThread::DescriptorAvailable(iFD);
}

int DBusThread::Idle()
{
    m_dbus.Idle();
    return RET_OK;
}

int DBusThread::WatchDescriptor(int iFD, short sEvents)
{
    return AddWaitDescriptor(iFD, sEvents);
}

int DBusThread::UnwatchDescriptor(int iFD)
{
    return RemoveWaitDescriptor(iFD);
}

short DBusThread::ReadyEvents(int iFD) const
{
    return GetReturnedEvents(iFD);
}

void DBusThread::EndLoop()
{
    m_bRun = false;
}

int DBusThread::ExecuteCmd(const char* pcCmd, cJSON* json, cJSON*& jsonResult)
{
    return DispatchDBusCommand(s_aCommands, *this, m_dbus.GetState(), pcCmd, json, jsonResult);
}

cJSON* DBusThread::GetJsonStatus()
{
    return cJSON_CreateObject();
}

int DBusThread::CmdStart(cJSON*, cJSON*&)
{
    return RET_OK;
}

int DBusThread::CmdInit(cJSON*, cJSON*&)
{
    m_dbus.SetState(DBUS_READY);
    return RET_OK;
}

int DBusThread::CmdSetConfig(cJSON*, cJSON*&)
{
    m_dbus.SetState(DBUS_RUN);
    return RET_OK;
}

int DBusThread::CmdUnSetConfig(cJSON*, cJSON*&)
{
    return RET_OK;
}

int DBusThread::CmdGetStatus(cJSON*, cJSON*& jsonResult)
{
    return m_dbus.CmdGetStatus(jsonResult);
}

int DBusThread::CmdDeInit(cJSON*, cJSON*&)
{
    return m_dbus.CmdDeInit();
}

int DBusThread::CmdStop(cJSON*, cJSON*&)
{
    return m_dbus.CmdStop();
}

int DBusThread::CmdSetLogLevel(cJSON* json, cJSON*&)
{
    return m_dbus.CmdSetLogLevel(json);
}

// ---------------------------------------------------------------------------
// Free helpers

std::string format(const char* fmt, ...)
{
    if (fmt == nullptr)
        return std::string();
    va_list args;
    va_start(args, fmt);
    va_list copy;
    va_copy(copy, args);
    int iLen = vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string s;
    if (iLen > 0) {
        s.resize(static_cast<size_t>(iLen) + 1);
        vsnprintf(&s[0], s.size(), fmt, args);
        s.resize(static_cast<size_t>(iLen));
    }
    va_end(args);
    return s;
}
