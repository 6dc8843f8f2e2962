#pragma once

#include <poll.h>
#include <type_traits>

#include "connectionthreadpipe.h"
#include "thread.h"

// A thread whose Run is a poll loop over a wait list of descriptors: its own
// message pipe (always first), timers made with TimerCreate and whatever a
// derived thread adds. One wake-up serves one ready descriptor; after every
// wake-up (descriptor, time-out or error alike) Idle runs.
class CPipeThread : public CThread
{
public:
    CPipeThread();
    ~CPipeThread() override;

    // CMD_STOP clears the run flag; other messages are ignored.
    int DispatchMessage(Msg_t* pMsg) override;
    // CThread::Init, then opens the pipe and watches its read end.
    int Init() override;
    int Run() override;
    // Closes the pipe (posting then fails) and frees the wait list.
    int Close() override;

    // Called with a ready descriptor. The base receives a message from the
    // pipe and dispatches it; other descriptors give RET_NOT_HANDLED.
    virtual int DescriptorAvailable(int iFD);
    // Called after every wake-up of the loop; the base does nothing.
    virtual int Idle();

    // Appends (fd, events) to the wait list; -1 when the list cannot grow.
    int AddWaitDescriptor(int iFileDescriptor, int iPollEvent);
    // Removes the first entry of fd (the last entry takes its place); -1 if none.
    int RemoveWaitDescriptor(int iFileDescriptor);
    // One poll: 0 with the first ready descriptor in iFileDescriptor,
    // RET_TIMEOUT when nothing is ready, -1 on a poll error.
    int WaitOnDescriptor(unsigned long ulTimeoutMs, int& iFileDescriptor);
    // The events the last poll reported for fd (all its entries together), 0 if none.
    short GetReturnedEvents(int iFileDescriptor) const;

    // Posts a 16-byte MsgInfo_t to pPipeConn (-1 when null). Any thread may call these.
    int SendCmdToPipe(CConnectionThreadPipe* pPipeConn, unsigned short usCmd, unsigned long ulParam,
                      short sSessionID);
    int SendCmd(unsigned short usCmd, unsigned long ulParam, short sSessionID);
    // Stores usCmd into pMsg and posts ulSize bytes of it to the own pipe.
    int SendCmd(unsigned short usCmd, Msg_t* pMsg, unsigned long ulSize);
    // Integer parameters of any type (SendCmd(CMD_STOP, 0, 0)) post a MsgInfo_t;
    // without this a literal 0 could also be read as a null message.
    template <typename P, typename S,
              typename = std::enable_if_t<std::is_integral<P>::value && std::is_integral<S>::value>>
    int SendCmd(unsigned short usCmd, P param, S session)
    {
        return SendCmd(usCmd, static_cast<unsigned long>(param), static_cast<short>(session));
    }

    // Creates a disarmed monotonic timer, watched for POLLIN; its descriptor or -1.
    int TimerCreate();
    // Arms the timer: first expiry after iSec s + uSec us, repeating when asked.
    int TimerSet(int iTimer, int iSec, int uSec, bool bRepetitive);
    // Disarms the timer.
    int TimerStop(int iFD);
    // Removes the timer from the wait list and closes it.
    int TimerDelete(int iTimer);

protected:
    int m_ciPoll;                       // entries in use
    int m_ciPollAllocated;              // capacity
    pollfd* m_paPoll;                   // the wait list (owned)
    CConnectionThreadPipe* m_pPipeConn; // owned
    unsigned long m_ulPollTimeout;      // milliseconds
};
