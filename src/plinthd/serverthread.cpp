#include "serverthread.h"

#include <sys/timerfd.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "log.h"
#include "plinthdiface.h"

#define MODNAME "plinthd"

namespace
{

// The status period follows a clock that setting the date cannot move: a
// clock set backwards must not silence the status signal.
time_t MonotonicSeconds()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec;
}

long long MonotonicMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000LL + ts.tv_nsec / 1000000L;
}

} // namespace

CModBusServerThread::CModBusServerThread()
    : m_dbus(*this), m_server(*this, [this]() { return m_dbus.Connection(); }),
      m_commands(m_dbus, m_server), m_iTimerWork(-1), m_tLastStatus(0), m_llTimerDueMs(-1)
{
    m_dbus.SetCommands(&m_commands);
}

CModBusServerThread::~CModBusServerThread()
{
    m_server.CloseModbus();
    m_dbus.Release();
}

int CModBusServerThread::Init()
{
    int iRet = CPipeThread::Init();
    if (iRet != 0)
        return iRet;

    m_tLastStatus = MonotonicSeconds();
    m_dbus.SetProcStatus(0, 0);
    m_server.Handler().EnableEvents(false);
    m_server.Config() = ModbusConfig_t();
    m_server.Stat() = ModbusStat_t();

    if (m_dbus.Init(PLINTHD_BUS_NAME, PLINTHD_INTERFACE, DBUS_OBJECT_PATH) != 0) {
        LogWrite(MODNAME, LOG_ERR, "Can't init dbus");
        return -1;
    }
    m_iTimerWork = TimerCreate();
    AppInit();
    m_dbus.SendStartedSignal();
    return 0;
}

int CModBusServerThread::Close()
{
    m_server.CloseModbus();
    if (m_iTimerWork >= 0)
        TimerDelete(m_iTimerWork);
    m_iTimerWork = -1;
    m_dbus.Release();
    return CPipeThread::Close();
}

int CModBusServerThread::WatchDescriptor(int iFD, short sEvents)
{
    return AddWaitDescriptor(iFD, sEvents);
}

int CModBusServerThread::UnwatchDescriptor(int iFD)
{
    return RemoveWaitDescriptor(iFD);
}

short CModBusServerThread::ReadyEvents(int iFD) const
{
    return GetReturnedEvents(iFD);
}

void CModBusServerThread::EndLoop()
{
    m_bRun = false;
}

int CModBusServerThread::Run()
{
    // Messages libdbus read while the bus name was requested wait in its
    // queue, not on the socket: dispatched before the first sleep, or a call
    // sent right after the name appeared would stay unanswered.
    Idle();
    while (m_bRun) {
        ArmWorkTimer();
        int iReady = poll(m_paPoll, static_cast<nfds_t>(m_ciPoll), -1);
        if (iReady > 0) {
            // Serving may add and remove wait-list entries, so the ready ones
            // are taken out first; each is then served once in this round.
            m_vReady.clear();
            for (int i = 0; i < m_ciPoll; i++) {
                if (m_paPoll[i].revents != 0)
                    m_vReady.push_back(m_paPoll[i]);
            }
            m_server.Signals().BeginRound();
            for (const pollfd& ready : m_vReady) {
                if (!m_bRun)
                    break;
                DescriptorAvailable(ready.fd);
            }
            m_server.Signals().EndRound();
        }
        Idle();
    }
    return RET_OK;
}

int CModBusServerThread::Stop()
{
    // The loop sleeps without a time-out: a message wakes it. A loop that
    // cleared the flag itself is on its way out already.
    if (m_bRun.exchange(false))
        SendCmd(CMD_STOP, 0, 0);
    return CPipeThread::Stop();
}

int CModBusServerThread::DescriptorAvailable(int iFD)
{
    if (iFD == m_iTimerWork && m_iTimerWork >= 0) {
        uint64_t ullExpired = 0;
        if (read(iFD, &ullExpired, sizeof(ullExpired)) ==
            static_cast<ssize_t>(sizeof(ullExpired))) {
            m_llTimerDueMs = -1; // a one-shot timer: spent
            Work();
        }
        return 0;
    }
    if (m_server.Serve(iFD) || m_dbus.Serve(iFD))
        return 0;
    return CPipeThread::DescriptorAvailable(iFD);
}

int CModBusServerThread::Idle()
{
    const int iPort = m_server.SerialFD();
    if (iPort >= 0 && (GetReturnedEvents(iPort) & (POLLHUP | POLLNVAL)) != 0) {
        m_server.DropHungUpPort();
        // The status shows the loss until a new "init".
        m_dbus.SetProcStatus(MBSRV_ERR_OPEN, EIO);
        // The port itself is closed by "deinit", with the context.
    }
    m_dbus.Idle();
    return RET_OK;
}

int CModBusServerThread::Work()
{
    CheckSendStatus();
    m_server.ExpireRequests(MonotonicMs());
    return 0;
}

void CModBusServerThread::CheckSendStatus()
{
    const int iState = m_dbus.GetState();
    if (iState != DBUS_READY && iState != DBUS_RUN)
        return;
    time_t tNow = MonotonicSeconds();
    if (tNow > m_tLastStatus + 2) {
        m_tLastStatus = tNow;
        m_dbus.SendStatusSignal();
    }
}

void CModBusServerThread::ArmWorkTimer()
{
    if (m_iTimerWork < 0)
        return;
    long long llDue = -1;
    const int iState = m_dbus.GetState();
    if (iState == DBUS_READY || iState == DBUS_RUN) {
        // The status goes out once the whole seconds passed exceed the last
        // one by more than 2.
        llDue = (static_cast<long long>(m_tLastStatus) + 3) * 1000LL;
    }
    const long long llRequest = m_server.NextDeadline();
    if (llRequest >= 0 && (llDue < 0 || llRequest < llDue))
        llDue = llRequest;
    if (llDue == m_llTimerDueMs)
        return;
    m_llTimerDueMs = llDue;
    itimerspec due;
    memset(&due, 0, sizeof(due));
    if (llDue >= 0) {
        due.it_value.tv_sec = static_cast<time_t>(llDue / 1000);
        due.it_value.tv_nsec = static_cast<long>((llDue % 1000) * 1000000L);
        if (due.it_value.tv_sec == 0 && due.it_value.tv_nsec == 0)
            due.it_value.tv_nsec = 1; // all zero would disarm
    }
    timerfd_settime(m_iTimerWork, TFD_TIMER_ABSTIME, &due, nullptr);
}
