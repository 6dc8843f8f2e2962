#include "tcpconnection.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

CTcpConnection::CTcpConnection(int iFD, const TcpClient_t& client,
                               std::unique_ptr<CTlsSession> pTls)
    : m_iFD(iFD), m_client(client), m_pTls(std::move(pTls))
{
    m_stat.llSince = static_cast<long long>(time(nullptr));
}

CTcpConnection::~CTcpConnection()
{
    // The session goes first: its close_notify needs the socket.
    m_pTls.reset();
    if (m_iFD >= 0)
        close(m_iFD);
}

CTcpConnection::Fill_t CTcpConnection::Fill()
{
    if (m_iStart == m_iEnd) {
        m_iStart = m_iEnd = 0;
    } else if (m_iStart > 0) {
        memmove(m_abyBuffer, m_abyBuffer + m_iStart, static_cast<size_t>(m_iEnd - m_iStart));
        m_iEnd -= m_iStart;
        m_iStart = 0;
    }
    const size_t uiRoom = sizeof(m_abyBuffer) - static_cast<size_t>(m_iEnd);
    if (uiRoom == 0)
        return FILL_FULL;
    if (m_pTls)
        return FillTls(uiRoom);
    ssize_t n = recv(m_iFD, m_abyBuffer + m_iEnd, uiRoom, MSG_DONTWAIT);
    if (n > 0) {
        m_iEnd += static_cast<int>(n);
        m_stat.ullBytesIn += static_cast<uint64_t>(n);
        return FILL_DATA;
    }
    if (n == 0)
        return FILL_CLOSED;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return FILL_NONE;
    return FILL_ERROR;
}

CTcpConnection::Fill_t CTcpConnection::FillTls(size_t uiRoom)
{
    if (!m_pTls->Established()) {
        const CTlsSession::Step_t eStep = m_pTls->Handshake();
        if (eStep == CTlsSession::STEP_AGAIN)
            return FILL_NONE;
        if (eStep == CTlsSession::STEP_FAILED) {
            errno = EPROTO;
            return FILL_ERROR;
        }
        // Established: requests may have come with the last flight.
    }
    const int n = m_pTls->Read(m_abyBuffer + m_iEnd, static_cast<int>(uiRoom));
    if (n > 0) {
        m_iEnd += n;
        m_stat.ullBytesIn += static_cast<uint64_t>(n);
        return FILL_DATA;
    }
    if (n == 0)
        return FILL_NONE;
    return errno == 0 ? FILL_CLOSED : FILL_ERROR;
}

CTcpConnection::Frame_t CTcpConnection::NextFrame(const uint8_t*& pAdu, int& iLength)
{
    const int iAvail = m_iEnd - m_iStart;
    if (iAvail < MBAP_HEADER_LENGTH - 1)
        return FRAME_NONE;
    const uint8_t* p = m_abyBuffer + m_iStart;
    const int iProtocol = (p[2] << 8) | p[3];
    const int iMbapLength = (p[4] << 8) | p[5];
    // Without a plausible length the start of the next request cannot be
    // found: every later byte would be read shifted.
    if (iMbapLength < MBAP_MIN_LENGTH || iMbapLength > MBAP_MAX_LENGTH) {
        return FRAME_BROKEN;
    }
    const int iFrame = MBAP_HEADER_LENGTH - 1 + iMbapLength;
    if (iAvail < iFrame)
        return FRAME_NONE;
    m_iStart += iFrame;
    // Whatever follows belongs to the next request, whose time starts anew.
    m_llDeadlineMs = -1;
    if (iProtocol != 0) {
        // Not Modbus: the frame is skipped, the next one is read normally.
        return FRAME_DISCARD;
    }
    m_stat.uiRequests++;
    pAdu = p;
    iLength = iFrame;
    return FRAME_REQUEST;
}

void CTcpConnection::UpdateDeadline(long long llNowMs, int iTimeoutMs)
{
    if (!IsReceiving()) {
        m_llDeadlineMs = -1;
    } else if (m_llDeadlineMs < 0) {
        m_llDeadlineMs = llNowMs + iTimeoutMs;
    }
}

bool CTcpConnection::Send(const uint8_t* pData, int iLength)
{
    if (m_pTls) {
        if (!m_pTls->Write(pData, iLength))
            return false;
        m_stat.ullBytesOut += static_cast<uint64_t>(iLength);
        return true;
    }
    ssize_t n = send(m_iFD, pData, static_cast<size_t>(iLength), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0)
        m_stat.ullBytesOut += static_cast<uint64_t>(n);
    return n == iLength;
}

int CTcpConnection::Unsent() const
{
    int iQueued = 0;
    if (ioctl(m_iFD, SIOCOUTQ, &iQueued) != 0)
        return -1;
    return iQueued;
}
