#include "thread.h"

#include "log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <syslog.h>
#include <unistd.h>

CThread::CThread() : m_bRun(false), m_iThreadPID(-1), m_Thread()
{
    sigemptyset(&m_OrigSignalSet);
    sigemptyset(&m_BlockSignalSet);
    sigemptyset(&m_WaitSignalSet);
}

CThread::~CThread() = default;

int CThread::Init()
{
    sigemptyset(&m_BlockSignalSet);
    sigaddset(&m_BlockSignalSet, SIGINT);
    sigaddset(&m_BlockSignalSet, SIGKILL);
    sigaddset(&m_BlockSignalSet, SIGPIPE);
    if (pthread_sigmask(SIG_BLOCK, &m_BlockSignalSet, &m_OrigSignalSet) != 0)
        LogWrite("thread ", LOG_ERR, "Can't change thread signal mask");
    return RET_OK;
}

int CThread::Run()
{
    return RET_OK;
}

int CThread::Close()
{
    return RET_OK;
}

int CThread::AppInit()
{
    if (pthread_sigmask(SIG_UNBLOCK, &m_BlockSignalSet, nullptr) != 0)
        LogWrite("thread ", LOG_ERR, "Can't change thread signal mask");
    sigemptyset(&m_BlockSignalSet);
    sigaddset(&m_BlockSignalSet, SIGPIPE);
    if (pthread_sigmask(SIG_BLOCK, &m_BlockSignalSet, nullptr) != 0)
        LogWrite("thread ", LOG_ERR, "Can't change thread signal mask");
    return RET_OK;
}

int CThread::Stop()
{
    m_bRun = false;
    // Called from the worker itself: the loop ends, the owner joins later.
    if (m_bJoinable && pthread_equal(pthread_self(), m_Thread))
        return RET_OK;
    // Join once; a thread that was never created has nothing to join.
    if (!m_bJoinable.exchange(false))
        return RET_OK;
    return pthread_join(m_Thread, nullptr) == 0 ? RET_OK : RET_ERROR;
}

int CThread::KillThread()
{
    m_bRun = false;
    if (!m_bJoinable)
        return RET_ERROR;
    int iErr = pthread_kill(m_Thread, SIGINT);
    if (iErr != 0) {
        errno = iErr;
        perror("pthread_kill");
        return RET_ERROR;
    }
    return RET_OK;
}

bool CThread::Started()
{
    return m_iThreadPID != -1;
}

bool CThread::Running()
{
    return m_bRun;
}

int CThread::WaitRunning()
{
    // The original wait watched only Started() and Running(); a body whose
    // Init failed never sets the run flag, so the end of the body is watched too.
    if (!m_bJoinable && !m_bFinished)
        return RET_ERROR; // never started: nothing will ever run
    for (;;) {
        if (m_bEnteredRun || Running())
            return RET_OK;
        if (m_bFinished)
            return m_bEnteredRun ? RET_OK : RET_ERROR;
        usleep(1000);
    }
}

int CThread::Start(CThread* pThread)
{
    if (pThread == nullptr)
        return EINVAL;
    pThread->m_bFinished = false;
    pThread->m_bEnteredRun = false;
    pThread->m_iInitResult = RET_OK;
    int iErr = pthread_create(&pThread->m_Thread, nullptr, &CThread::Thread, pThread);
    if (iErr != 0) {
        pThread->m_iInitResult = RET_ERROR;
        pThread->m_bFinished = true;
        return iErr;
    }
    pThread->m_bJoinable = true;
    return 0;
}

void* CThread::Thread(void* pv)
{
    CThread* pThread = static_cast<CThread*>(pv);
    pThread->m_iThreadPID = getpid();
    try {
        int iResult = pThread->Init();
        pThread->m_iInitResult = iResult;
        if (iResult == RET_OK) {
            pThread->m_bRun = true;
            pThread->m_bEnteredRun = true;
            pThread->Run();
        }
        pThread->Close();
    } catch (...) {
        // No exception leaves the body; the thread ends and says so.
        LogWrite("thread ", LOG_ERR, "Worker thread ended by an exception");
        if (!pThread->m_bEnteredRun && pThread->m_iInitResult == RET_OK)
            pThread->m_iInitResult = RET_ERROR;
    }
    pThread->m_bRun = false;
    pThread->m_iThreadPID = -1;
    pThread->m_bFinished = true;
    return nullptr;
}

int CThread::GetPID()
{
    return m_iThreadPID;
}
