// One Modbus TCP (or TCP-PI) master's connection: the bytes received so far,
// cut into requests by their MBAP header, and how long the master may take
// to complete the request it has started. On the secure port the bytes come
// and go through the master's TLS session; the framing is the same.
#pragma once

#include <poll.h>

#include <cstdint>
#include <memory>

#include "masterrights.h"
#include "modbustypes.h"
#include "tlsconnection.h"

// Lengths of the MBAP header: transaction id (2), protocol id (2), length
// (2), unit id (1). The length counts the unit id and the PDU.
constexpr int MBAP_HEADER_LENGTH = 7;
constexpr int MBAP_MIN_LENGTH = 2;   // unit id and function code
constexpr int MBAP_MAX_LENGTH = 254; // unit id and the largest PDU (253)
constexpr int MB_TCP_MAX_ADU = MBAP_HEADER_LENGTH - 1 + MBAP_MAX_LENGTH; // 260

class CTcpConnection
{
public:
    enum Frame_t {
        FRAME_NONE,    // no complete request in the buffer
        FRAME_REQUEST, // a complete request (pAdu, iLength)
        FRAME_DISCARD, // a complete frame whose protocol id is not Modbus: skipped
        FRAME_BROKEN,  // a length no request can have: the stream cannot be followed
    };
    enum Fill_t {
        FILL_DATA,   // bytes were added
        FILL_NONE,   // nothing to read now
        FILL_CLOSED, // the master closed the connection
        FILL_ERROR,  // the socket failed (errno)
        FILL_FULL,   // no room left: cannot happen while requests are taken out
    };

    // Takes over iFD (non-blocking), closed by the destructor, and the TLS
    // session on it when the master came to the secure port.
    CTcpConnection(int iFD, const TcpClient_t& client, std::unique_ptr<CTlsSession> pTls = nullptr);
    ~CTcpConnection();
    CTcpConnection(const CTcpConnection&) = delete;
    CTcpConnection& operator=(const CTcpConnection&) = delete;

    int FD() const { return m_iFD; }
    const TcpClient_t& Client() const { return m_client; }

    // Reads what the socket holds, without waiting, after the bytes kept. On
    // the secure port it first carries the handshake on as far as it goes.
    Fill_t Fill();
    // Decrypted bytes wait in the TLS session that poll cannot see.
    bool HasBuffered() const { return m_pTls && m_pTls->HasPending(); }
    // Looks at the oldest unprocessed bytes. A complete request is handed
    // out (pointer into the buffer, valid until the next Fill) and taken off
    // the buffer; so is a discarded frame.
    Frame_t NextFrame(const uint8_t*& pAdu, int& iLength);

    // Bytes of a request that has not arrived whole yet, or a handshake
    // that has not ended: both must be done by the request deadline.
    bool IsReceiving() const { return m_iEnd > m_iStart || (m_pTls && !m_pTls->Established()); }
    // Starts the clock for the request that has begun to arrive, or stops it
    // when the buffer holds no partial request any more. The time allowed is
    // counted from the request's first byte, not from its latest one, so a
    // master sending byte after byte cannot keep its connection busy.
    void UpdateDeadline(long long llNowMs, int iTimeoutMs);
    // Monotonic milliseconds by which the partial request must be complete;
    // -1 when none is pending.
    long long Deadline() const { return m_llDeadlineMs; }

    // Sends an answer that is not the library's (exceptions and the few
    // answers the daemon builds itself). False when it could not be sent in
    // full at once: the master does not read, or is gone.
    bool Send(const uint8_t* pData, int iLength);

    // The TLS session (null on the plain port).
    const CTlsSession* Tls() const { return m_pTls.get(); }
    // What the master may do; the secure port's role applies once the
    // handshake has given it.
    const CMasterRights& Rights() const { return m_rights; }
    void SetRights(const CMasterRights& rights) { m_rights = rights; }
    // The events poll must watch for: POLLIN, or POLLOUT while OpenSSL waits
    // to write.
    short WantedEvents() const { return m_pTls ? m_pTls->WantedEvents() : POLLIN; }
    // What the socket is watched for now.
    short Watched() const { return m_sWatched; }
    void SetWatched(short sEvents) { m_sWatched = sEvents; }

    // Monotonic milliseconds of the last request (of the connection before
    // the first): the master idle the longest makes room for a new one.
    long long LastActiveMs() const { return m_llLastActiveMs; }
    void SetActive(long long llNowMs) { m_llLastActiveMs = llNowMs; }
    // Rank of the last activity (accept or request) among all masters': the
    // order of events, where several fall in one millisecond.
    uint64_t ActivityRank() const { return m_ullRank; }
    void SetActivityRank(uint64_t ullRank) { m_ullRank = ullRank; }

    // What this master did: requests, exceptions, bytes, connection time.
    const ClientStat_t& Stat() const { return m_stat; }
    void CountException() { m_stat.uiExceptions++; }
    // Bytes of answers the master has not taken yet (the socket's send
    // queue); -1 when the system cannot tell.
    int Unsent() const;

private:
    Fill_t FillTls(size_t uiRoom);

    int m_iFD;
    TcpClient_t m_client;
    // Enough for several pipelined requests; a partial request is moved to
    // the front before the next read, so a whole frame always fits.
    uint8_t m_abyBuffer[4 * MB_TCP_MAX_ADU];
    int m_iStart = 0; // first byte not yet handed out
    int m_iEnd = 0;   // end of the bytes received
    long long m_llDeadlineMs = -1;
    ClientStat_t m_stat;
    std::unique_ptr<CTlsSession> m_pTls;
    CMasterRights m_rights;
    long long m_llLastActiveMs = 0;
    uint64_t m_ullRank = 0;
    short m_sWatched = POLLIN | POLLPRI;
};
