#include "pipethread.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/timerfd.h>
#include <syslog.h>
#include <unistd.h>

#include "log.h"

namespace
{
// The wait list grows in steps of this many entries.
const int POLL_GROW = 20;
// A ready entry is served when poll reports one of these. A hang-up alone is
// served too: otherwise a descriptor whose peer went away would wake every
// poll at once and never be handled.
const short POLL_READY = POLLIN | POLLOUT | POLLERR | POLLHUP;
} // namespace

CPipeThread::CPipeThread()
    : m_ciPoll(0), m_ciPollAllocated(0), m_paPoll(nullptr),
      m_pPipeConn(new CConnectionThreadPipe()), m_ulPollTimeout(1000)
{
}

CPipeThread::~CPipeThread()
{
    delete m_pPipeConn;
    m_pPipeConn = nullptr;
    free(m_paPoll);
    m_paPoll = nullptr;
}

int CPipeThread::Init()
{
    int iResult = CThread::Init();
    if (iResult != RET_OK)
        return iResult;
    if (m_pPipeConn == nullptr)
        m_pPipeConn = new CConnectionThreadPipe();
    iResult = m_pPipeConn->Init(0, 0);
    if (iResult != RET_OK)
        return iResult;
    iResult = m_pPipeConn->Open();
    if (iResult != RET_OK)
        return iResult;
    if (AddWaitDescriptor(m_pPipeConn->GetFD(), POLLIN | POLLERR) != RET_OK)
        return RET_ERROR;
    return RET_OK;
}

int CPipeThread::Run()
{
    while (m_bRun) {
        int iFD = -1;
        if (WaitOnDescriptor(m_ulPollTimeout, iFD) == RET_OK)
            DescriptorAvailable(iFD);
        Idle();
    }
    return RET_OK;
}

int CPipeThread::Close()
{
    // The pipe object itself lives until destruction: another thread posting
    // to a thread that is closing then gets an error, not freed memory.
    if (m_pPipeConn != nullptr)
        m_pPipeConn->Close();
    free(m_paPoll);
    m_paPoll = nullptr;
    m_ciPoll = 0;
    m_ciPollAllocated = 0;
    return CThread::Close();
}

int CPipeThread::DispatchMessage(Msg_t* pMsg)
{
    if (pMsg != nullptr && pMsg->Header.usCmd == CMD_STOP) {
        m_bRun = false;
        LogWrite("thread ", LOG_INFO, "Stopping thread");
    }
    return RET_OK;
}

int CPipeThread::DescriptorAvailable(int iFD)
{
    if (m_pPipeConn == nullptr || iFD != m_pPipeConn->GetFD())
        return RET_NOT_HANDLED;
    MsgLarge_t msg;
    Msg_t* pMsg = reinterpret_cast<Msg_t*>(&msg);
    int iResult = m_pPipeConn->Receive(pMsg, sizeof(msg));
    if (iResult != RET_OK)
        return iResult;
    return DispatchMessage(pMsg);
}

int CPipeThread::Idle()
{
    return RET_OK;
}

int CPipeThread::AddWaitDescriptor(int iFileDescriptor, int iPollEvent)
{
    if (m_ciPoll + 1 > m_ciPollAllocated) {
        int iNew = m_ciPollAllocated + POLL_GROW;
        void* p = realloc(m_paPoll, sizeof(pollfd) * static_cast<size_t>(iNew));
        if (p == nullptr)
            return RET_ERROR;
        m_paPoll = static_cast<pollfd*>(p);
        m_ciPollAllocated = iNew;
    }
    m_paPoll[m_ciPoll].fd = iFileDescriptor;
    m_paPoll[m_ciPoll].events = static_cast<short>(iPollEvent);
    m_paPoll[m_ciPoll].revents = 0;
    ++m_ciPoll;
    return RET_OK;
}

int CPipeThread::RemoveWaitDescriptor(int iFileDescriptor)
{
    for (int i = 0; i < m_ciPoll; ++i) {
        if (m_paPoll[i].fd != iFileDescriptor)
            continue;
        if (i != m_ciPoll - 1)
            m_paPoll[i] = m_paPoll[m_ciPoll - 1];
        --m_ciPoll;
        return RET_OK;
    }
    return RET_ERROR;
}

int CPipeThread::WaitOnDescriptor(unsigned long ulTimeoutMs, int& iFileDescriptor)
{
    int iReady = poll(m_paPoll, static_cast<nfds_t>(m_ciPoll), static_cast<int>(ulTimeoutMs));
    if (iReady < 0) {
        for (int i = 0; i < m_ciPoll; ++i)
            m_paPoll[i].revents = 0;
        return errno == EINTR ? RET_INTERRUPTED : RET_ERROR;
    }
    if (iReady == 0)
        return RET_TIMEOUT;
    for (int i = 0; i < m_ciPoll; ++i) {
        if (m_paPoll[i].revents & POLL_READY) {
            iFileDescriptor = m_paPoll[i].fd;
            return RET_OK;
        }
    }
    return RET_ERROR;
}

short CPipeThread::GetReturnedEvents(int iFileDescriptor) const
{
    short sEvents = 0;
    for (int i = 0; i < m_ciPoll; ++i)
        if (m_paPoll[i].fd == iFileDescriptor)
            sEvents = static_cast<short>(sEvents | m_paPoll[i].revents);
    return sEvents;
}

int CPipeThread::SendCmdToPipe(CConnectionThreadPipe* pPipeConn, unsigned short usCmd,
                               unsigned long ulParam, short sSessionID)
{
    if (pPipeConn == nullptr)
        return RET_ERROR;
    MsgInfo_t msg;
    memset(&msg, 0, sizeof(msg));
    msg.Header.usCmd = usCmd;
    msg.Header.sSessionID = sSessionID;
    msg.ulInfo = static_cast<uint32_t>(ulParam);
    return pPipeConn->Send(reinterpret_cast<Msg_t*>(&msg), sizeof(msg));
}

int CPipeThread::SendCmd(unsigned short usCmd, unsigned long ulParam, short sSessionID)
{
    return SendCmdToPipe(m_pPipeConn, usCmd, ulParam, sSessionID);
}

int CPipeThread::SendCmd(unsigned short usCmd, Msg_t* pMsg, unsigned long ulSize)
{
    if (pMsg == nullptr || m_pPipeConn == nullptr)
        return RET_ERROR;
    if (ulSize < MSG_HEADER_SIZE || ulSize > MSG_MAX_SIZE)
        return RET_ERROR;
    pMsg->Header.usCmd = usCmd;
    return m_pPipeConn->Send(pMsg, static_cast<unsigned>(ulSize));
}

int CPipeThread::TimerCreate()
{
    int iFD = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (iFD < 0)
        return RET_ERROR;
    if (AddWaitDescriptor(iFD, POLLIN | POLLERR) != RET_OK) {
        close(iFD);
        return RET_ERROR;
    }
    return iFD;
}

int CPipeThread::TimerSet(int iTimer, int iSec, int uSec, bool bRepetitive)
{
    // Carry whole seconds out of the microseconds: the kernel refuses a
    // nanosecond field of a second or more.
    long long llUsec = static_cast<long long>(iSec) * 1000000LL + uSec;
    if (llUsec < 0)
        llUsec = 0;
    itimerspec spec;
    memset(&spec, 0, sizeof(spec));
    spec.it_value.tv_sec = static_cast<time_t>(llUsec / 1000000LL);
    spec.it_value.tv_nsec = static_cast<long>((llUsec % 1000000LL) * 1000LL);
    if (bRepetitive)
        spec.it_interval = spec.it_value;
    return timerfd_settime(iTimer, 0, &spec, nullptr);
}

int CPipeThread::TimerStop(int iFD)
{
    itimerspec spec;
    memset(&spec, 0, sizeof(spec));
    return timerfd_settime(iFD, 0, &spec, nullptr);
}

int CPipeThread::TimerDelete(int iTimer)
{
    if (iTimer < 0)
        return RET_ERROR;
    // A descriptor left in the wait list after closing would be reported
    // invalid by every poll (or, reused, watched for the wrong owner).
    if (RemoveWaitDescriptor(iTimer) != RET_OK)
        return RET_ERROR; // not one of this thread's timers: leave it alone
    close(iTimer);
    return RET_OK;
}
