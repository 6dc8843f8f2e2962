#include "initdocument.h"

#include <syslog.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "jsonhelpers.h"
#include "log.h"
#include "plinthdiface.h"
#include "plinthdjson.h"
#include "servinglimits.h"

#define MODNAME "plinthd"

namespace
{

int Refuse(std::string& sInfo, const char* pszInfo)
{
    sInfo = pszInfo;
    return DBUS_ERR_JSON_ELEMENT;
}

int ParseRtu(const cJSON* pParams, ModbusRtuConfig_t& rtu, std::string& sInfo)
{
    const cJSON* pDevId = cJSON_GetObjectItemCaseSensitive(pParams, PLINTHD_KEY_DEVID);
    const cJSON* pBaud = cJSON_GetObjectItemCaseSensitive(pParams, PLINTHD_KEY_BAUD);
    const cJSON* pPort = cJSON_GetObjectItemCaseSensitive(pParams, PLINTHD_KEY_PORT);
    const cJSON* pMode = cJSON_GetObjectItemCaseSensitive(pParams, PLINTHD_KEY_MODE);
    if (!JsonIsInt(pDevId) || !JsonIsInt(pBaud) || !cJSON_IsString(pPort))
        return Refuse(sInfo, "Incomplete or invalid RTU config");
    int iData = 0, iStop = 0;
    char cParity = 0;
    if (!cJSON_IsString(pMode) ||
        sscanf(pMode->valuestring, "%d%c%d", &iData, &cParity, &iStop) != 3)
        return Refuse(sInfo, "Invalid format of UART mode");
    cParity = static_cast<char>(tolower(static_cast<unsigned char>(cParity)));
    if (cParity != 'n' && cParity != 'e' && cParity != 'o')
        return Refuse(sInfo, "Invalid UART parity specifier");
    rtu.iMbDevId = JsonInt(pDevId);
    rtu.iBaudrate = JsonInt(pBaud);
    rtu.sDevice = pPort->valuestring;
    rtu.iDataBits = iData;
    rtu.cParity = cParity;
    rtu.iStopBits = iStop;
    return 0;
}

int ParseTcp(const cJSON* pParams, ModbusTcpConfig_t& tcp, std::string& sInfo)
{
    const cJSON* pListen = cJSON_GetObjectItemCaseSensitive(pParams, PLINTHD_KEY_LISTEN);
    const cJSON* pPort = cJSON_GetObjectItemCaseSensitive(pParams, PLINTHD_KEY_PORT);
    // A port number outside 1..65535 would be cut to 16 bits and the daemon
    // would listen on some other port. Port 0: the secure port alone (its
    // "tls" member is read with the optional keys).
    const int iLowest =
        cJSON_IsObject(cJSON_GetObjectItemCaseSensitive(pParams, PLINTHD_KEY_TLS)) ? 0 : 1;
    if (!cJSON_IsString(pListen) || !JsonIsInt(pPort) || JsonInt(pPort) < iLowest ||
        JsonInt(pPort) > 65535)
        return Refuse(sInfo, "Incomplete or invalid TCP config");
    tcp.sListen = pListen->valuestring;
    tcp.iPort = JsonInt(pPort);
    return 0;
}

int ParseTcpPi(const cJSON* pParams, ModbusTcpPiConfig_t& tcppi, std::string& sInfo)
{
    const cJSON* pListen = cJSON_GetObjectItemCaseSensitive(pParams, PLINTHD_KEY_LISTEN);
    const cJSON* pPort = cJSON_GetObjectItemCaseSensitive(pParams, PLINTHD_KEY_PORT);
    if (!cJSON_IsString(pListen) || !cJSON_IsString(pPort))
        return Refuse(sInfo, "Incomplete or invalid TCP-PI config");
    tcppi.sListen = pListen->valuestring;
    tcppi.sService = pPort->valuestring;
    return 0;
}

} // namespace

int ParseInitRequest(const cJSON* json, InitDocument_t& doc, std::string& sInfo)
{
    int iErr = CheckInitMembers(json, sInfo);
    if (iErr == 0)
        iErr = ParseInitInterface(json, doc.config, sInfo);
    if (iErr == 0)
        iErr = ParseInitTables(cJSON_GetObjectItemCaseSensitive(json, PLINTHD_KEY_TABLES),
                               doc.tables, doc.zones, sInfo);
    if (iErr == 0)
        iErr = ParseInitOptions(json, doc, sInfo);
    return iErr;
}

int CheckInitMembers(const cJSON* json, std::string& sInfo)
{
    if (!cJSON_IsString(cJSON_GetObjectItemCaseSensitive(json, PLINTHD_KEY_PROTOCOL)))
        return Refuse(sInfo, "Protocol is missing");
    if (!JsonIsInt(cJSON_GetObjectItemCaseSensitive(json, PLINTHD_KEY_DELAY)))
        return Refuse(sInfo, "Delay is missing");
    if (!cJSON_IsArray(cJSON_GetObjectItemCaseSensitive(json, PLINTHD_KEY_TABLES)))
        return Refuse(sInfo, "Tables defs are missing");
    return 0;
}

int ParseInitInterface(const cJSON* json, ModbusConfig_t& config, std::string& sInfo)
{
    config.iDelay = JsonInt(cJSON_GetObjectItemCaseSensitive(json, PLINTHD_KEY_DELAY));

    const char* pszProtocol =
        cJSON_GetObjectItemCaseSensitive(json, PLINTHD_KEY_PROTOCOL)->valuestring;
    if (strcmp(pszProtocol, PLINTHD_PROTOCOL_RTU) == 0) {
        config.eType = MBTYPE_RTU;
    } else if (strcmp(pszProtocol, PLINTHD_PROTOCOL_TCP) == 0) {
        config.eType = MBTYPE_TCP;
    } else if (strcmp(pszProtocol, PLINTHD_PROTOCOL_TCPPI) == 0) {
        config.eType = MBTYPE_TCP_PI;
    } else {
        config.eType = MBTYPE_UNDEF;
        return Refuse(sInfo, "Unknown protocol");
    }

    // The protocol's word is also the key of its object.
    const cJSON* pParams = cJSON_GetObjectItemCaseSensitive(json, pszProtocol);
    switch (config.eType) {
    case MBTYPE_RTU:
        if (!cJSON_IsObject(pParams))
            return Refuse(sInfo, "RTU parameters not found");
        return ParseRtu(pParams, config.rtu, sInfo);
    case MBTYPE_TCP:
        if (!cJSON_IsObject(pParams))
            return Refuse(sInfo, "TCP parameters not found");
        return ParseTcp(pParams, config.tcp, sInfo);
    default:
        if (!cJSON_IsObject(pParams))
            return Refuse(sInfo, "TCP-PI parameters not found");
        return ParseTcpPi(pParams, config.tcppi, sInfo);
    }
}

int ParseInitTables(const cJSON* pTables, RegZoneList_t& tables, RegZoneList_t& zones,
                    std::string& sInfo)
{
    if (cJSON_GetArraySize(pTables) == 0)
        return Refuse(sInfo, "No tables specified");
    const cJSON* pTable = nullptr;
    cJSON_ArrayForEach(pTable, pTables)
    {
        RegZone_t table;
        int iErr = GetRegZoneFromJson(pTable, table);
        if (iErr != 0) {
            sInfo = "Table info missing or incorrect";
            return iErr;
        }
        LogWrite(MODNAME, LOG_INFO, "New table: addr=%d, len=%d", table.iAddress, table.iLength);
        tables.push_back(table);
        // A table without "zones", or whose "zones" is not an array, has none.
        const cJSON* pZones = cJSON_GetObjectItemCaseSensitive(pTable, PLINTHD_KEY_ZONES);
        if (!cJSON_IsArray(pZones))
            continue;
        iErr = ParseInitZones(pZones, zones, sInfo);
        if (iErr != 0)
            return iErr;
    }
    return 0;
}

int ParseInitZones(const cJSON* pZones, RegZoneList_t& zones, std::string& sInfo)
{
    const cJSON* pZone = nullptr;
    cJSON_ArrayForEach(pZone, pZones)
    {
        RegZone_t zone;
        int iErr = GetRegZoneFromJson(pZone, zone);
        if (iErr != 0) {
            sInfo = "Zone info missing or incorrect";
            return iErr;
        }
        zones.push_back(zone);
    }
    return 0;
}

int ParseInitOptions(const cJSON* json, InitDocument_t& doc, std::string& sInfo)
{
    // TCP and TCP-PI: the bounds of the masters ("clients", "idletimeout"),
    // the address lists and the secure port, members of the protocol's
    // object. A document for another protocol leaves the defaults.
    ModbusConfig_t& config = doc.config;
    if (config.eType != MBTYPE_TCP && config.eType != MBTYPE_TCP_PI) {
        config.serving = ServingConfig_t();
        return 0;
    }
    const cJSON* pParams = cJSON_GetObjectItemCaseSensitive(
        json, config.eType == MBTYPE_TCP ? PLINTHD_PROTOCOL_TCP : PLINTHD_PROTOCOL_TCPPI);
    return ParseServingConfig(pParams, config.serving, sInfo);
}
