// The server thread's life cycle, its loop, its JSON commands and its status.
#include "commandservice.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/timerfd.h>
#include <syslog.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "jsonhelpers.h"
#include "log.h"
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

// The status period follows a clock that setting the date cannot move: a
// clock set backwards must not silence the status signal.
static time_t MonotonicSeconds()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec;
}

static long long MonotonicMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000LL + ts.tv_nsec / 1000000L;
}

CModBusServerThread::CModBusServerThread()
    : m_iTimerWork(-1), m_signals([this]() { return m_pDBusConn; }), m_handler(m_regs, m_signals),
      m_tcp(*this, m_handler, m_mbStat), m_rtu(*this, m_handler, m_mbStat), m_tLastStatus(0),
      m_llTimerDueMs(-1)
{
}

CModBusServerThread::~CModBusServerThread()
{
    CloseModbus();
}

int CModBusServerThread::Init()
{
    int iRet = CPipeThread::Init();
    if (iRet != 0)
        return iRet;

    m_tLastStatus = MonotonicSeconds();
    m_ProcStatus = ProcStatus_t();
    m_handler.EnableEvents(false);
    m_mbConfig = ModbusConfig_t();
    m_mbStat = ModbusStat_t();

    if (InitDBus(PLINTHD_BUS_NAME, PLINTHD_INTERFACE, DBUS_OBJECT_PATH) != 0) {
        LogWrite(MODNAME, LOG_ERR, "Can't init dbus");
        return -1;
    }
    m_iTimerWork = TimerCreate();
    AppInit();
    SendStartedSignal();
    return 0;
}

int CModBusServerThread::Close()
{
    CloseModbus();
    if (m_iTimerWork >= 0)
        TimerDelete(m_iTimerWork);
    m_iTimerWork = -1;
    return DBusThread::Close();
}

int CModBusServerThread::ParseInitRequest(cJSON* json, RegZoneList_t& tables, RegZoneList_t& zones,
                                          std::string& sInfo)
{
    cJSON* pProtocol = cJSON_GetObjectItemCaseSensitive(json, PLINTHD_KEY_PROTOCOL);
    cJSON* pDelay = cJSON_GetObjectItemCaseSensitive(json, PLINTHD_KEY_DELAY);
    cJSON* pTables = cJSON_GetObjectItemCaseSensitive(json, PLINTHD_KEY_TABLES);
    if (!cJSON_IsString(pProtocol)) {
        sInfo = "Protocol is missing";
        return DBUS_ERR_JSON_ELEMENT;
    }
    if (!JsonIsInt(pDelay)) {
        sInfo = "Delay is missing";
        return DBUS_ERR_JSON_ELEMENT;
    }
    if (!cJSON_IsArray(pTables)) {
        sInfo = "Tables defs are missing";
        return DBUS_ERR_JSON_ELEMENT;
    }
    m_mbConfig.iDelay = JsonInt(pDelay);

    const char* pszProtocol = pProtocol->valuestring;
    if (strcmp(pszProtocol, PLINTHD_PROTOCOL_RTU) == 0) {
        m_mbConfig.eType = MBTYPE_RTU;
    } else if (strcmp(pszProtocol, PLINTHD_PROTOCOL_TCP) == 0) {
        m_mbConfig.eType = MBTYPE_TCP;
    } else if (strcmp(pszProtocol, PLINTHD_PROTOCOL_TCPPI) == 0) {
        m_mbConfig.eType = MBTYPE_TCP_PI;
    } else {
        m_mbConfig.eType = MBTYPE_UNDEF;
        sInfo = "Unknown protocol";
        return DBUS_ERR_JSON_ELEMENT;
    }

    cJSON* pParams = cJSON_GetObjectItemCaseSensitive(json, pszProtocol);
    if (!cJSON_IsObject(pParams)) {
        sInfo = m_mbConfig.eType == MBTYPE_RTU   ? "RTU parameters not found"
                : m_mbConfig.eType == MBTYPE_TCP ? "TCP parameters not found"
                                                 : "TCP-PI parameters not found";
        return DBUS_ERR_JSON_ELEMENT;
    }

    if (m_mbConfig.eType != MBTYPE_RTU) {
        int iErr = ParseServingConfig(pParams, m_mbConfig.serving, sInfo);
        if (iErr != 0)
            return iErr;
    }
    if (m_mbConfig.eType == MBTYPE_RTU) {
        cJSON* pDevId = cJSON_GetObjectItemCaseSensitive(pParams, PLINTHD_KEY_DEVID);
        cJSON* pBaud = cJSON_GetObjectItemCaseSensitive(pParams, PLINTHD_KEY_BAUD);
        cJSON* pPort = cJSON_GetObjectItemCaseSensitive(pParams, PLINTHD_KEY_PORT);
        cJSON* pMode = cJSON_GetObjectItemCaseSensitive(pParams, PLINTHD_KEY_MODE);
        if (!JsonIsInt(pDevId) || !JsonIsInt(pBaud) || !cJSON_IsString(pPort)) {
            sInfo = "Incomplete or invalid RTU config";
            return DBUS_ERR_JSON_ELEMENT;
        }
        int iData = 0, iStop = 0;
        char cParity = 0;
        if (!cJSON_IsString(pMode) ||
            sscanf(pMode->valuestring, "%d%c%d", &iData, &cParity, &iStop) != 3) {
            sInfo = "Invalid format of UART mode";
            return DBUS_ERR_JSON_ELEMENT;
        }
        cParity = static_cast<char>(tolower(static_cast<unsigned char>(cParity)));
        if (cParity != 'n' && cParity != 'e' && cParity != 'o') {
            sInfo = "Invalid UART parity specifier";
            return DBUS_ERR_JSON_ELEMENT;
        }
        m_mbConfig.rtu.iMbDevId = JsonInt(pDevId);
        m_mbConfig.rtu.iBaudrate = JsonInt(pBaud);
        m_mbConfig.rtu.sDevice = pPort->valuestring;
        m_mbConfig.rtu.iDataBits = iData;
        m_mbConfig.rtu.cParity = cParity;
        m_mbConfig.rtu.iStopBits = iStop;
    } else if (m_mbConfig.eType == MBTYPE_TCP) {
        cJSON* pListen = cJSON_GetObjectItemCaseSensitive(pParams, PLINTHD_KEY_LISTEN);
        cJSON* pPort = cJSON_GetObjectItemCaseSensitive(pParams, PLINTHD_KEY_PORT);
        // A port number outside 1..65535 would be cut to 16 bits and the
        // daemon would listen on some other port. Port 0: the secure port
        // alone.
        if (!cJSON_IsString(pListen) || !JsonIsInt(pPort) ||
            JsonInt(pPort) < (m_mbConfig.serving.pTls ? 0 : 1) || JsonInt(pPort) > 65535) {
            sInfo = "Incomplete or invalid TCP config";
            return DBUS_ERR_JSON_ELEMENT;
        }
        m_mbConfig.tcp.sListen = pListen->valuestring;
        m_mbConfig.tcp.iPort = JsonInt(pPort);
    } else {
        cJSON* pListen = cJSON_GetObjectItemCaseSensitive(pParams, PLINTHD_KEY_LISTEN);
        cJSON* pPort = cJSON_GetObjectItemCaseSensitive(pParams, PLINTHD_KEY_PORT);
        if (!cJSON_IsString(pListen) || !cJSON_IsString(pPort)) {
            sInfo = "Incomplete or invalid TCP-PI config";
            return DBUS_ERR_JSON_ELEMENT;
        }
        m_mbConfig.tcppi.sListen = pListen->valuestring;
        m_mbConfig.tcppi.sService = pPort->valuestring;
    }

    if (cJSON_GetArraySize(pTables) == 0) {
        sInfo = "No tables specified";
        return DBUS_ERR_JSON_ELEMENT;
    }
    cJSON* pTable = nullptr;
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
        cJSON* pZones = cJSON_GetObjectItemCaseSensitive(pTable, "zones");
        if (!cJSON_IsArray(pZones))
            continue;
        cJSON* pZone = nullptr;
        cJSON_ArrayForEach(pZone, pZones)
        {
            RegZone_t zone;
            iErr = GetRegZoneFromJson(pZone, zone);
            if (iErr != 0) {
                sInfo = "Zone info missing or incorrect";
                return iErr;
            }
            zones.push_back(zone);
        }
    }
    return 0;
}

int CModBusServerThread::OpenInterface()
{
    switch (m_mbConfig.eType) {
    case MBTYPE_RTU:
        return InitMbRtu();
    case MBTYPE_TCP:
        return InitMbTcp();
    case MBTYPE_TCP_PI:
        return InitMbTcpPI();
    default:
        return DBUS_ERR_JSON_ELEMENT;
    }
}

int CModBusServerThread::ExecuteCmdInit(const char* pcCmd, cJSON* json, cJSON*& jsonResult)
{
    LogWrite(MODNAME, LOG_INFO, "ExecuteCmdInit");
    std::string sInfo;
    RegZoneList_t tables, zones;
    int iErr = ParseInitRequest(json, tables, zones, sInfo);

    if (iErr == 0) {
        int iLength = CRegisterBlock::ComputeRange(tables);
        LogWrite(MODNAME, LOG_DEBUG, "Register range: addr=0, len=%d", iLength);
        if (iLength < 1) {
            iErr = DBUS_ERR_JSON_ELEMENT;
            sInfo = "Table size must be at least 1";
        } else {
            iErr = m_regs.Build(iLength, tables, zones, sInfo);
            if (iErr == -1) {
                // No reply text and no status update, as for any allocation failure
                // of the mapping itself.
                LogWrite("MBSRV ", LOG_ERR, "Failed to allocate the mapping: %s", strerror(errno));
                return -1;
            }
        }
    }

    if (iErr == 0) {
        // The transport watches its own descriptors once open.
        iErr = OpenInterface();
        if (iErr != 0)
            sInfo = "Can't initialize Modbus interface";
    }

    int iErrno = errno;
    if (iErr == 0) {
        DBusThread::ExecuteCmdInit(pcCmd, json, jsonResult);
    } else {
        LogWrite(MODNAME, LOG_WARNING, "init refused: err %d (%s) %s", iErr, PlinthdErrName(iErr),
                 sInfo.c_str());
        // A failed init leaves nothing open or allocated, so a corrected init
        // can follow at once.
        CloseModbus();
        m_regs.ReleaseAccess();
    }
    // The work timer is armed by the loop for the next status signal (and
    // the connections' deadlines) once this command has run.
    m_ProcStatus.m_iErr = iErr;
    m_ProcStatus.m_iErrno = iErr != 0 ? iErrno : 0;
    jsonResult = MakeReply(iErr, sInfo.c_str());
    return iErr;
}

int CModBusServerThread::ExecuteCmdSetConfig(const char* pcCmd, cJSON* json, cJSON*& jsonResult)
{
    cJSON* pData = cJSON_GetObjectItemCaseSensitive(json, PLINTHD_KEY_DATA);
    int iErr = 0;
    const char* pszInfo = "";
    if (!cJSON_IsArray(pData)) {
        iErr = DBUS_ERR_JSON_ELEMENT;
        pszInfo = "No dataset def";
    } else {
        cJSON* pEvent = cJSON_GetObjectItemCaseSensitive(json, "event");
        if (cJSON_IsBool(pEvent))
            m_handler.EnableEvents(cJSON_IsTrue(pEvent));
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
            m_regs.StoreValues(JsonInt(pAddr), pValues);
        }
    }
    int iErrno = errno;
    if (iErr == 0)
        DBusThread::ExecuteCmdSetConfig(pcCmd, json, jsonResult);
    m_ProcStatus.m_iErr = iErr;
    m_ProcStatus.m_iErrno = iErr != 0 ? iErrno : 0;
    jsonResult = MakeReply(iErr, pszInfo);
    return iErr;
}

int CModBusServerThread::ExecuteCmdDeInit(const char* pcCmd, cJSON* json, cJSON*& jsonResult)
{
    CloseModbus();
    m_ProcStatus = ProcStatus_t();
    return DBusThread::ExecuteCmdDeInit(pcCmd, json, jsonResult);
}

int CModBusServerThread::ExecuteCmdStop(const char* pcCmd, cJSON* json, cJSON*& jsonResult)
{
    m_regs.ReleaseAccess();
    return DBusThread::ExecuteCmdStop(pcCmd, json, jsonResult);
}

int CModBusServerThread::ExecuteCmdOther(const char* pcCmd, cJSON* json, cJSON*& jsonResult)
{
    if (strcmp(pcCmd, "getconfig") != 0)
        return DBusThread::ExecuteCmdOther(pcCmd, json, jsonResult);

    cJSON* pZones = cJSON_GetObjectItemCaseSensitive(json, "zones");
    if (!cJSON_IsArray(pZones)) {
        jsonResult = cJSON_CreateObject();
        return DBUS_ERR_JSON_ELEMENT;
    }
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
        if (zone.iLength > m_regs.Length()) {
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
            cJSON_AddItemToArray(pValues, cJSON_CreateNumber(m_regs.BackendValue(
                                              static_cast<long long>(zone.iAddress) + i)));
        }
        cJSON_AddItemToArray(pData, pItem);
    }
    cJSON_AddNumberToObject(pResult, "err", 0);
    cJSON_AddStringToObject(pResult, "info", "");
    jsonResult = pResult;
    return 0;
}

int CModBusServerThread::GetJsonStatus(cJSON*& jsonResult)
{
    cJSON* pStatus = cJSON_CreateObject();
    cJSON_AddNumberToObject(pStatus, "err", m_ProcStatus.m_iErr);
    cJSON_AddNumberToObject(pStatus, "errno", m_ProcStatus.m_iErrno);
    cJSON_AddStringToObject(pStatus, "info", "");
    cJSON_AddStringToObject(pStatus, PLINTHD_KEY_PROTOCOL, ProtocolName(m_mbConfig.eType));
    if (m_mbConfig.eType == MBTYPE_RTU)
        cJSON_AddNumberToObject(pStatus, PLINTHD_KEY_DEVID, m_mbConfig.rtu.iMbDevId);

    cJSON* pStat = cJSON_AddObjectToObject(pStatus, "stat");
    cJSON_AddNumberToObject(pStat, "rxerror", m_mbStat.ErrorRx);
    cJSON_AddNumberToObject(pStat, "txerror", m_mbStat.ErrorTx);
    cJSON_AddNumberToObject(pStat, "rxvalid", m_mbStat.ValidRx);
    cJSON_AddNumberToObject(pStat, "txvalid", m_mbStat.ValidTx);

    // Each master's own counters: one entry per TCP connection, one for
    // the serial line.
    if (IsTcp()) {
        m_tcp.AddClientsToStatus(cJSON_AddArrayToObject(pStatus, PLINTHD_KEY_CLIENTS));
        m_tcp.AddLimitsToStatus(pStatus);
    } else if (m_mbConfig.eType == MBTYPE_RTU && m_rtu.IsOpen()) {
        m_rtu.AddClientToStatus(cJSON_AddArrayToObject(pStatus, PLINTHD_KEY_CLIENTS));
    }

    cJSON* pSwInfo = cJSON_AddObjectToObject(pStatus, "swinfo");
    cJSON_AddStringToObject(pSwInfo, "name", "plinthd");
    cJSON_AddStringToObject(pSwInfo, "version", "0.1");
    cJSON_AddStringToObject(pSwInfo, "builddate", BuildDate().c_str());
    cJSON_AddStringToObject(pSwInfo, "git", "undef");
    jsonResult = pStatus;
    return 0;
}

void CModBusServerThread::CheckSendStatus()
{
    if (m_DBUSState != DBUS_READY && m_DBUSState != DBUS_RUN)
        return;
    time_t tNow = MonotonicSeconds();
    if (tNow > m_tLastStatus + 2) {
        m_tLastStatus = tNow;
        SendStatusSignal();
    }
}

int CModBusServerThread::InitMbRtu()
{
    return m_rtu.Open(m_mbConfig.rtu);
}

int CModBusServerThread::InitMbTcp()
{
    return m_tcp.OpenTcp(m_mbConfig.tcp, m_mbConfig.serving);
}

int CModBusServerThread::InitMbTcpPI()
{
    return m_tcp.OpenTcpPi(m_mbConfig.tcppi, m_mbConfig.serving);
}

int CModBusServerThread::CloseModbus()
{
    m_tcp.Close();
    m_rtu.Close();
    m_regs.ReleaseBuffers();
    return 0;
}

int CModBusServerThread::Run()
{
    // Messages libdbus read while the bus name was requested wait in its
    // queue, not on the socket: dispatched before the first sleep, or a call
    // sent right after the name appeared would stay unanswered.
    Idle();
    while (m_bRun) {
        ArmWorkTimer();
        int iReady = poll(m_paPoll, static_cast<nfds_t>(m_ciPoll), -1);
        if (iReady > 0) {
            // Serving may add and remove wait-list entries, so the ready ones
            // are taken out first; each is then served once in this round.
            m_vReady.clear();
            for (int i = 0; i < m_ciPoll; i++) {
                if (m_paPoll[i].revents != 0)
                    m_vReady.push_back(m_paPoll[i]);
            }
            m_signals.BeginRound();
            for (const pollfd& ready : m_vReady) {
                if (!m_bRun)
                    break;
                DescriptorAvailable(ready.fd);
            }
            m_signals.EndRound();
        }
        Idle();
    }
    return RET_OK;
}

int CModBusServerThread::Stop()
{
    // The loop sleeps without a time-out: a message wakes it. A loop that
    // cleared the flag itself is on its way out already.
    if (m_bRun.exchange(false))
        SendCmd(CMD_STOP, 0, 0);
    return DBusThread::Stop();
}

int CModBusServerThread::DescriptorAvailable(int iFD)
{
    if (iFD == m_iTimerWork && m_iTimerWork >= 0) {
        uint64_t ullExpired = 0;
        if (read(iFD, &ullExpired, sizeof(ullExpired)) ==
            static_cast<ssize_t>(sizeof(ullExpired))) {
            m_llTimerDueMs = -1; // a one-shot timer: spent
            Work();
        }
        return 0;
    }
    if (m_tcp.Serve(iFD) || m_rtu.Serve(iFD))
        return 0;
    return DBusThread::DescriptorAvailable(iFD);
}

int CModBusServerThread::Idle()
{
    if (m_rtu.IsOpen() && m_rtu.FD() >= 0 &&
        (GetReturnedEvents(m_rtu.FD()) & (POLLHUP | POLLNVAL)) != 0) {
        LogWrite("MBSRV ", LOG_ERR, "Serial port %s hung up, no longer served\n",
                 m_mbConfig.rtu.sDevice.c_str());
        m_rtu.Unwatch();
        // The status shows the loss until a new "init".
        m_ProcStatus.m_iErr = MBSRV_ERR_OPEN;
        m_ProcStatus.m_iErrno = EIO;
        // The port itself is closed by "deinit", with the context.
    }
    return DBusThread::Idle();
}

int CModBusServerThread::Work()
{
    CheckSendStatus();
    m_tcp.ExpireRequests(MonotonicMs());
    return 0;
}

void CModBusServerThread::ArmWorkTimer()
{
    if (m_iTimerWork < 0)
        return;
    long long llDue = -1;
    if (m_DBUSState == DBUS_READY || m_DBUSState == DBUS_RUN) {
        // The status goes out once the whole seconds passed exceed the last
        // one by more than 2.
        llDue = (static_cast<long long>(m_tLastStatus) + 3) * 1000LL;
    }
    const long long llRequest = m_tcp.NextDeadline();
    if (llRequest >= 0 && (llDue < 0 || llRequest < llDue))
        llDue = llRequest;
    if (llDue == m_llTimerDueMs)
        return;
    m_llTimerDueMs = llDue;
    itimerspec due;
    memset(&due, 0, sizeof(due));
    if (llDue >= 0) {
        due.it_value.tv_sec = static_cast<time_t>(llDue / 1000);
        due.it_value.tv_nsec = static_cast<long>((llDue % 1000) * 1000000L);
        if (due.it_value.tv_sec == 0 && due.it_value.tv_nsec == 0)
            due.it_value.tv_nsec = 1; // all zero would disarm
    }
    timerfd_settime(m_iTimerWork, TFD_TIMER_ABSTIME, &due, nullptr);
}
