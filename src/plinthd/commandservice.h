// plinthd's JSON commands: the table of {command word, allowed states,
// handler}, the handlers, and the status object. The endpoint looks each
// request's word up here; the handlers work on the Modbus server and set the
// endpoint's state and status.
#pragma once

#include <cJSON.h>

#include "dbusendpoint.h"

class CModbusServer;

class CCommandService : public CDBusCommands
{
public:
    CCommandService(CDBusEndpoint& dbus, CModbusServer& server);

    int ExecuteCmd(const char* pcCmd, cJSON* json, cJSON*& jsonResult) override;
    cJSON* GetJsonStatus() override;

private:
    int CmdStart(cJSON* json, cJSON*& jsonResult);
    // Reads the document, builds the register block, opens the interface.
    int CmdInit(cJSON* json, cJSON*& jsonResult);
    int CmdSetConfig(cJSON* json, cJSON*& jsonResult);
    int CmdUnSetConfig(cJSON* json, cJSON*& jsonResult);
    int CmdGetConfig(cJSON* json, cJSON*& jsonResult);
    int CmdGetStatus(cJSON* json, cJSON*& jsonResult);
    int CmdDeInit(cJSON* json, cJSON*& jsonResult);
    int CmdStop(cJSON* json, cJSON*& jsonResult);
    int CmdSetLogLevel(cJSON* json, cJSON*& jsonResult);

    static const DBusCommand_t<CCommandService> s_aCommands[];

    CDBusEndpoint& m_dbus;
    CModbusServer& m_server;
};
