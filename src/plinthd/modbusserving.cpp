// Modbus side of the server thread: opening the interface, accepting
// clients, answering queries and reporting what masters did.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "jsonhelpers.h"
#include "log.h"
#include "modbusserverthread.h"

#define MODNAME "MBSRV "

namespace
{

// Backlog used when the configuration gives none: enough for a burst of
// masters connecting at once (a backlog of 0 makes the kernel drop SYNs
// and the masters wait seconds for their retransmission).
constexpr int MB_LISTEN_BACKLOG = 128;

// Longest pause libmodbus waits between two bytes of one query. A client
// that sends part of a query and stops holds the loop at most this long.
constexpr uint32_t MB_BYTE_TIMEOUT_US = 500000;

// Pause before answering a malformed query (see SetServerTimeouts).
constexpr uint32_t MB_TCP_DRAIN_US = 1000;
constexpr uint32_t MB_RTU_DRAIN_US = 20000;

void SetServerTimeouts(modbus_t* pCtx, bool bRtu)
{
    modbus_set_byte_timeout(pCtx, 0, MB_BYTE_TIMEOUT_US);
    // Queries are only received once poll reports data, so waiting for the
    // first byte never needs to be longer than waiting for the next one.
    modbus_set_indication_timeout(pCtx, 0, MB_BYTE_TIMEOUT_US);
    // A server never waits for responses, but libmodbus sleeps this long
    // before it answers a malformed query (unknown function, bad quantity)
    // with an exception, to drain the rest of the frame. With the default of
    // 0.5 s one master sending bad queries would stall every other master.
    // On a serial line the pause covers a few characters of a broken frame.
    modbus_set_response_timeout(pCtx, 0, bRtu ? MB_RTU_DRAIN_US : MB_TCP_DRAIN_US);
}

TcpClient_t ClientFromAddress(const sockaddr_storage& addr)
{
    TcpClient_t client;
    char szIp[INET6_ADDRSTRLEN] = {0};
    if (addr.ss_family == AF_INET) {
        const sockaddr_in* pIn = reinterpret_cast<const sockaddr_in*>(&addr);
        inet_ntop(AF_INET, &pIn->sin_addr, szIp, sizeof(szIp));
        client.iPort = ntohs(pIn->sin_port);
    } else if (addr.ss_family == AF_INET6) {
        const sockaddr_in6* pIn6 = reinterpret_cast<const sockaddr_in6*>(&addr);
        if (IN6_IS_ADDR_V4MAPPED(&pIn6->sin6_addr)) {
            inet_ntop(AF_INET, &pIn6->sin6_addr.s6_addr[12], szIp, sizeof(szIp));
        } else {
            inet_ntop(AF_INET6, &pIn6->sin6_addr, szIp, sizeof(szIp));
        }
        client.iPort = ntohs(pIn6->sin6_port);
    }
    client.sIp = szIp;
    return client;
}

} // namespace

int CModBusServerThread::InitMbRtu()
{
    if (m_pmbCtx != nullptr)
        return DBUS_ERR_INVALID_STATE;
    const ModbusRtuConfig_t& cfg = m_mbConfig.rtu;
    // The library only knows the upper-case parity letters.
    char cParity = static_cast<char>(toupper(static_cast<unsigned char>(cfg.cParity)));
    m_pmbCtx =
        modbus_new_rtu(cfg.sDevice.c_str(), cfg.iBaudrate, cParity, cfg.iDataBits, cfg.iStopBits);
    if (m_pmbCtx == nullptr) {
        LogWrite(MODNAME, 3, "Failed to allocate to open Modbus RTU: %s", modbus_strerror(errno));
        return MBSRV_ERR_OPEN;
    }
    int iSlaveRet = modbus_set_slave(m_pmbCtx, cfg.iMbDevId < 1 ? 1 : cfg.iMbDevId);
    if (iSlaveRet != 0)
        LogWrite(MODNAME, 7, "Unable to set slav ID %s", modbus_strerror(errno));
    SetServerTimeouts(m_pmbCtx, true);

    rc = modbus_connect(m_pmbCtx);
    if (rc != 0) {
        LogWrite(MODNAME, 3, "Unable to connect %s\n", modbus_strerror(errno));
        return MBSRV_ERR_OPEN;
    }
    m_mbFD = modbus_get_socket(m_pmbCtx);
    if (m_mbFD >= FD_SETSIZE) {
        LogWrite(MODNAME, 3,
                 "Serial port descriptor %d is beyond the %d the Modbus library can wait on\n",
                 m_mbFD, FD_SETSIZE);
        return MBSRV_ERR_OPEN;
    }

    // RS-485 mode can only be set on an open port; a port without RS-485
    // support (a USB adapter, a pseudo-terminal) stays in RS-232 mode.
    int iMode = modbus_rtu_get_serial_mode(m_pmbCtx);
    if (iMode >= 0) {
        LogWrite(MODNAME, 6, "Current serial mode %d", iMode);
    } else {
        LogWrite(MODNAME, 7, "Unable to get RS-485 mode %s", modbus_strerror(errno));
    }
    if (modbus_rtu_set_serial_mode(m_pmbCtx, MODBUS_RTU_RS485) != 0) {
        LogWrite(MODNAME, 7, "Unable to set RS-485 mode %s", modbus_strerror(errno));
    }

    int iFlags = 0;
    if (ioctl(m_mbFD, TIOCMGET, &iFlags) == 0) {
        iFlags &= ~TIOCM_DTR;
        ioctl(m_mbFD, TIOCMSET, &iFlags);
    }
    LogWrite(MODNAME, 7, "modbus RTU init done");
    return iSlaveRet;
}

int CModBusServerThread::InitMbTcp()
{
    const std::string& sListen = m_mbConfig.tcp.sListen;
    const char* pszAddr = (sListen.empty() || sListen == "0.0.0.0") ? nullptr : sListen.c_str();
    if (m_pmbCtx != nullptr)
        return DBUS_ERR_INVALID_STATE;
    m_pmbCtx = modbus_new_tcp(pszAddr, m_mbConfig.tcp.iPort);
    if (m_pmbCtx == nullptr) {
        LogWrite(MODNAME, 3, "Failed to allocate to open Modbus TCP: %s", modbus_strerror(errno));
        return MBSRV_ERR_OPEN;
    }
    SetServerTimeouts(m_pmbCtx, false);
    int iBacklog = m_mbConfig.tcp.iClients > 0 ? m_mbConfig.tcp.iClients : MB_LISTEN_BACKLOG;
    m_mbFD = modbus_tcp_listen(m_pmbCtx, iBacklog);
    if (m_mbFD < 0) {
        LogWrite(MODNAME, 3, "Unable to listen on %s:%d: %s", pszAddr ? pszAddr : "*",
                 m_mbConfig.tcp.iPort, modbus_strerror(errno));
        m_mbFD = -1;
        return MBSRV_ERR_OPEN;
    }
    return 0;
}

int CModBusServerThread::InitMbTcpPI()
{
    const std::string& sListen = m_mbConfig.tcppi.sListen;
    const char* pszNode = sListen.empty() ? nullptr : sListen.c_str();
    if (m_pmbCtx != nullptr)
        return DBUS_ERR_INVALID_STATE;
    m_pmbCtx = modbus_new_tcp_pi(pszNode, m_mbConfig.tcppi.sService.c_str());
    if (m_pmbCtx == nullptr) {
        LogWrite(MODNAME, 3, "Failed to allocate to open Modbus TCP-PI: %s",
                 modbus_strerror(errno));
        return MBSRV_ERR_OPEN;
    }
    SetServerTimeouts(m_pmbCtx, false);
    int iBacklog = m_mbConfig.tcppi.iClients > 0 ? m_mbConfig.tcppi.iClients : MB_LISTEN_BACKLOG;
    m_mbFD = modbus_tcp_pi_listen(m_pmbCtx, iBacklog);
    if (m_mbFD < 0) {
        LogWrite(MODNAME, 3, "Unable to listen on %s:%s: %s", pszNode ? pszNode : "*",
                 m_mbConfig.tcppi.sService.c_str(), modbus_strerror(errno));
        m_mbFD = -1;
        return MBSRV_ERR_OPEN;
    }
    return 0;
}

int CModBusServerThread::CloseModbus()
{
    if (m_pmbCtx != nullptr) {
        for (const auto& entry : m_clientList) {
            RemoveWaitDescriptor(entry.first);
            close(entry.first);
        }
        m_clientList.clear();
        if (m_mbFD >= 0)
            RemoveWaitDescriptor(m_mbFD);
        if (IsTcp()) {
            // The listening socket is ours to close, so that a later "init" can
            // listen on the same port again; the context may still name the last
            // client, which is closed already.
            if (m_mbFD >= 0)
                close(m_mbFD);
            modbus_set_socket(m_pmbCtx, -1);
        } else {
            modbus_close(m_pmbCtx);
        }
        modbus_free(m_pmbCtx);
        m_pmbCtx = nullptr;
    }
    m_mbFD = -1;
    m_regs.ReleaseBuffers();
    return 0;
}

int CModBusServerThread::DescriptorAvailable(int iFD)
{
    if (iFD == m_iTimerWork && m_iTimerWork >= 0) {
        DBusDispatch();
        uint64_t ullExpired = 0;
        if (read(iFD, &ullExpired, sizeof(ullExpired)) == static_cast<ssize_t>(sizeof(ullExpired)))
            Work();
        return 0;
    }
    if (m_pmbCtx != nullptr && iFD >= 0) {
        if (IsTcp()) {
            if (iFD == m_mbFD) {
                DBusDispatch();
                AcceptClient();
                return 0;
            }
            if (m_clientList.count(iFD) != 0) {
                DBusDispatch();
                ServeReadyClients(iFD);
                return 0;
            }
        } else if (iFD == m_mbFD) {
            DBusDispatch();
            ServeQuery(iFD);
            return 0;
        }
    }
    return DBusThread::DescriptorAvailable(iFD);
}

int CModBusServerThread::Idle()
{
    if (m_pmbCtx != nullptr && m_mbConfig.eType == MBTYPE_RTU && m_mbFD >= 0 &&
        (GetReturnedEvents(m_mbFD) & (POLLHUP | POLLNVAL)) != 0) {
        LogWrite(MODNAME, 3, "Serial port %s hung up, no longer served\n",
                 m_mbConfig.rtu.sDevice.c_str());
        RemoveWaitDescriptor(m_mbFD);
        // The status shows the loss until a new "init".
        m_ProcStatus.m_iErr = MBSRV_ERR_OPEN;
        m_ProcStatus.m_iErrno = EIO;
        // The port itself is closed by "deinit", with the context.
    }
    return DBusThread::Idle();
}

void CModBusServerThread::AcceptClient()
{
    sockaddr_storage addr;
    socklen_t addrLen = sizeof(addr);
    int iFD = accept4(m_mbFD, reinterpret_cast<sockaddr*>(&addr), &addrLen, SOCK_CLOEXEC);
    if (iFD < 0) {
        if ((errno == EMFILE || errno == ENFILE) && m_iSpareFD >= 0) {
            // Out of descriptors: take the connection with the spare descriptor
            // and close it, or it would stay queued and wake the loop forever.
            close(m_iSpareFD);
            iFD = accept4(m_mbFD, reinterpret_cast<sockaddr*>(&addr), &addrLen, SOCK_CLOEXEC);
            if (iFD >= 0)
                close(iFD);
            m_iSpareFD = open("/dev/null", O_RDONLY | O_CLOEXEC);
            LogWrite(MODNAME, 3, "Out of descriptors, connection refused\n");
            return;
        }
        LogWrite(MODNAME, 3, "Accept error\n");
        return;
    }
    TcpClient_t client = ClientFromAddress(addr);
    // libmodbus waits on its sockets with select(), whose descriptor sets end
    // at FD_SETSIZE: a higher descriptor would corrupt memory.
    if (iFD >= FD_SETSIZE) {
        close(iFD);
        LogWrite(MODNAME, 3,
                 "Connection from %s:%d refused: descriptor %d is beyond the %d the Modbus library "
                 "can wait on\n",
                 client.sIp.c_str(), client.iPort, iFD, FD_SETSIZE);
        return;
    }
    // An answer that cannot be sent within the byte time-out (the master
    // does not read) fails instead of blocking the loop.
    timeval tvSend = {0, static_cast<suseconds_t>(MB_BYTE_TIMEOUT_US)};
    setsockopt(iFD, SOL_SOCKET, SO_SNDTIMEO, &tvSend, sizeof(tvSend));
    m_clientList[iFD] = client;
    AddWaitDescriptor(iFD, POLLIN | POLLPRI);
    LogWrite(MODNAME, 3, "New connection from %s:%d\n", client.sIp.c_str(), client.iPort);
    SendClientEvent("tcpconnect", client);
}

void CModBusServerThread::DropClient(int iFD)
{
    auto it = m_clientList.find(iFD);
    if (it == m_clientList.end())
        return;
    LogWrite(MODNAME, 3, "Close socket\n");
    RemoveWaitDescriptor(iFD);
    close(iFD);
    if (modbus_get_socket(m_pmbCtx) == iFD)
        modbus_set_socket(m_pmbCtx, -1);
    TcpClient_t client = it->second;
    m_clientList.erase(it);
    SendClientEvent("tcpdisconnect", client);
}

void CModBusServerThread::ServeReadyClients(int iFirst)
{
    ServeQuery(iFirst);
    // The loop hands over the first ready descriptor of its list; serving
    // every other client that has a query waiting in the same round keeps a
    // master that sends without pause from holding back those behind it.
    m_vReady.clear();
    for (int i = 0; i < m_ciPoll; i++) {
        int iFD = m_paPoll[i].fd;
        if (iFD != iFirst && (m_paPoll[i].revents & (POLLIN | POLLPRI | POLLERR)) != 0 &&
            m_clientList.count(iFD) != 0)
            m_vReady.push_back(iFD);
    }
    for (int iFD : m_vReady) {
        if (m_clientList.count(iFD) != 0)
            ServeQuery(iFD);
    }
}

void CModBusServerThread::ServeQuery(int iFD)
{
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    memset(query, 0xFF, 100);
    if (IsTcp())
        modbus_set_socket(m_pmbCtx, iFD);
    rc = modbus_receive(m_pmbCtx, query);
    if (rc == -1) {
        int iErrno = errno;
        // A peer that closes its connection is not a reception error.
        if (iErrno != ECONNRESET)
            m_mbStat.ErrorRx++;
        LogWrite(MODNAME, 3, "Connection closed %s\n", modbus_strerror(iErrno));
        if (IsTcp()) {
            DropClient(iFD);
        } else {
            // Nothing is answered to a broken frame; what is left of it is dropped.
            modbus_flush(m_pmbCtx);
        }
        return;
    }
    if (rc == 0)
        return; // an RTU query for another unit
    m_mbStat.ValidRx++;
    int iQueryLen = rc;
    rc = modbus_reply(m_pmbCtx, query, iQueryLen, m_regs.Mapping());
    bool bDrop = false;
    if (rc == -1) {
        m_mbStat.ErrorTx++;
        LogWrite(MODNAME, 3, "Reply error %s\n", modbus_strerror(errno));
        // A TCP answer that could not be sent in full (the master does not
        // read its answers, or is gone) leaves the stream broken; waiting on
        // it again would block every other master.
        if (IsTcp())
            bDrop = true;
    } else if (rc > 0) {
        m_mbStat.ValidTx++;
    }
    // libmodbus has written into the Modbus registers even when the answer
    // could not be sent, so the access rules are applied in every case.
    ProcessModbusQuery(query, iQueryLen);
    if (bDrop)
        DropClient(iFD);
}

void CModBusServerThread::ProcessModbusQuery(const uint8_t* pQuery, int iLen)
{
    if (pQuery == nullptr || iLen <= 0)
        return;
    uint8_t abyQuery[MODBUS_TCP_MAX_ADU_LENGTH];
    memset(abyQuery, 0xFF, sizeof(abyQuery));
    memcpy(abyQuery, pQuery, std::min<size_t>(iLen, sizeof(abyQuery)));

    const bool bRtu = m_mbConfig.eType == MBTYPE_RTU;
    const int iHeader = bRtu ? 1 : 7;
    if (iLen <= iHeader)
        return;
    const uint8_t* pPdu = abyQuery + iHeader;
    int iFunc = pPdu[0];
    // Per-query lines are debug output: at error level every poll of every
    // master would reach the system log, flooding it and costing more than
    // answering the query.
    if (bRtu) {
        LogWrite(MODNAME, 7,
                 "Reply query (len=%d, func=%02X) dev=%d, dev=%02X, %02X %02X %02X %02X %02X %02X "
                 "%02X %02X\n",
                 iLen, iFunc, abyQuery[0], abyQuery[0], pPdu[0], pPdu[1], pPdu[2], pPdu[3], pPdu[4],
                 pPdu[5], pPdu[6], pPdu[7]);
    } else {
        LogWrite(MODNAME, 7,
                 "Reply query (len=%d, func=%02X), %02X %02X %02X %02X %02X %02X %02X %02X\n", iLen,
                 iFunc, pPdu[0], pPdu[1], pPdu[2], pPdu[3], pPdu[4], pPdu[5], pPdu[6], pPdu[7]);
    }
    // Address and quantity must have been received, not taken from the fill.
    if (iLen < iHeader + 5)
        return;
    int iAddr = (pPdu[1] << 8) | pPdu[2];
    int iQuantity = (pPdu[3] << 8) | pPdu[4];
    switch (iFunc) {
    case MODBUS_FC_READ_HOLDING_REGISTERS:
    case MODBUS_FC_READ_INPUT_REGISTERS:
        ProcessModbusQueryRead(iAddr, iQuantity);
        break;
    case MODBUS_FC_WRITE_SINGLE_REGISTER:
        ProcessModbusQueryWrite(iAddr, 1);
        break;
    case MODBUS_FC_WRITE_MULTIPLE_REGISTERS:
        ProcessModbusQueryWrite(iAddr, iQuantity);
        break;
    // libmodbus also answers these two register writes; without their
    // post-processing a master could change read-only registers with them.
    case MODBUS_FC_MASK_WRITE_REGISTER:
        ProcessModbusQueryWrite(iAddr, 1);
        break;
    case MODBUS_FC_WRITE_AND_READ_REGISTERS:
        // Read address and quantity, then write address and quantity;
        // libmodbus writes before it reads.
        if (iLen >= iHeader + 9) {
            ProcessModbusQueryWrite((pPdu[5] << 8) | pPdu[6], (pPdu[7] << 8) | pPdu[8]);
            ProcessModbusQueryRead(iAddr, iQuantity);
        }
        break;
    default:
        break;
    }
}

void CModBusServerThread::ProcessModbusQueryRead(int iAddr, int iLen)
{
    LogWrite(MODNAME, 7, "Query: Read register, addr=%d, len=%d\n", iAddr, iLen);
    if (!m_bEnableEvent)
        return;
    cJSON* pEvent = cJSON_CreateObject();
    cJSON* pRead = cJSON_AddObjectToObject(pEvent, "mbread");
    cJSON_AddNumberToObject(pRead, "address", iAddr);
    cJSON_AddNumberToObject(pRead, "length", iLen);
    cJSON_AddStringToObject(pEvent, "type", "mbread");
    SendModbusEventSignal(pEvent);
    cJSON_Delete(pEvent);
}

void CModBusServerThread::ProcessModbusQueryWrite(int iAddr, int iLen)
{
    LogWrite(MODNAME, 7, "Query: write register, addr=%d, len=%d\n", iAddr, iLen);
    int iVisited = m_regs.ApplyMasterWrite(iAddr, iLen);
    if (iVisited > 0) {
        RegZone_t zone;
        zone.iAddress = iAddr;
        zone.iLength = iVisited;
        SendModbusDataSignal(zone);
    }
}

void CModBusServerThread::SendClientEvent(const char* pszType, const TcpClient_t& client)
{
    if (!m_bEnableEvent)
        return;
    cJSON* pEvent = cJSON_CreateObject();
    cJSON* pClient = cJSON_AddObjectToObject(pEvent, "tcpclient");
    cJSON_AddStringToObject(pClient, "ip", client.sIp.c_str());
    cJSON_AddNumberToObject(pClient, "port", client.iPort);
    cJSON_AddStringToObject(pEvent, "type", pszType);
    SendModbusEventSignal(pEvent);
    cJSON_Delete(pEvent);
}

void CModBusServerThread::SendModbusDataSignal(const RegZone_t& zone)
{
    LogWrite("plinthd", 7, "SendModbusDataSignal");
    cJSON* pData = cJSON_CreateArray();
    cJSON* pBlock = cJSON_CreateObject();
    cJSON_AddNumberToObject(pBlock, "address", zone.iAddress);
    cJSON* pValues = cJSON_AddArrayToObject(pBlock, "values");
    for (int i = 0; i < zone.iLength; i++) {
        cJSON_AddItemToArray(pValues, cJSON_CreateNumber(m_regs.BackendValue(
                                          static_cast<long long>(zone.iAddress) + i)));
    }
    cJSON_AddItemToArray(pData, pBlock);
    SendIndentedSignal("data", pData, "Message 'modbus data' sent");
    cJSON_Delete(pData);
}

void CModBusServerThread::SendModbusEventSignal(cJSON* jvEvent)
{
    if (!m_bEnableEvent)
        return;
    LogWrite("plinthd", 7, "SendModbusEventSignal");
    SendIndentedSignal("event", jvEvent, "Message 'modbus event' sent");
}

void CModBusServerThread::SendIndentedSignal(const char* pszMember, const cJSON* pJson,
                                             const char* pszSentLog)
{
    if (m_pDBusConn == nullptr)
        return;
    std::string sText = JsonPrintIndented(pJson);
    DBusMessage* pMsg = dbus_message_new_signal(DBUS_OBJECT_PATH, PLINTHD_INTERFACE, pszMember);
    if (pMsg == nullptr) {
        LogWrite(MODNAME, 3, "Ran out of memory while queueing message");
        return;
    }
    const char* pszText = sText.c_str();
    if (!dbus_message_append_args(pMsg, DBUS_TYPE_STRING, &pszText, DBUS_TYPE_INVALID)) {
        LogWrite(MODNAME, 3, "Ran out of memory while constructing args");
    } else if (!dbus_connection_send(m_pDBusConn, pMsg, nullptr)) {
        LogWrite(MODNAME, 3, "Ran out of memory while queueing message");
    } else {
        dbus_connection_flush(m_pDBusConn);
        LogWrite(MODNAME, 7, "%s", pszSentLog);
    }
    dbus_message_unref(pMsg);
}
