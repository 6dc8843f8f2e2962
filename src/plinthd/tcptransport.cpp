#include "tcptransport.h"

#include <arpa/inet.h>
#include <cJSON.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "log.h"
#include "tcpconnection.h"
#include "plinthdiface.h"
#include "requesthandler.h"
#include "waitlist.h"
#include "plinthdjson.h"

#define MODNAME "MBSRV "

namespace
{

// Backlog used when the configuration gives none: enough for a burst of
// masters connecting at once (a backlog of 0 makes the kernel drop SYNs
// and the masters wait seconds for their retransmission).
constexpr int MB_LISTEN_BACKLOG = 128;

// Connections taken from the backlog in one round of the loop.
constexpr int MB_ACCEPTS_PER_ROUND = 16;

long long MonotonicMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000LL + ts.tv_nsec / 1000000L;
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

CTcpTransport::CTcpTransport(CWaitList& waitList, CRequestHandler& handler, ModbusStat_t& stat)
    : m_waitList(waitList), m_handler(handler), m_stat(stat)
{
    m_iSpareFD = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

CTcpTransport::~CTcpTransport()
{
    Close();
    if (m_iSpareFD >= 0)
        close(m_iSpareFD);
}

int CTcpTransport::OpenTcp(const ModbusTcpConfig_t& cfg)
{
    const std::string& sListen = cfg.sListen;
    const char* pszAddr = (sListen.empty() || sListen == "0.0.0.0") ? nullptr : sListen.c_str();
    if (m_pCtx != nullptr)
        return DBUS_ERR_INVALID_STATE;
    m_pCtx = modbus_new_tcp(pszAddr, cfg.iPort);
    if (m_pCtx == nullptr) {
        LogWrite(MODNAME, LOG_ERR, "Failed to allocate to open Modbus TCP: %s",
                 modbus_strerror(errno));
        return MBSRV_ERR_OPEN;
    }
    int iBacklog = cfg.iClients > 0 ? cfg.iClients : MB_LISTEN_BACKLOG;
    m_iListenFD = modbus_tcp_listen(m_pCtx, iBacklog);
    return Listen(std::string(pszAddr ? pszAddr : "*") + ":" + std::to_string(cfg.iPort));
}

int CTcpTransport::OpenTcpPi(const ModbusTcpPiConfig_t& cfg)
{
    const char* pszNode = cfg.sListen.empty() ? nullptr : cfg.sListen.c_str();
    if (m_pCtx != nullptr)
        return DBUS_ERR_INVALID_STATE;
    m_pCtx = modbus_new_tcp_pi(pszNode, cfg.sService.c_str());
    if (m_pCtx == nullptr) {
        LogWrite(MODNAME, LOG_ERR, "Failed to allocate to open Modbus TCP-PI: %s",
                 modbus_strerror(errno));
        return MBSRV_ERR_OPEN;
    }
    int iBacklog = cfg.iClients > 0 ? cfg.iClients : MB_LISTEN_BACKLOG;
    m_iListenFD = modbus_tcp_pi_listen(m_pCtx, iBacklog);
    return Listen(std::string(pszNode ? pszNode : "*") + ":" + cfg.sService);
}

int CTcpTransport::Listen(const std::string& sWhere)
{
    if (m_iListenFD < 0) {
        LogWrite(MODNAME, LOG_ERR, "Unable to listen on %s: %s", sWhere.c_str(),
                 modbus_strerror(errno));
        m_iListenFD = -1;
        return MBSRV_ERR_OPEN;
    }
    // Connections are accepted until none is pending, never waiting.
    fcntl(m_iListenFD, F_SETFL, fcntl(m_iListenFD, F_GETFL) | O_NONBLOCK);
    m_waitList.Watch(m_iListenFD, POLLIN);
    return 0;
}

void CTcpTransport::Close()
{
    for (auto& pConn : m_vConnections) {
        if (pConn) {
            m_waitList.Unwatch(pConn->FD());
            pConn.reset();
        }
    }
    m_vConnections.clear();
    m_iReceiving = 0;
    if (m_iListenFD >= 0) {
        m_waitList.Unwatch(m_iListenFD);
        // The listening socket is ours to close, so that a later "init" can
        // listen on the same port again.
        close(m_iListenFD);
    }
    m_iListenFD = -1;
    if (m_pCtx != nullptr) {
        modbus_set_socket(m_pCtx, -1);
        modbus_free(m_pCtx);
        m_pCtx = nullptr;
    }
}

bool CTcpTransport::Serve(int iFD)
{
    if (m_pCtx == nullptr || iFD < 0)
        return false;
    if (iFD == m_iListenFD) {
        AcceptClients();
        return true;
    }
    if (CTcpConnection* pConn = Connection(iFD)) {
        ServeConnection(*pConn);
        return true;
    }
    return false;
}

long long CTcpTransport::NextDeadline() const
{
    long long llDue = -1;
    if (m_iReceiving > 0) {
        for (const auto& pConn : m_vConnections) {
            if (pConn && pConn->Deadline() >= 0 && (llDue < 0 || pConn->Deadline() < llDue))
                llDue = pConn->Deadline();
        }
    }
    return llDue;
}

void CTcpTransport::ExpireRequests(long long llNowMs)
{
    for (size_t i = 0; i < m_vConnections.size() && m_iReceiving > 0; i++) {
        CTcpConnection* pConn = m_vConnections[i].get();
        if (pConn == nullptr || pConn->Deadline() < 0 || pConn->Deadline() > llNowMs)
            continue;
        m_stat.ErrorRx++;
        LogWrite(MODNAME, LOG_WARNING, "Request from %s:%d not completed in time\n",
                 pConn->Client().sIp.c_str(), pConn->Client().iPort);
        DropClient(pConn->FD());
    }
}

void CTcpTransport::AddClientsToStatus(cJSON* pArray) const
{
    for (const auto& pConn : m_vConnections) {
        if (!pConn)
            continue;
        const ClientStat_t& stat = pConn->Stat();
        cJSON* pClient = cJSON_CreateObject();
        cJSON_AddStringToObject(pClient, "ip", pConn->Client().sIp.c_str());
        cJSON_AddNumberToObject(pClient, PLINTHD_KEY_PORT, pConn->Client().iPort);
        cJSON_AddNumberToObject(pClient, "requests", stat.uiRequests);
        cJSON_AddNumberToObject(pClient, "exceptions", stat.uiExceptions);
        cJSON_AddNumberToObject(pClient, "bytesin", static_cast<double>(stat.ullBytesIn));
        cJSON_AddNumberToObject(pClient, "bytesout", static_cast<double>(stat.ullBytesOut));
        cJSON_AddNumberToObject(pClient, "since", static_cast<double>(stat.llSince));
        cJSON_AddItemToArray(pArray, pClient);
    }
}

CTcpConnection* CTcpTransport::Connection(int iFD) const
{
    if (iFD < 0 || static_cast<size_t>(iFD) >= m_vConnections.size())
        return nullptr;
    return m_vConnections[iFD].get();
}

void CTcpTransport::AcceptClients()
{
    for (int i = 0; i < MB_ACCEPTS_PER_ROUND; i++) {
        sockaddr_storage addr;
        socklen_t addrLen = sizeof(addr);
        int iFD = accept4(m_iListenFD, reinterpret_cast<sockaddr*>(&addr), &addrLen,
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
            iFD = accept4(m_iListenFD, reinterpret_cast<sockaddr*>(&addr), &addrLen, SOCK_CLOEXEC);
            if (iFD >= 0)
                close(iFD);
            m_iSpareFD = open("/dev/null", O_RDONLY | O_CLOEXEC);
            LogWrite(MODNAME, LOG_ERR, "Out of descriptors, connection refused\n");
            return;
        }
        LogWrite(MODNAME, LOG_ERR, "Accept error\n");
        return;
    }
}

void CTcpTransport::AddClient(int iFD, const TcpClient_t& client)
{
    if (static_cast<size_t>(iFD) >= m_vConnections.size())
        m_vConnections.resize(static_cast<size_t>(iFD) + 1);
    m_vConnections[iFD].reset(new CTcpConnection(iFD, client));
    m_waitList.Watch(iFD, POLLIN | POLLPRI);
    LogWrite(MODNAME, LOG_INFO, "New connection from %s:%d\n", client.sIp.c_str(), client.iPort);
    m_handler.ReportClient("tcpconnect", client);
}

void CTcpTransport::DropClient(int iFD)
{
    CTcpConnection* pConn = Connection(iFD);
    if (pConn == nullptr)
        return;
    LogWrite(MODNAME, LOG_INFO, "Close socket\n");
    m_waitList.Unwatch(iFD);
    if (pConn->Deadline() >= 0)
        m_iReceiving--;
    TcpClient_t client = pConn->Client();
    m_vConnections[iFD].reset();
    m_handler.ReportClient("tcpdisconnect", client);
}

void CTcpTransport::ServeConnection(CTcpConnection& conn)
{
    const int iFD = conn.FD();
    // Keeps the count of connections with a pending deadline in step with
    // this one, before it is dropped or when its round ends.
    const bool bHadDeadline = conn.Deadline() >= 0;
    auto settle = [&]() { m_iReceiving += (conn.Deadline() >= 0) - bHadDeadline; };

    CTcpConnection::Fill_t eFill = conn.Fill();
    if (eFill == CTcpConnection::FILL_CLOSED || eFill == CTcpConnection::FILL_ERROR) {
        int iErrno = eFill == CTcpConnection::FILL_CLOSED ? ECONNRESET : errno;
        // A peer that closes its connection is not a reception error.
        if (iErrno != ECONNRESET)
            m_stat.ErrorRx++;
        LogWrite(MODNAME, iErrno == ECONNRESET ? LOG_INFO : LOG_WARNING, "Connection closed %s\n",
                 modbus_strerror(iErrno));
        DropClient(iFD);
        return;
    }
    // Every complete request is answered, in the order it came.
    for (;;) {
        const uint8_t* pAdu = nullptr;
        int iLen = 0;
        CTcpConnection::Frame_t eFrame = conn.NextFrame(pAdu, iLen);
        if (eFrame == CTcpConnection::FRAME_NONE)
            break;
        if (eFrame == CTcpConnection::FRAME_DISCARD) {
            m_stat.ErrorRx++;
            LogWrite(MODNAME, LOG_WARNING,
                     "Frame from %s:%d is not Modbus (protocol id), discarded\n",
                     conn.Client().sIp.c_str(), conn.Client().iPort);
            continue;
        }
        if (eFrame == CTcpConnection::FRAME_BROKEN) {
            m_stat.ErrorRx++;
            LogWrite(MODNAME, LOG_WARNING, "Frame from %s:%d has an invalid length, closing\n",
                     conn.Client().sIp.c_str(), conn.Client().iPort);
            settle();
            DropClient(iFD);
            return;
        }
        if (!AnswerRequest(conn, pAdu, iLen)) {
            settle();
            DropClient(iFD);
            return;
        }
    }
    if (conn.IsReceiving() && conn.Deadline() < 0)
        conn.UpdateDeadline(MonotonicMs(), MB_REQUEST_TIMEOUT_MS);
    settle();
}

bool CTcpTransport::AnswerRequest(CTcpConnection& conn, const uint8_t* pAdu, int iLen)
{
    const int iPduLen = iLen - MBAP_HEADER_LENGTH;
    if (iPduLen < 1)
        return true;
    m_stat.ValidRx++;
    MbRequest_t request;
    request.iUnit = pAdu[6];
    request.pPdu = pAdu + MBAP_HEADER_LENGTH;
    request.iPduLen = iPduLen;
    request.iAduLen = iLen;
    request.bRtu = false;

    // The request's transaction id and unit id, protocol id 0, and the
    // length of what follows.
    uint8_t abyRsp[MBAP_HEADER_LENGTH + MB_MAX_ANSWER_PDU];
    bool bException = false;
    const int iAnswer = m_handler.Handle(request, abyRsp + MBAP_HEADER_LENGTH, bException);
    if (bException)
        conn.CountException();
    abyRsp[0] = pAdu[0];
    abyRsp[1] = pAdu[1];
    abyRsp[2] = 0;
    abyRsp[3] = 0;
    abyRsp[4] = static_cast<uint8_t>((iAnswer + 1) >> 8);
    abyRsp[5] = static_cast<uint8_t>((iAnswer + 1) & 0xFF);
    abyRsp[6] = pAdu[6];
    if (!conn.Send(abyRsp, MBAP_HEADER_LENGTH + iAnswer)) {
        m_stat.ErrorTx++;
        LogWrite(MODNAME, LOG_WARNING, "Reply error %s\n", modbus_strerror(errno));
        return false;
    }
    m_stat.ValidTx++;
    // A master that does not read its answers while it keeps asking: its
    // answers pile up in the send queue without bound unless it is dropped.
    // Looked at every few answers: one system call per answer would cost
    // more than the answer itself.
    if (conn.Stat().uiRequests % MB_UNSENT_CHECK_PERIOD != 0)
        return true;
    const int iUnsent = conn.Unsent();
    if (iUnsent > MB_MAX_UNSENT_BYTES) {
        m_stat.ErrorTx++;
        LogWrite(MODNAME, LOG_WARNING, "Master %s:%d leaves %d bytes of answers unread, closing\n",
                 conn.Client().sIp.c_str(), conn.Client().iPort, iUnsent);
        return false;
    }
    return true;
}
