// Modbus side of the server thread: opening the interface, the loop,
// accepting clients, checking and answering requests, applying the access
// rules and reporting what masters did.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "jsonhelpers.h"
#include "log.h"
#include "modbusconnection.h"
#include "modbusserverthread.h"

#define MODNAME "MBSRV "

namespace
{

// Backlog used when the configuration gives none: enough for a burst of
// masters connecting at once (a backlog of 0 makes the kernel drop SYNs
// and the masters wait seconds for their retransmission).
constexpr int MB_LISTEN_BACKLOG = 128;

// Connections taken from the backlog in one round of the loop.
constexpr int MB_ACCEPTS_PER_ROUND = 16;

// Time a TCP master has to complete a request once its first byte arrived.
// A request fits in one segment; this covers a few retransmissions. Other
// masters are served meanwhile: only the slow master's own answer waits.
constexpr int MB_REQUEST_TIMEOUT_MS = 2000;

// Serial line: longest pause libmodbus waits between two bytes of one query.
constexpr uint32_t MB_BYTE_TIMEOUT_US = 500000;

// Pause libmodbus would make before an exception answer, to drain the rest
// of a malformed frame. The daemon answers such requests itself, without
// draining, but a short value keeps any path through the library brief.
constexpr uint32_t MB_TCP_DRAIN_US = 1000;
constexpr uint32_t MB_RTU_DRAIN_US = 20000;

// Largest quantities of the standard, per function.
constexpr int MB_MAX_READ_BITS = 2000;
constexpr int MB_MAX_READ_REGISTERS = 125;
constexpr int MB_MAX_WRITE_BITS = 1968;
constexpr int MB_MAX_WRITE_REGISTERS = 123;
constexpr int MB_MAX_WR_WRITE_REGISTERS = 121;
// Register and coil addresses are 16-bit: nothing from 65,536 on is reachable.
constexpr long MB_ADDRESS_SPACE = 65536;

void SetServerTimeouts(modbus_t* pCtx, bool bRtu)
{
    modbus_set_byte_timeout(pCtx, 0, MB_BYTE_TIMEOUT_US);
    // Queries are only received once poll reports data, so waiting for the
    // first byte never needs to be longer than waiting for the next one.
    modbus_set_indication_timeout(pCtx, 0, MB_BYTE_TIMEOUT_US);
    modbus_set_response_timeout(pCtx, 0, bRtu ? MB_RTU_DRAIN_US : MB_TCP_DRAIN_US);
}

long long MonotonicMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000LL + ts.tv_nsec / 1000000L;
}

inline int Word(const uint8_t* p)
{
    return (p[0] << 8) | p[1];
}

// Exception 02 when the block passes the end of what is served or of the
// 16-bit address space.
int CheckRange(int iAddr, int iQuantity, int iServed)
{
    long lEnd = static_cast<long>(iAddr) + iQuantity;
    if (lEnd > iServed || lEnd > MB_ADDRESS_SPACE)
        return MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS;
    return 0;
}

// Checks a request PDU of iLen bytes the way the standard's state diagrams
// do: the function (01), then the quantity, byte count and frame length
// (03), then the addresses (02). 0 when it can be executed. Only requests
// that pass are handed to libmodbus, which then never answers with an
// exception of its own (and never flushes what follows on the connection).
int CheckRequest(const uint8_t* pPdu, int iLen, int iBits, int iRegisters)
{
    const int iFunc = pPdu[0];
    switch (iFunc) {
    case MODBUS_FC_READ_COILS:
    case MODBUS_FC_READ_DISCRETE_INPUTS:
    case MODBUS_FC_READ_HOLDING_REGISTERS:
    case MODBUS_FC_READ_INPUT_REGISTERS: {
        const bool bBits = iFunc <= MODBUS_FC_READ_DISCRETE_INPUTS;
        if (iLen != 5)
            return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
        int iQuantity = Word(pPdu + 3);
        if (iQuantity < 1 || iQuantity > (bBits ? MB_MAX_READ_BITS : MB_MAX_READ_REGISTERS))
            return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
        return CheckRange(Word(pPdu + 1), iQuantity, bBits ? iBits : iRegisters);
    }
    case MODBUS_FC_WRITE_SINGLE_COIL: {
        if (iLen != 5)
            return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
        int iValue = Word(pPdu + 3);
        if (iValue != 0x0000 && iValue != 0xFF00)
            return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
        return CheckRange(Word(pPdu + 1), 1, iBits);
    }
    case MODBUS_FC_WRITE_SINGLE_REGISTER:
        if (iLen != 5)
            return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
        return CheckRange(Word(pPdu + 1), 1, iRegisters);
    case MODBUS_FC_WRITE_MULTIPLE_COILS:
    case MODBUS_FC_WRITE_MULTIPLE_REGISTERS: {
        const bool bBits = iFunc == MODBUS_FC_WRITE_MULTIPLE_COILS;
        if (iLen < 6)
            return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
        int iQuantity = Word(pPdu + 3);
        int iBytes = pPdu[5];
        if (iQuantity < 1 || iQuantity > (bBits ? MB_MAX_WRITE_BITS : MB_MAX_WRITE_REGISTERS) ||
            iBytes != (bBits ? (iQuantity + 7) / 8 : 2 * iQuantity) || iLen != 6 + iBytes)
            return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
        return CheckRange(Word(pPdu + 1), iQuantity, bBits ? iBits : iRegisters);
    }
    case MODBUS_FC_REPORT_SLAVE_ID:
        return iLen == 1 ? 0 : MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
    case MODBUS_FC_MASK_WRITE_REGISTER:
        if (iLen != 7)
            return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
        return CheckRange(Word(pPdu + 1), 1, iRegisters);
    case MODBUS_FC_WRITE_AND_READ_REGISTERS: {
        if (iLen < 10)
            return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
        int iReadQuantity = Word(pPdu + 3);
        int iWriteQuantity = Word(pPdu + 7);
        int iBytes = pPdu[9];
        if (iReadQuantity < 1 || iReadQuantity > MB_MAX_READ_REGISTERS || iWriteQuantity < 1 ||
            iWriteQuantity > MB_MAX_WR_WRITE_REGISTERS || iBytes != 2 * iWriteQuantity ||
            iLen != 10 + iBytes)
            return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
        int iCode = CheckRange(Word(pPdu + 1), iReadQuantity, iRegisters);
        return iCode != 0 ? iCode : CheckRange(Word(pPdu + 5), iWriteQuantity, iRegisters);
    }
    default:
        // Function 7 and the other serial-line diagnostics, file records,
        // FIFO reads, encapsulated transport and anything unknown.
        return MODBUS_EXCEPTION_ILLEGAL_FUNCTION;
    }
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
    // Connections are accepted until none is pending, never waiting.
    fcntl(m_mbFD, F_SETFL, fcntl(m_mbFD, F_GETFL) | O_NONBLOCK);
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
    // Connections are accepted until none is pending, never waiting.
    fcntl(m_mbFD, F_SETFL, fcntl(m_mbFD, F_GETFL) | O_NONBLOCK);
    return 0;
}

int CModBusServerThread::CloseModbus()
{
    if (m_pmbCtx != nullptr) {
        for (auto& pConn : m_vConnections) {
            if (pConn) {
                RemoveWaitDescriptor(pConn->FD());
                pConn.reset();
            }
        }
        m_vConnections.clear();
        m_iReceiving = 0;
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
            m_bInRound = true;
            for (const pollfd& ready : m_vReady) {
                if (!m_bRun)
                    break;
                DescriptorAvailable(ready.fd);
            }
            m_bInRound = false;
            SendPendingSignals();
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
    if (m_pmbCtx != nullptr && iFD >= 0) {
        if (IsTcp()) {
            if (iFD == m_mbFD) {
                AcceptClients();
                return 0;
            }
            if (CModbusConnection* pConn = Connection(iFD)) {
                ServeConnection(*pConn);
                return 0;
            }
        } else if (iFD == m_mbFD) {
            ServeRtuQuery();
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

int CModBusServerThread::Work()
{
    CheckSendStatus();
    if (m_iReceiving > 0)
        ExpireRequests(MonotonicMs());
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
    if (m_iReceiving > 0) {
        for (const auto& pConn : m_vConnections) {
            if (pConn && pConn->Deadline() >= 0 && (llDue < 0 || pConn->Deadline() < llDue))
                llDue = pConn->Deadline();
        }
    }
    if (llDue == m_llTimerDueMs)
        return;
    m_llTimerDueMs = llDue;
    itimerspec spec;
    memset(&spec, 0, sizeof(spec));
    if (llDue >= 0) {
        spec.it_value.tv_sec = static_cast<time_t>(llDue / 1000);
        spec.it_value.tv_nsec = static_cast<long>((llDue % 1000) * 1000000L);
        if (spec.it_value.tv_sec == 0 && spec.it_value.tv_nsec == 0)
            spec.it_value.tv_nsec = 1; // all zero would disarm
    }
    timerfd_settime(m_iTimerWork, TFD_TIMER_ABSTIME, &spec, nullptr);
}

void CModBusServerThread::ExpireRequests(long long llNowMs)
{
    for (size_t i = 0; i < m_vConnections.size() && m_iReceiving > 0; i++) {
        CModbusConnection* pConn = m_vConnections[i].get();
        if (pConn == nullptr || pConn->Deadline() < 0 || pConn->Deadline() > llNowMs)
            continue;
        m_mbStat.ErrorRx++;
        LogWrite(MODNAME, 3, "Request from %s:%d not completed in time\n",
                 pConn->Client().sIp.c_str(), pConn->Client().iPort);
        DropClient(pConn->FD());
    }
}

CModbusConnection* CModBusServerThread::Connection(int iFD) const
{
    if (iFD < 0 || static_cast<size_t>(iFD) >= m_vConnections.size())
        return nullptr;
    return m_vConnections[iFD].get();
}

void CModBusServerThread::AcceptClients()
{
    for (int i = 0; i < MB_ACCEPTS_PER_ROUND; i++) {
        sockaddr_storage addr;
        socklen_t addrLen = sizeof(addr);
        int iFD = accept4(m_mbFD, reinterpret_cast<sockaddr*>(&addr), &addrLen,
                          SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (iFD >= 0) {
            AddClient(iFD, ClientFromAddress(addr));
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return;
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
}

void CModBusServerThread::AddClient(int iFD, const TcpClient_t& client)
{
    if (static_cast<size_t>(iFD) >= m_vConnections.size())
        m_vConnections.resize(static_cast<size_t>(iFD) + 1);
    m_vConnections[iFD].reset(new CModbusConnection(iFD, client));
    AddWaitDescriptor(iFD, POLLIN | POLLPRI);
    LogWrite(MODNAME, 3, "New connection from %s:%d\n", client.sIp.c_str(), client.iPort);
    SendClientEvent("tcpconnect", client);
}

void CModBusServerThread::DropClient(int iFD)
{
    CModbusConnection* pConn = Connection(iFD);
    if (pConn == nullptr)
        return;
    LogWrite(MODNAME, 3, "Close socket\n");
    RemoveWaitDescriptor(iFD);
    if (m_pmbCtx != nullptr && modbus_get_socket(m_pmbCtx) == iFD)
        modbus_set_socket(m_pmbCtx, -1);
    if (pConn->Deadline() >= 0)
        m_iReceiving--;
    TcpClient_t client = pConn->Client();
    m_vConnections[iFD].reset();
    SendClientEvent("tcpdisconnect", client);
}

void CModBusServerThread::ServeConnection(CModbusConnection& conn)
{
    const int iFD = conn.FD();
    // Keeps the count of connections with a pending deadline in step with
    // this one, before it is dropped or when its round ends.
    const bool bHadDeadline = conn.Deadline() >= 0;
    auto settle = [&]() { m_iReceiving += (conn.Deadline() >= 0) - bHadDeadline; };

    CModbusConnection::Fill_t eFill = conn.Fill();
    if (eFill == CModbusConnection::FILL_CLOSED || eFill == CModbusConnection::FILL_ERROR) {
        int iErrno = eFill == CModbusConnection::FILL_CLOSED ? ECONNRESET : errno;
        // A peer that closes its connection is not a reception error.
        if (iErrno != ECONNRESET)
            m_mbStat.ErrorRx++;
        LogWrite(MODNAME, 3, "Connection closed %s\n", modbus_strerror(iErrno));
        DropClient(iFD);
        return;
    }
    // Every complete request is answered, in the order it came.
    for (;;) {
        const uint8_t* pAdu = nullptr;
        int iLen = 0;
        CModbusConnection::Frame_t eFrame = conn.NextFrame(pAdu, iLen);
        if (eFrame == CModbusConnection::FRAME_NONE)
            break;
        if (eFrame == CModbusConnection::FRAME_DISCARD) {
            m_mbStat.ErrorRx++;
            LogWrite(MODNAME, 3, "Frame from %s:%d is not Modbus (protocol id), discarded\n",
                     conn.Client().sIp.c_str(), conn.Client().iPort);
            continue;
        }
        if (eFrame == CModbusConnection::FRAME_BROKEN) {
            m_mbStat.ErrorRx++;
            LogWrite(MODNAME, 3, "Frame from %s:%d has an invalid length, closing\n",
                     conn.Client().sIp.c_str(), conn.Client().iPort);
            settle();
            DropClient(iFD);
            return;
        }
        if (!AnswerRequest(&conn, pAdu, iLen)) {
            settle();
            DropClient(iFD);
            return;
        }
    }
    if (conn.IsReceiving() && conn.Deadline() < 0)
        conn.UpdateDeadline(MonotonicMs(), MB_REQUEST_TIMEOUT_MS);
    settle();
}

void CModBusServerThread::ServeRtuQuery()
{
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    memset(query, 0xFF, 100);
    rc = modbus_receive(m_pmbCtx, query);
    if (rc == -1) {
        int iErrno = errno;
        if (iErrno != ECONNRESET)
            m_mbStat.ErrorRx++;
        LogWrite(MODNAME, 3, "Connection closed %s\n", modbus_strerror(iErrno));
        // Nothing is answered to a broken frame; what is left of it is dropped.
        modbus_flush(m_pmbCtx);
        return;
    }
    if (rc == 0)
        return; // a query for another unit
    AnswerRequest(nullptr, query, rc);
}

bool CModBusServerThread::AnswerRequest(CModbusConnection* pConn, const uint8_t* pAdu, int iLen)
{
    // TCP: MBAP header, then the PDU. RTU: unit id, PDU, CRC.
    const int iHeader = pConn != nullptr ? MBAP_HEADER_LENGTH : 1;
    const int iPduLen = iLen - iHeader - (pConn != nullptr ? 0 : 2);
    if (iPduLen < 1)
        return true;
    const uint8_t* pPdu = pAdu + iHeader;
    m_mbStat.ValidRx++;
    const int iCode = CheckRequest(pPdu, iPduLen, MB_BIT_COUNT, m_regs.Length());
    bool bSent = true;
    if (iCode != 0) {
        bSent = SendException(pConn, pAdu, pPdu[0], iCode);
        // Reported as before; a refused write changed nothing.
        ProcessModbusQuery(pAdu, iLen, false);
    } else if (pPdu[0] == MODBUS_FC_WRITE_AND_READ_REGISTERS) {
        bSent = AnswerWriteAndRead(pConn, pAdu, iLen);
    } else {
        if (pConn != nullptr)
            modbus_set_socket(m_pmbCtx, pConn->FD());
        rc = modbus_reply(m_pmbCtx, pAdu, iLen, m_regs.Mapping());
        bSent = rc != -1;
        if (bSent && rc > 0)
            m_mbStat.ValidTx++;
        // libmodbus has written into the Modbus registers even when the
        // answer could not be sent, so the access rules are applied in
        // every case.
        ProcessModbusQuery(pAdu, iLen, true);
    }
    if (!bSent) {
        m_mbStat.ErrorTx++;
        LogWrite(MODNAME, 3, "Reply error %s\n", modbus_strerror(errno));
    }
    // On the serial line a failed answer leaves nothing to drop.
    return bSent || pConn == nullptr;
}

bool CModBusServerThread::SendPdu(CModbusConnection* pConn, const uint8_t* pAdu,
                                  const uint8_t* pPdu, int iPduLen)
{
    uint8_t abyRsp[MODBUS_TCP_MAX_ADU_LENGTH];
    if (iPduLen < 1 || iPduLen > MODBUS_MAX_PDU_LENGTH)
        return false;
    bool bSent;
    if (pConn != nullptr) {
        // The request's transaction id and unit id, protocol id 0, and the
        // length of what follows.
        abyRsp[0] = pAdu[0];
        abyRsp[1] = pAdu[1];
        abyRsp[2] = 0;
        abyRsp[3] = 0;
        abyRsp[4] = static_cast<uint8_t>((iPduLen + 1) >> 8);
        abyRsp[5] = static_cast<uint8_t>((iPduLen + 1) & 0xFF);
        abyRsp[6] = pAdu[6];
        memcpy(abyRsp + MBAP_HEADER_LENGTH, pPdu, static_cast<size_t>(iPduLen));
        bSent = pConn->Send(abyRsp, MBAP_HEADER_LENGTH + iPduLen);
    } else {
        // A broadcast is never answered.
        if (pAdu[0] == MODBUS_BROADCAST_ADDRESS)
            return true;
        abyRsp[0] = pAdu[0];
        memcpy(abyRsp + 1, pPdu, static_cast<size_t>(iPduLen));
        // libmodbus adds the CRC.
        bSent = modbus_send_raw_request(m_pmbCtx, abyRsp, iPduLen + 1) > 0;
    }
    if (bSent)
        m_mbStat.ValidTx++;
    return bSent;
}

bool CModBusServerThread::SendException(CModbusConnection* pConn, const uint8_t* pAdu,
                                        int iFunction, int iCode)
{
    // Bit 7 marks the answer as an exception; a function code that has it
    // already keeps it.
    const uint8_t abyPdu[2] = {static_cast<uint8_t>(iFunction | 0x80), static_cast<uint8_t>(iCode)};
    LogWrite(MODNAME, 7, "Exception %d for function %02X\n", iCode, iFunction);
    return SendPdu(pConn, pAdu, abyPdu, sizeof(abyPdu));
}

bool CModBusServerThread::AnswerWriteAndRead(CModbusConnection* pConn, const uint8_t* pAdu,
                                             int iLen)
{
    const uint8_t* pPdu = pAdu + (pConn != nullptr ? MBAP_HEADER_LENGTH : 1);
    const int iReadAddr = Word(pPdu + 1);
    const int iReadQuantity = Word(pPdu + 3);
    const int iWriteAddr = Word(pPdu + 5);
    const int iWriteQuantity = Word(pPdu + 7);
    // The write comes first, and the access rules with it, so the read part
    // answers what the registers hold afterwards, as a later read would.
    uint16_t* pRegisters = m_regs.Mapping()->tab_registers;
    for (int i = 0; i < iWriteQuantity; i++)
        pRegisters[iWriteAddr + i] = static_cast<uint16_t>(Word(pPdu + 10 + 2 * i));
    ProcessModbusQuery(pAdu, iLen, true);

    uint8_t abyPdu[2 + 2 * MB_MAX_READ_REGISTERS];
    abyPdu[0] = MODBUS_FC_WRITE_AND_READ_REGISTERS;
    abyPdu[1] = static_cast<uint8_t>(2 * iReadQuantity);
    for (int i = 0; i < iReadQuantity; i++) {
        uint16_t usValue = pRegisters[iReadAddr + i];
        abyPdu[2 + 2 * i] = static_cast<uint8_t>(usValue >> 8);
        abyPdu[3 + 2 * i] = static_cast<uint8_t>(usValue & 0xFF);
    }
    return SendPdu(pConn, pAdu, abyPdu, 2 + 2 * iReadQuantity);
}

void CModBusServerThread::ProcessModbusQuery(const uint8_t* pQuery, int iLen)
{
    ProcessModbusQuery(pQuery, iLen, true);
}

void CModBusServerThread::ProcessModbusQuery(const uint8_t* pQuery, int iLen, bool bWritten)
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
        ProcessModbusQueryWrite(iAddr, 1, bWritten);
        break;
    case MODBUS_FC_WRITE_MULTIPLE_REGISTERS:
        ProcessModbusQueryWrite(iAddr, iQuantity, bWritten);
        break;
    // Two more register writes; without their post-processing a master
    // could change read-only registers with them.
    case MODBUS_FC_MASK_WRITE_REGISTER:
        ProcessModbusQueryWrite(iAddr, 1, bWritten);
        break;
    case MODBUS_FC_WRITE_AND_READ_REGISTERS:
        // Read address and quantity, then write address and quantity; the
        // write is executed before the read.
        if (iLen >= iHeader + 9) {
            ProcessModbusQueryWrite((pPdu[5] << 8) | pPdu[6], (pPdu[7] << 8) | pPdu[8], bWritten);
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

void CModBusServerThread::ProcessModbusQueryWrite(int iAddr, int iLen, bool bWritten)
{
    LogWrite(MODNAME, 7, "Query: write register, addr=%d, len=%d\n", iAddr, iLen);
    // A refused write reached no register: applying the rules would copy the
    // Modbus side of a "w" register over the controller's value.
    int iVisited =
        bWritten
            ? m_regs.ApplyMasterWrite(iAddr, iLen)
            : static_cast<int>(std::max<long long>(
                  0, std::min<long long>(iLen, static_cast<long long>(m_regs.Length()) - iAddr)));
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
    // Sent after every master write, so the text is written directly (in the
    // indented form of JsonPrintIndented) rather than built as a JSON tree.
    std::string sText = "[\n\t{\n\t\t\"address\": ";
    sText += std::to_string(zone.iAddress);
    sText += ",\n\t\t\"values\": ";
    if (zone.iLength <= 0) {
        sText += "[]";
    } else {
        sText += "\n\t\t[";
        for (int i = 0; i < zone.iLength; i++) {
            sText += "\n\t\t\t";
            sText += std::to_string(m_regs.BackendValue(static_cast<long long>(zone.iAddress) + i));
            if (i + 1 < zone.iLength)
                sText += ',';
        }
        sText += "\n\t\t]";
    }
    sText += "\n\t}\n]";
    SendTextSignal("data", sText, "Message 'modbus data' sent");
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
    if (m_pDBusConn != nullptr)
        SendTextSignal(pszMember, JsonPrintIndented(pJson), pszSentLog);
}

void CModBusServerThread::SendTextSignal(const char* pszMember, const std::string& sText,
                                         const char* pszSentLog)
{
    if (m_pDBusConn == nullptr)
        return;
    if (m_bInRound) {
        // The text is final (it shows the registers as they are now); it
        // goes out once every master served in this round has its answer.
        m_vPendingSignals.push_back({pszMember, sText, pszSentLog});
        return;
    }
    EmitSignal(pszMember, sText, pszSentLog);
}

void CModBusServerThread::SendPendingSignals()
{
    for (const PendingSignal_t& signal : m_vPendingSignals)
        EmitSignal(signal.pszMember, signal.sText, signal.pszSentLog);
    m_vPendingSignals.clear();
}

void CModBusServerThread::EmitSignal(const char* pszMember, const std::string& sText,
                                     const char* pszSentLog)
{
    if (m_pDBusConn == nullptr)
        return;
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
        // Queued, not flushed: libdbus writes what the socket takes at once
        // and the loop writes the rest when the bus socket is writable, so a
        // slow listener never holds up the masters.
        LogWrite(MODNAME, 7, "%s", pszSentLog);
    }
    dbus_message_unref(pMsg);
}
