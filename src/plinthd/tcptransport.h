// Modbus TCP and TCP-PI: the listening socket, the masters' connections,
// the MBAP framing of their requests and the sending of the answers. What a
// request means is left to the request handler.
#pragma once

#include <modbus/modbus.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "modbustypes.h"
#include "servinglimits.h"

class CTcpConnection;
class CRequestHandler;
class CWaitList;
struct cJSON;

// Time a TCP master has to complete a request once its first byte arrived.
// A request fits in one segment; this covers a few retransmissions. Other
// masters are served meanwhile: only the slow master's own answer waits.
constexpr int MB_REQUEST_TIMEOUT_MS = 2000;

// Answers a master may leave unread in its connection's send queue before it
// is dropped: a master that sends requests and never reads would otherwise
// make the daemon queue megabytes for it. 64 KiB are some 250 answers of
// the largest read, far more than any master keeps in flight.
constexpr int MB_MAX_UNSENT_BYTES = 64 * 1024;
// The send queue is looked at after every this many requests of a master,
// so the bound is passed by at most that many answers (16 of the largest
// read are 4 KiB).
constexpr uint32_t MB_UNSENT_CHECK_PERIOD = 16;

class CTcpTransport
{
public:
    CTcpTransport(CWaitList& waitList, CRequestHandler& handler, ModbusStat_t& stat);
    ~CTcpTransport();
    CTcpTransport(const CTcpTransport&) = delete;
    CTcpTransport& operator=(const CTcpTransport&) = delete;

    // Listen as configured, on the plain port (none when its port is 0 or
    // empty and the secure port is served) and on the secure port; 0, or 299
    // when the context or a socket could not be made (logged). 110 while
    // open already. serving bounds the masters of both ports.
    int OpenTcp(const ModbusTcpConfig_t& cfg, const ServingConfig_t& serving = ServingConfig_t());
    int OpenTcpPi(const ModbusTcpPiConfig_t& cfg,
                  const ServingConfig_t& serving = ServingConfig_t());
    // Closes the clients and the listening socket; a later open can listen
    // on the same port again.
    void Close();
    bool IsOpen() const { return m_bOpen; }
    int ListenFD() const { return m_iListenFD; }
    int TlsListenFD() const { return m_iTlsListenFD; }

    // Serves a ready descriptor of this transport: accepts on the listening
    // socket, reads and answers on a connection. False when iFD is not ours.
    bool Serve(int iFD);

    // Monotonic milliseconds of the earliest deadline: a partial request's
    // or handshake's, an idle master's time-out; -1 when none is pending.
    long long NextDeadline() const;
    // Drops the connections whose partial request (or handshake) has run
    // out of time, and the masters idle beyond the idle time-out.
    void ExpireRequests(long long llNowMs);

    // Appends one object per connected master, in order of socket.
    void AddClientsToStatus(cJSON* pArray) const;
    // Adds "limits" to the status: the bounds and what they did.
    void AddLimitsToStatus(cJSON* pStatus) const;

private:
    // What the limits did since the port was opened.
    struct LimitCount_t {
        uint32_t uiEvicted = 0;    // idle the longest, closed for a newcomer
        uint32_t uiIdleClosed = 0; // idle beyond the idle time-out
        uint32_t uiRefused = 0;    // address not allowed to connect
        uint32_t uiTlsFailed = 0;  // handshake refused, broken or too slow
    };

    // Takes over a connected socket as a master's connection and reports it
    // (null pTls: the plain port).
    void AddClient(int iFD, const TcpClient_t& client, const sockaddr_storage& addr, bool bTls);
    // Makes room at the connection limit: closes the master idle the longest.
    // False when there is none to close.
    bool EvictIdlest(const TcpClient_t& newcomer);
    void AcceptOn(int iListenFD, bool bTls);
    // Watches what the connection's TLS session waits for, when it changed.
    void UpdateWatch(CTcpConnection& conn);
    // Opens the secure port beside the plain one (when configured).
    int OpenTls(const std::string& sNode);
    // Closes a master's connection and reports it.
    void DropClient(int iFD);
    // Reads what one master sent and answers every complete request.
    void ServeConnection(CTcpConnection& conn);
    CTcpConnection* Connection(int iFD) const;
    // Watches the socket modbus_tcp_listen gave (or logs its failure).
    int Listen(const std::string& sWhere);
    // False when the master has to be dropped (the answer could not be
    // sent, or too many answers wait unread).
    bool AnswerRequest(CTcpConnection& conn, const uint8_t* pAdu, int iLen);

    CWaitList& m_waitList;
    CRequestHandler& m_handler;
    ModbusStat_t& m_stat;
    modbus_t* m_pCtx = nullptr;
    bool m_bOpen = false;
    int m_iListenFD = -1;
    int m_iTlsListenFD = -1;
    ServingConfig_t m_serving;
    LimitCount_t m_limits;
    int m_iConnections = 0;
    // Counts accepts and served requests: ranks the masters' last activity.
    uint64_t m_ullActivity = 0;
    // Connections by socket descriptor (so status lists them in that order).
    std::vector<std::unique_ptr<CTcpConnection>> m_vConnections;
    // Connections with a partial request, whose deadline the timer watches.
    int m_iReceiving = 0;
    // A descriptor kept open so that a connection can still be accepted and
    // closed when the process has run out of descriptors.
    int m_iSpareFD = -1;
};
