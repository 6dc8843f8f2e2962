// One Modbus TCP (or TCP-PI) master's connection: the bytes received so far,
// cut into requests by their MBAP header, and how long the master may take
// to complete the request it has started.
#pragma once

#include <cstdint>

#include "modbustypes.h"

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

    // Takes over iFD (non-blocking), closed by the destructor.
    CTcpConnection(int iFD, const TcpClient_t& client);
    ~CTcpConnection();
    CTcpConnection(const CTcpConnection&) = delete;
    CTcpConnection& operator=(const CTcpConnection&) = delete;

    int FD() const { return m_iFD; }
    const TcpClient_t& Client() const { return m_client; }

    // Reads what the socket holds, without waiting, after the bytes kept.
    Fill_t Fill();
    // Looks at the oldest unprocessed bytes. A complete request is handed
    // out (pointer into the buffer, valid until the next Fill) and taken off
    // the buffer; so is a discarded frame.
    Frame_t NextFrame(const uint8_t*& pAdu, int& iLength);

    // Bytes of a request that has not arrived whole yet.
    bool IsReceiving() const { return m_iEnd > m_iStart; }
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

    // What this master did: requests, exceptions, bytes, connection time.
    const ClientStat_t& Stat() const { return m_stat; }
    void CountException() { m_stat.uiExceptions++; }
    // Bytes of answers the master has not taken yet (the socket's send
    // queue); -1 when the system cannot tell.
    int Unsent() const;

private:
    int m_iFD;
    TcpClient_t m_client;
    // Enough for several pipelined requests; a partial request is moved to
    // the front before the next read, so a whole frame always fits.
    uint8_t m_abyBuffer[4 * MB_TCP_MAX_ADU];
    int m_iStart = 0; // first byte not yet handed out
    int m_iEnd = 0;   // end of the bytes received
    long long m_llDeadlineMs = -1;
    ClientStat_t m_stat;
};
