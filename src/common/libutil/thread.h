#pragma once

#include <atomic>
#include <pthread.h>
#include <signal.h>

#include "msgreceiver.h"

// A POSIX thread with an Init / Run / Close life cycle.
//
// The body (Thread) runs Init; only when it returned 0 does it set the run
// flag and call Run; Close runs in every case. The owner starts the thread
// with Start, waits for it with WaitRunning and ends it with Stop (join).
class CThread : public CMsgReceiver
{
public:
    CThread();
    ~CThread() override;

    // Blocks SIGINT, SIGKILL and SIGPIPE in the calling (worker) thread.
    virtual int Init();
    virtual int Run();
    virtual int Close();
    // Called at the end of a derived Init: from then on only SIGPIPE stays blocked.
    virtual int AppInit();
    // Clears the run flag and joins the thread (nothing to join when it never started).
    virtual int Stop();
    // Clears the run flag and sends SIGINT to the thread.
    virtual int KillThread();
    // The body is running (Init, Run or Close).
    virtual bool Started();
    // The run flag is set (the body is inside Run).
    virtual bool Running();
    // Waits until the body runs. Returns RET_OK once Run has been entered, or
    // RET_ERROR when the thread could not be created or its Init failed, so a
    // failed start-up never leaves the caller waiting forever.
    virtual int WaitRunning();

    // Creates the POSIX thread running Thread(pThread). Returns 0 or the
    // pthread_create error number (a failure is also seen by WaitRunning).
    static int Start(CThread* pThread);
    // The thread body.
    static void* Thread(void* pv);
    int GetPID();

    // Result of the last Init run by the body (RET_OK before it ran).
    int GetInitResult() const { return m_iInitResult; }
    // The body has finished (or the thread could not be created).
    bool Finished() const { return m_bFinished; }

protected:
    sigset_t m_OrigSignalSet;  // mask in force before Init
    sigset_t m_BlockSignalSet; // signals blocked in the worker
    sigset_t m_WaitSignalSet;  // not used by the daemon
    std::atomic<bool> m_bRun;  // run flag; cleared from any thread to end Run
    volatile int m_iThreadPID; // -1 whenever the body is not running
    pthread_t m_Thread;

private:
    std::atomic<bool> m_bJoinable{false};
    std::atomic<bool> m_bEnteredRun{false};
    std::atomic<bool> m_bFinished{false};
    std::atomic<int> m_iInitResult{RET_OK};
};
