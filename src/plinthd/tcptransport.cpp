#include "tcptransport.h"

#include <arpa/inet.h>
#include <cJSON.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "log.h"
#include "tcpconnection.h"
#include "tlstransport.h"
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

int CTcpTransport::OpenTcp(const ModbusTcpConfig_t& cfg, const ServingConfig_t& serving)
{
    const std::string& sListen = cfg.sListen;
    const char* pszAddr = (sListen.empty() || sListen == "0.0.0.0") ? nullptr : sListen.c_str();
    if (m_bOpen)
        return DBUS_ERR_INVALID_STATE;
    m_serving = serving;
    m_limits = LimitCount_t();
    // Port 0: the secure port alone.
    if (cfg.iPort > 0 || !serving.pTls) {
        m_pCtx = modbus_new_tcp(pszAddr, cfg.iPort);
        if (m_pCtx == nullptr) {
            LogWrite(MODNAME, LOG_ERR, "Failed to allocate to open Modbus TCP: %s",
                     modbus_strerror(errno));
            return MBSRV_ERR_OPEN;
        }
        // The backlog only holds masters until they are accepted; how many
        // are served is the connection limit's business.
        m_iListenFD = modbus_tcp_listen(m_pCtx, MB_LISTEN_BACKLOG);
        int iErr = Listen(std::string(pszAddr ? pszAddr : "*") + ":" + std::to_string(cfg.iPort));
        if (iErr != 0) {
            Close();
            return iErr;
        }
    }
    // Plain TCP listens on IPv4: so does the secure port beside it.
    int iErr = OpenTls(pszAddr ? pszAddr : "0.0.0.0");
    if (iErr != 0) {
        Close();
        return iErr;
    }
    m_bOpen = true;
    return 0;
}

int CTcpTransport::OpenTcpPi(const ModbusTcpPiConfig_t& cfg, const ServingConfig_t& serving)
{
    const char* pszNode = cfg.sListen.empty() ? nullptr : cfg.sListen.c_str();
    if (m_bOpen)
        return DBUS_ERR_INVALID_STATE;
    m_serving = serving;
    m_limits = LimitCount_t();
    if (!cfg.sService.empty() || !serving.pTls) {
        m_pCtx = modbus_new_tcp_pi(pszNode, cfg.sService.c_str());
        if (m_pCtx == nullptr) {
            LogWrite(MODNAME, LOG_ERR, "Failed to allocate to open Modbus TCP-PI: %s",
                     modbus_strerror(errno));
            return MBSRV_ERR_OPEN;
        }
        m_iListenFD = modbus_tcp_pi_listen(m_pCtx, MB_LISTEN_BACKLOG);
        int iErr = Listen(std::string(pszNode ? pszNode : "*") + ":" + cfg.sService);
        if (iErr != 0) {
            Close();
            return iErr;
        }
    }
    int iErr = OpenTls(cfg.sListen);
    if (iErr != 0) {
        Close();
        return iErr;
    }
    m_bOpen = true;
    return 0;
}

int CTcpTransport::OpenTls(const std::string& sNode)
{
    if (!m_serving.pTls)
        return 0;
    std::string sError;
    const std::string sService = std::to_string(m_serving.pTls->Port());
    m_iTlsListenFD = ListenTcp(sNode, sService, MB_LISTEN_BACKLOG, sError);
    if (m_iTlsListenFD < 0) {
        LogWrite(MODNAME, LOG_ERR, "Unable to listen on %s:%s (TLS): %s",
                 sNode.empty() ? "*" : sNode.c_str(), sService.c_str(), sError.c_str());
        return MBSRV_ERR_OPEN;
    }
    m_waitList.Watch(m_iTlsListenFD, POLLIN);
    LogWrite(MODNAME, LOG_INFO, "Modbus/TCP Security on %s:%s, %zu roles%s%s",
             sNode.empty() ? "*" : sNode.c_str(), sService.c_str(), m_serving.pTls->Roles().Size(),
             m_serving.pTls->Roles().DefaultRole().empty() ? "" : ", default ",
             m_serving.pTls->Roles().DefaultRole().c_str());
    return 0;
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
    m_iConnections = 0;
    if (m_iTlsListenFD >= 0) {
        m_waitList.Unwatch(m_iTlsListenFD);
        close(m_iTlsListenFD);
    }
    m_iTlsListenFD = -1;
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
    m_bOpen = false;
}

bool CTcpTransport::Serve(int iFD)
{
    if (!m_bOpen || iFD < 0)
        return false;
    if (iFD == m_iListenFD || iFD == m_iTlsListenFD) {
        AcceptOn(iFD, iFD == m_iTlsListenFD);
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
    const long long llIdleMs = m_serving.iIdleTimeoutS * 1000LL;
    if (m_iReceiving == 0 && llIdleMs == 0)
        return llDue;
    for (const auto& pConn : m_vConnections) {
        if (!pConn)
            continue;
        if (pConn->Deadline() >= 0 && (llDue < 0 || pConn->Deadline() < llDue))
            llDue = pConn->Deadline();
        if (llIdleMs > 0) {
            const long long llIdleDue = pConn->LastActiveMs() + llIdleMs;
            if (llDue < 0 || llIdleDue < llDue)
                llDue = llIdleDue;
        }
    }
    return llDue;
}

void CTcpTransport::ExpireRequests(long long llNowMs)
{
    const long long llIdleMs = m_serving.iIdleTimeoutS * 1000LL;
    for (size_t i = 0; i < m_vConnections.size() && (m_iReceiving > 0 || llIdleMs > 0); i++) {
        CTcpConnection* pConn = m_vConnections[i].get();
        if (pConn == nullptr)
            continue;
        if (pConn->Deadline() >= 0 && pConn->Deadline() <= llNowMs) {
            m_stat.ErrorRx++;
            if (pConn->Tls() && !pConn->Tls()->Established()) {
                m_limits.uiTlsFailed++;
                LogWrite(MODNAME, LOG_WARNING, "TLS handshake with %s:%d not completed in time\n",
                         pConn->Client().sIp.c_str(), pConn->Client().iPort);
            } else {
                LogWrite(MODNAME, LOG_WARNING, "Request from %s:%d not completed in time\n",
                         pConn->Client().sIp.c_str(), pConn->Client().iPort);
            }
            DropClient(pConn->FD());
        } else if (llIdleMs > 0 && pConn->LastActiveMs() + llIdleMs <= llNowMs) {
            m_limits.uiIdleClosed++;
            LogWrite(MODNAME, LOG_INFO, "Master %s:%d idle for %d s, closing\n",
                     pConn->Client().sIp.c_str(), pConn->Client().iPort, m_serving.iIdleTimeoutS);
            DropClient(pConn->FD());
        }
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
        const CTlsSession* pTls = pConn->Tls();
        cJSON_AddNumberToObject(pClient, "idlems",
                                static_cast<double>(MonotonicMs() - pConn->LastActiveMs()));
        cJSON_AddStringToObject(pClient, "transport", pTls ? "tls" : "tcp");
        if (pTls) {
            cJSON_AddStringToObject(pClient, "subject", pTls->Subject().c_str());
            cJSON_AddStringToObject(pClient, "role", pTls->Role().c_str());
        }
        cJSON_AddBoolToObject(pClient, "write", pConn->Rights().CanWrite());
        cJSON_AddItemToArray(pArray, pClient);
    }
}

void CTcpTransport::AddLimitsToStatus(cJSON* pStatus) const
{
    if (!m_bOpen)
        return;
    cJSON* pLimits = cJSON_AddObjectToObject(pStatus, "limits");
    cJSON_AddNumberToObject(pLimits, "maxclients", m_serving.iMaxClients);
    cJSON_AddNumberToObject(pLimits, PLINTHD_KEY_IDLETIMEOUT, m_serving.iIdleTimeoutS);
    cJSON_AddNumberToObject(pLimits, "evicted", m_limits.uiEvicted);
    cJSON_AddNumberToObject(pLimits, "idleclosed", m_limits.uiIdleClosed);
    cJSON_AddNumberToObject(pLimits, "refused", m_limits.uiRefused);
    cJSON_AddNumberToObject(pLimits, "tlsfailed", m_limits.uiTlsFailed);
    cJSON_AddBoolToObject(pLimits, PLINTHD_KEY_TLS, m_iTlsListenFD >= 0);
}

CTcpConnection* CTcpTransport::Connection(int iFD) const
{
    if (iFD < 0 || static_cast<size_t>(iFD) >= m_vConnections.size())
        return nullptr;
    return m_vConnections[iFD].get();
}

void CTcpTransport::AcceptOn(int iListenFD, bool bTls)
{
    for (int i = 0; i < MB_ACCEPTS_PER_ROUND; i++) {
        sockaddr_storage addr;
        socklen_t addrLen = sizeof(addr);
        int iFD = accept4(iListenFD, reinterpret_cast<sockaddr*>(&addr), &addrLen,
                          SOCK_CLOEXEC | SOCK_NONBLOCK);
        bool bReserve = false;
        if (iFD < 0 && (errno == EMFILE || errno == ENFILE) && m_iSpareFD >= 0) {
            // Out of descriptors: the spare one takes the newcomer, and the
            // master idle the longest gives its own back below.
            close(m_iSpareFD);
            m_iSpareFD = -1;
            addrLen = sizeof(addr);
            iFD = accept4(iListenFD, reinterpret_cast<sockaddr*>(&addr), &addrLen,
                          SOCK_CLOEXEC | SOCK_NONBLOCK);
            bReserve = true;
        }
        if (iFD < 0) {
            if (bReserve)
                m_iSpareFD = open("/dev/null", O_RDONLY | O_CLOEXEC);
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return;
            LogWrite(MODNAME, LOG_ERR, "Accept error\n");
            return;
        }
        const TcpClient_t client = ClientFromAddress(addr);
        if (!m_serving.allowConnect.Admits(addr)) {
            close(iFD);
            m_limits.uiRefused++;
            LogWrite(MODNAME, LOG_WARNING, "Connection from %s:%d refused: address not allowed\n",
                     client.sIp.c_str(), client.iPort);
        } else if ((m_iConnections >= m_serving.iMaxClients || bReserve) && !EvictIdlest(client)) {
            close(iFD);
            LogWrite(MODNAME, LOG_ERR, "Out of descriptors, connection from %s:%d refused\n",
                     client.sIp.c_str(), client.iPort);
        } else {
            AddClient(iFD, client, addr, bTls);
        }
        if (bReserve) {
            m_iSpareFD = open("/dev/null", O_RDONLY | O_CLOEXEC);
            if (m_iSpareFD < 0)
                LogWrite(MODNAME, LOG_ERR, "No spare descriptor left: %s\n", strerror(errno));
        }
    }
}

bool CTcpTransport::EvictIdlest(const TcpClient_t& newcomer)
{
    CTcpConnection* pIdlest = nullptr;
    for (const auto& pConn : m_vConnections) {
        if (!pConn)
            continue;
        if (pIdlest == nullptr || pConn->ActivityRank() < pIdlest->ActivityRank())
            pIdlest = pConn.get();
    }
    if (pIdlest == nullptr)
        return false;
    m_limits.uiEvicted++;
    LogWrite(MODNAME, LOG_WARNING,
             "%d masters connected, closing %s:%d (idle %lld ms) to admit %s:%d\n", m_iConnections,
             pIdlest->Client().sIp.c_str(), pIdlest->Client().iPort,
             MonotonicMs() - pIdlest->LastActiveMs(), newcomer.sIp.c_str(), newcomer.iPort);
    DropClient(pIdlest->FD());
    return true;
}

void CTcpTransport::AddClient(int iFD, const TcpClient_t& client, const sockaddr_storage& addr,
                              bool bTls)
{
    std::unique_ptr<CTlsSession> pTls;
    if (bTls) {
        // Handshake flights and answers are small records written one after
        // the other: without this, the second waits for the master's
        // delayed acknowledgement of the first.
        int iOne = 1;
        setsockopt(iFD, IPPROTO_TCP, TCP_NODELAY, &iOne, sizeof(iOne));
        pTls.reset(
            new CTlsSession(m_serving.pTls, iFD, client.sIp + ":" + std::to_string(client.iPort)));
        if (!pTls->Valid()) {
            close(iFD);
            m_limits.uiTlsFailed++;
            LogWrite(MODNAME, LOG_ERR, "No TLS session for %s:%d\n", client.sIp.c_str(),
                     client.iPort);
            return;
        }
    }
    if (static_cast<size_t>(iFD) >= m_vConnections.size())
        m_vConnections.resize(static_cast<size_t>(iFD) + 1);
    CTcpConnection* pConn = new CTcpConnection(iFD, client, std::move(pTls));
    m_vConnections[iFD].reset(pConn);
    m_iConnections++;
    const long long llNow = MonotonicMs();
    pConn->SetActive(llNow);
    pConn->SetActivityRank(++m_ullActivity);
    CMasterRights rights;
    if (!m_serving.allowWrite.Admits(addr))
        rights.ForbidWrite();
    pConn->SetRights(rights);
    if (bTls) {
        // The handshake is held to the request deadline like a request.
        pConn->UpdateDeadline(llNow, MB_REQUEST_TIMEOUT_MS);
        m_iReceiving++;
    }
    m_waitList.Watch(iFD, POLLIN | POLLPRI);
    pConn->SetWatched(POLLIN | POLLPRI);
    LogWrite(MODNAME, LOG_INFO, "New connection from %s:%d%s\n", client.sIp.c_str(), client.iPort,
             bTls ? " (TLS)" : "");
    m_handler.ReportClient("tcpconnect", client);
}

void CTcpTransport::UpdateWatch(CTcpConnection& conn)
{
    const short sWanted = static_cast<short>(conn.WantedEvents() | POLLPRI);
    if (sWanted == conn.Watched())
        return;
    m_waitList.Unwatch(conn.FD());
    m_waitList.Watch(conn.FD(), sWanted);
    conn.SetWatched(sWanted);
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
    m_iConnections--;
    m_handler.ReportClient("tcpdisconnect", client);
}

void CTcpTransport::ServeConnection(CTcpConnection& conn)
{
    const int iFD = conn.FD();
    // Keeps the count of connections with a pending deadline in step with
    // this one, before it is dropped or when its round ends.
    const bool bHadDeadline = conn.Deadline() >= 0;
    auto settle = [&]() { m_iReceiving += (conn.Deadline() >= 0) - bHadDeadline; };
    const bool bHandshaking = conn.Tls() != nullptr && !conn.Tls()->Established();
    const uint32_t uiRequestsBefore = conn.Stat().uiRequests;
    bool bRoleApplied = false;

    // What OpenSSL already holds (the rest of a record the buffer could not
    // take, records read ahead) is read in the same round: poll would not
    // report it. OpenSSL's buffer is bounded, so this master's round is too.
    CTcpConnection::Fill_t eFill = CTcpConnection::FILL_NONE;
    do {
        eFill = conn.Fill();
        if (eFill == CTcpConnection::FILL_CLOSED || eFill == CTcpConnection::FILL_ERROR) {
            int iErrno = eFill == CTcpConnection::FILL_CLOSED ? ECONNRESET : errno;
            if (conn.Tls() != nullptr && !conn.Tls()->Established()) {
                m_limits.uiTlsFailed++;
                LogWrite(MODNAME, LOG_WARNING, "TLS handshake with %s:%d failed: %s\n",
                         conn.Client().sIp.c_str(), conn.Client().iPort,
                         conn.Tls()->Failure().c_str());
            }
            // A peer that closes its connection is not a reception error.
            if (iErrno != ECONNRESET)
                m_stat.ErrorRx++;
            LogWrite(MODNAME, iErrno == ECONNRESET ? LOG_INFO : LOG_WARNING,
                     "Connection closed %s\n", modbus_strerror(iErrno));
            settle();
            DropClient(iFD);
            return;
        }
        if (bHandshaking && !bRoleApplied && conn.Tls()->Established()) {
            // The role's rights, within what the master's address allows.
            CMasterRights rights = conn.Tls()->Rights();
            if (!conn.Rights().CanWrite())
                rights.ForbidWrite();
            conn.SetRights(rights);
            bRoleApplied = true;
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
        // Only while reading gets somewhere: the part of a record that has
        // arrived counts as pending too, and waits for poll.
    } while ((eFill == CTcpConnection::FILL_DATA || eFill == CTcpConnection::FILL_FULL) &&
             conn.HasBuffered());
    if (bHandshaking && conn.Tls()->Established()) {
        LogWrite(MODNAME, LOG_INFO, "TLS master %s:%d: %s, role %s\n", conn.Client().sIp.c_str(),
                 conn.Client().iPort, conn.Tls()->Subject().c_str(), conn.Tls()->Role().c_str());
    }
    const long long llNow = MonotonicMs();
    if (conn.Stat().uiRequests != uiRequestsBefore) {
        conn.SetActive(llNow);
        conn.SetActivityRank(++m_ullActivity);
    }
    // A request begun (or a handshake going on) runs against the clock; a
    // handshake or request completed stops it.
    if (conn.IsReceiving() != (conn.Deadline() >= 0))
        conn.UpdateDeadline(llNow, MB_REQUEST_TIMEOUT_MS);
    settle();
    UpdateWatch(conn);
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
    const int iAnswer =
        m_handler.Handle(request, abyRsp + MBAP_HEADER_LENGTH, bException, &conn.Rights());
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
