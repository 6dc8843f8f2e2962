#include "commandservice.h"

#include <syslog.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "initdocument.h"
#include "jsonhelpers.h"
#include "log.h"
#include "modbusserver.h"
#include "plinthdjson.h"

#define MODNAME "plinthd"

namespace
{

cJSON* MakeReply(int iErr, const char* pszInfo)
{
    cJSON* pReply = cJSON_CreateObject();
    cJSON_AddNumberToObject(pReply, "err", iErr);
    cJSON_AddStringToObject(pReply, "info", pszInfo ? pszInfo : "");
    return pReply;
}

// The program's build time as "yyyy.mm.dd hh:mm:ss".
std::string BuildDate()
{
    static const char* const s_months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char szMonth[4] = {0};
    int iDay = 0, iYear = 0, iHour = 0, iMin = 0, iSec = 0, iMonth = 0;
    sscanf(__DATE__, "%3s %d %d", szMonth, &iDay, &iYear);
    sscanf(__TIME__, "%d:%d:%d", &iHour, &iMin, &iSec);
    for (int i = 0; i < 12; i++) {
        if (strcmp(szMonth, s_months[i]) == 0)
            iMonth = i + 1;
    }
    char szBuf[64];
    snprintf(szBuf, sizeof(szBuf), "%d.%02d.%02d %02d:%02d:%02d", iYear, iMonth, iDay, iHour, iMin,
             iSec);
    return szBuf;
}

const char* ProtocolName(ModbusType_t eType)
{
    switch (eType) {
    case MBTYPE_RTU:
        return PLINTHD_PROTOCOL_RTU;
    case MBTYPE_TCP:
        return PLINTHD_PROTOCOL_TCP;
    case MBTYPE_TCP_PI:
        return PLINTHD_PROTOCOL_TCPPI;
    default:
        return "undef";
    }
}

} // namespace

// Every word the daemon answers, where it may be used, and what answers it.
// Any other word is unknown (107); a word outside its states is refused
// with 110 before its handler runs.
const DBusCommand_t<CCommandService> CCommandService::s_aCommands[] = {
    {PLINTHD_CMD_START, DBUS_IN_ANY, &CCommandService::CmdStart},
    {PLINTHD_CMD_INIT, DBUS_IN_IDLE, &CCommandService::CmdInit},
    {PLINTHD_CMD_SETCONFIG, DBUS_IN_CONFIGURED, &CCommandService::CmdSetConfig},
    {PLINTHD_CMD_UNSETCONFIG, DBUS_IN_RUN, &CCommandService::CmdUnSetConfig},
    {PLINTHD_CMD_GETSTATUS, DBUS_IN_ANY, &CCommandService::CmdGetStatus},
    {PLINTHD_CMD_DEINIT, DBUS_IN_CONFIGURED, &CCommandService::CmdDeInit},
    {PLINTHD_CMD_STOP, DBUS_IN_IDLE, &CCommandService::CmdStop},
    {PLINTHD_CMD_SETLOGLEVEL, DBUS_IN_ANY, &CCommandService::CmdSetLogLevel},
    {PLINTHD_CMD_GETCONFIG, DBUS_IN_ANY, &CCommandService::CmdGetConfig},
};

CCommandService::CCommandService(CDBusEndpoint& dbus, CModbusServer& server)
    : m_dbus(dbus), m_server(server)
{
}

int CCommandService::ExecuteCmd(const char* pcCmd, cJSON* json, cJSON*& jsonResult)
{
    return DispatchDBusCommand(s_aCommands, *this, m_dbus.GetState(), pcCmd, json, jsonResult);
}

int CCommandService::CmdStart(cJSON*, cJSON*&)
{
    return 0;
}

int CCommandService::CmdInit(cJSON* json, cJSON*& jsonResult)
{
    LogWrite(MODNAME, LOG_INFO, "ExecuteCmdInit");
    std::string sInfo;
    InitDocument_t doc;
    doc.config = m_server.Config();
    int iErr = ParseInitRequest(json, doc, sInfo);
    // What the document named is kept even when it was refused: the status
    // shows the protocol of the last "init".
    m_server.Config() = doc.config;

    CRegisterBlock& regs = m_server.Registers();
    if (iErr == 0) {
        int iLength = CRegisterBlock::ComputeRange(doc.tables);
        LogWrite(MODNAME, LOG_DEBUG, "Register range: addr=0, len=%d", iLength);
        if (iLength < 1) {
            iErr = DBUS_ERR_JSON_ELEMENT;
            sInfo = "Table size must be at least 1";
        } else {
            iErr = regs.Build(iLength, doc.tables, doc.zones, sInfo);
            if (iErr == -1) {
                // No reply text and no status update, as for any allocation failure
                // of the mapping itself.
                LogWrite("MBSRV ", LOG_ERR, "Failed to allocate the mapping: %s", strerror(errno));
                return -1;
            }
        }
    }

    if (iErr == 0) {
        iErr = m_server.OpenInterface();
        if (iErr != 0)
            sInfo = "Can't initialize Modbus interface";
    }

    int iErrno = errno;
    if (iErr == 0) {
        m_dbus.SetState(DBUS_READY);
    } else {
        LogWrite(MODNAME, LOG_WARNING, "init refused: err %d (%s) %s", iErr, PlinthdErrName(iErr),
                 sInfo.c_str());
        // A failed init leaves nothing open or allocated, so a corrected init
        // can follow at once.
        m_server.CloseModbus();
        regs.ReleaseAccess();
    }
    // The work timer is armed by the loop for the next status signal (and
    // the connections' deadlines) once this command has run.
    m_dbus.SetProcStatus(iErr, iErr != 0 ? iErrno : 0);
    jsonResult = MakeReply(iErr, sInfo.c_str());
    return iErr;
}

int CCommandService::CmdSetConfig(cJSON* json, cJSON*& jsonResult)
{
    cJSON* pData = cJSON_GetObjectItemCaseSensitive(json, PLINTHD_KEY_DATA);
    int iErr = 0;
    const char* pszInfo = "";
    if (!cJSON_IsArray(pData)) {
        iErr = DBUS_ERR_JSON_ELEMENT;
        pszInfo = "No dataset def";
    } else {
        cJSON* pEvent = cJSON_GetObjectItemCaseSensitive(json, PLINTHD_KEY_EVENT);
        if (cJSON_IsBool(pEvent))
            m_server.Handler().EnableEvents(cJSON_IsTrue(pEvent));
        cJSON* pSet = nullptr;
        cJSON_ArrayForEach(pSet, pData)
        {
            cJSON* pAddr = cJSON_GetObjectItemCaseSensitive(pSet, PLINTHD_KEY_ADDRESS);
            cJSON* pValues = cJSON_GetObjectItemCaseSensitive(pSet, PLINTHD_KEY_VALUES);
            if (!JsonIsInt(pAddr) || !cJSON_IsArray(pValues)) {
                iErr = DBUS_ERR_JSON_ELEMENT;
                pszInfo = "Invalid/incomplete dataset";
                continue;
            }
            m_server.Registers().StoreValues(JsonInt(pAddr), pValues);
        }
    }
    int iErrno = errno;
    if (iErr == 0)
        m_dbus.SetState(DBUS_RUN);
    m_dbus.SetProcStatus(iErr, iErr != 0 ? iErrno : 0);
    jsonResult = MakeReply(iErr, pszInfo);
    return iErr;
}

int CCommandService::CmdUnSetConfig(cJSON*, cJSON*&)
{
    return 0;
}

int CCommandService::CmdGetConfig(cJSON* json, cJSON*& jsonResult)
{
    cJSON* pZones = cJSON_GetObjectItemCaseSensitive(json, PLINTHD_KEY_ZONES);
    if (!cJSON_IsArray(pZones)) {
        jsonResult = cJSON_CreateObject();
        return DBUS_ERR_JSON_ELEMENT;
    }
    const CRegisterBlock& regs = m_server.Registers();
    RegZoneList_t zones;
    cJSON* pZone = nullptr;
    cJSON_ArrayForEach(pZone, pZones)
    {
        RegZone_t zone;
        int iErr = GetRegZoneFromJson(pZone, zone);
        if (iErr != 0) {
            jsonResult = MakeReply(iErr, "Zone incomplete");
            return iErr;
        }
        // The reply holds one number per register: a length beyond the served
        // range would only pad it with zeros, without bound.
        if (zone.iLength > regs.Length()) {
            jsonResult = MakeReply(DBUS_ERR_JSON_ELEMENT, "Zone length beyond the served range");
            return DBUS_ERR_JSON_ELEMENT;
        }
        zones.push_back(zone);
    }

    cJSON* pResult = cJSON_CreateObject();
    cJSON* pData = cJSON_AddArrayToObject(pResult, PLINTHD_KEY_DATA);
    for (const RegZone_t& zone : zones) {
        cJSON* pItem = cJSON_CreateObject();
        cJSON_AddNumberToObject(pItem, PLINTHD_KEY_ADDRESS, zone.iAddress);
        cJSON* pValues = cJSON_AddArrayToObject(pItem, PLINTHD_KEY_VALUES);
        for (int i = 0; i < zone.iLength; i++) {
            cJSON_AddItemToArray(pValues, cJSON_CreateNumber(regs.BackendValue(
                                              static_cast<long long>(zone.iAddress) + i)));
        }
        cJSON_AddItemToArray(pData, pItem);
    }
    cJSON_AddNumberToObject(pResult, "err", 0);
    cJSON_AddStringToObject(pResult, "info", "");
    jsonResult = pResult;
    return 0;
}

int CCommandService::CmdGetStatus(cJSON*, cJSON*& jsonResult)
{
    return m_dbus.CmdGetStatus(jsonResult);
}

int CCommandService::CmdDeInit(cJSON*, cJSON*&)
{
    m_server.CloseModbus();
    m_dbus.SetProcStatus(0, 0);
    return m_dbus.CmdDeInit();
}

int CCommandService::CmdStop(cJSON*, cJSON*&)
{
    m_server.Registers().ReleaseAccess();
    return m_dbus.CmdStop();
}

int CCommandService::CmdSetLogLevel(cJSON* json, cJSON*&)
{
    return m_dbus.CmdSetLogLevel(json);
}

cJSON* CCommandService::GetJsonStatus()
{
    const ProcStatus_t& status = m_dbus.GetProcStatus();
    const ModbusConfig_t& config = m_server.Config();
    const ModbusStat_t& stat = m_server.Stat();
    cJSON* pStatus = cJSON_CreateObject();
    cJSON_AddNumberToObject(pStatus, "err", status.m_iErr);
    cJSON_AddNumberToObject(pStatus, "errno", status.m_iErrno);
    cJSON_AddStringToObject(pStatus, "info", "");
    cJSON_AddStringToObject(pStatus, PLINTHD_KEY_PROTOCOL, ProtocolName(config.eType));
    if (config.eType == MBTYPE_RTU)
        cJSON_AddNumberToObject(pStatus, PLINTHD_KEY_DEVID, config.rtu.iMbDevId);

    cJSON* pStat = cJSON_AddObjectToObject(pStatus, "stat");
    cJSON_AddNumberToObject(pStat, "rxerror", stat.ErrorRx);
    cJSON_AddNumberToObject(pStat, "txerror", stat.ErrorTx);
    cJSON_AddNumberToObject(pStat, "rxvalid", stat.ValidRx);
    cJSON_AddNumberToObject(pStat, "txvalid", stat.ValidTx);

    // Each master's own counters: one entry per TCP connection, one for
    // the serial line.
    if (m_server.HasClientsInStatus())
        m_server.AddClientsToStatus(cJSON_AddArrayToObject(pStatus, PLINTHD_KEY_CLIENTS));
    m_server.AddLimitsToStatus(pStatus);

    cJSON* pSwInfo = cJSON_AddObjectToObject(pStatus, "swinfo");
    cJSON_AddStringToObject(pSwInfo, "name", "plinthd");
    cJSON_AddStringToObject(pSwInfo, "version", "0.1");
    cJSON_AddStringToObject(pSwInfo, "builddate", BuildDate().c_str());
    cJSON_AddStringToObject(pSwInfo, "git", "undef");
    return pStatus;
}
