#include "connectionthreadpipe.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include "log.h"

CConnectionThreadPipe::CConnectionThreadPipe()
{
    m_aiPipe[CONNECTION_READ] = -1;
    m_aiPipe[CONNECTION_WRITE] = -1;
}

CConnectionThreadPipe::~CConnectionThreadPipe()
{
    Close();
}

int CConnectionThreadPipe::Init(int in_dest, int in_flags)
{
    if (in_dest < 0 || in_dest > CONNECTION_MAX_DEST)
        return RET_ERROR;
    if (in_flags != CONNECTION_SERVER && in_flags != CONNECTION_CLENT)
        return RET_ERROR;
    m_iDestination = in_dest;
    m_iFlags = in_flags;
    return RET_OK;
}

int CConnectionThreadPipe::Open()
{
    Close();
    // Close-on-exec keeps the pipe out of scripts the process starts.
    if (pipe2(m_aiPipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        perror("Create pipe");
        m_aiPipe[CONNECTION_READ] = -1;
        m_aiPipe[CONNECTION_WRITE] = -1;
        return RET_ERROR;
    }
    return RET_OK;
}

int CConnectionThreadPipe::Send(Msg_t* pMsg, unsigned len)
{
    if (pMsg == nullptr || m_aiPipe[CONNECTION_WRITE] == -1)
        return RET_ERROR;
    // The receiver reads a header and then usSize - header bytes: a message
    // shorter than its header or longer than the receive buffer would corrupt
    // the stream for every later message.
    if (len < MSG_HEADER_SIZE || len > MSG_MAX_SIZE)
        return RET_ERROR;
    pMsg->Header.usSize = static_cast<uint16_t>(len);
    ssize_t n;
    do {
        n = write(m_aiPipe[CONNECTION_WRITE], pMsg, len);
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(len)) {
        int iErr = errno;
        LogWrite("thread ", LOG_ERR, "Pipe::send err = %d, fwrite: %s", static_cast<int>(n),
                 strerror(iErr));
        errno = iErr;
        return RET_ERROR;
    }
    return RET_OK;
}

// Reads up to len bytes; returns the count read (short on an empty pipe).
static ssize_t ReadSome(int iFD, void* pBuf, size_t len)
{
    size_t done = 0;
    while (done < len) {
        ssize_t n = read(iFD, static_cast<char*>(pBuf) + done, len - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

int CConnectionThreadPipe::Receive(Msg_t* pMsg, unsigned len)
{
    int iFD = m_aiPipe[CONNECTION_READ];
    if (pMsg == nullptr || iFD == -1 || len < MSG_HEADER_SIZE)
        return RET_ERROR;
    if (ReadSome(iFD, pMsg, MSG_HEADER_SIZE) != MSG_HEADER_SIZE)
        return RET_ERROR;
    unsigned uiSize = pMsg->Header.usSize;
    if (uiSize < MSG_HEADER_SIZE)
        return RET_ERROR; // nothing trustworthy to skip
    unsigned uiPayload = uiSize - MSG_HEADER_SIZE;
    if (uiSize > len) {
        // Too large for the caller's buffer: consume the payload so the next
        // message starts on its own header, and reject this one.
        unsigned char abyScratch[512];
        while (uiPayload > 0) {
            size_t chunk = uiPayload < sizeof(abyScratch) ? uiPayload : sizeof(abyScratch);
            ssize_t n = ReadSome(iFD, abyScratch, chunk);
            if (n <= 0)
                break;
            uiPayload -= static_cast<unsigned>(n);
        }
        return RET_ERROR;
    }
    if (uiPayload == 0)
        return RET_OK;
    unsigned char* pPayload = reinterpret_cast<unsigned char*>(pMsg) + MSG_HEADER_SIZE;
    if (ReadSome(iFD, pPayload, uiPayload) != static_cast<ssize_t>(uiPayload))
        return RET_ERROR;
    return RET_OK;
}

int CConnectionThreadPipe::Close()
{
    for (int i = 0; i < 2; ++i) {
        if (m_aiPipe[i] != -1) {
            close(m_aiPipe[i]);
            m_aiPipe[i] = -1;
        }
    }
    return RET_OK;
}

int CConnectionThreadPipe::GetFD()
{
    return m_aiPipe[CONNECTION_READ];
}
