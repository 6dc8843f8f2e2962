// The daemon's worker thread. It puts the parts together and runs the one
// loop that serves them all: the D-Bus endpoint (bus connection, "cmd" and
// its state), the command table, the Modbus server (register block,
// request handler, transports) and the work timer.
#pragma once

#include <poll.h>

#include <ctime>
#include <vector>

#include "commandservice.h"
#include "dbusendpoint.h"
#include "modbusserver.h"
#include "pipethread.h"
#include "waitlist.h"

class CModBusServerThread : public CPipeThread, private CDBusLoop, private CWaitList
{
public:
    CModBusServerThread();
    ~CModBusServerThread() override;

    int Init() override;
    int Close() override;
    // The loop: one poll, then every descriptor it found ready is served, so
    // no master, no D-Bus client and no message waits for another source.
    // Between rounds it sleeps until a descriptor is ready or the work timer
    // fires, armed only for the next real deadline.
    int Run() override;
    // Wakes the loop so that it sees the cleared run flag, then joins.
    int Stop() override;
    // The work timer, then the Modbus transports, then the bus connection,
    // then the thread's pipe.
    int DescriptorAvailable(int iFD) override;
    // Stops watching a serial port that hung up (an unplugged adapter),
    // which poll would otherwise report at once on every iteration.
    int Idle() override;

    // True once the connection to the bus broke; the thread then stops by itself.
    bool BusLost() const { return m_dbus.BusLost(); }
    int GetState() const { return m_dbus.GetState(); }

private:
    // CDBusLoop: the bus connection's descriptors in the wait list.
    int WatchDescriptor(int iFD, short sEvents) override;
    int UnwatchDescriptor(int iFD) override;
    short ReadyEvents(int iFD) const override;
    void EndLoop() override;
    // CWaitList: the transports' descriptors in the wait list.
    void Watch(int iFD, short sEvents) override { AddWaitDescriptor(iFD, sEvents); }
    void Unwatch(int iFD) override { RemoveWaitDescriptor(iFD); }

    int Work();
    void CheckSendStatus();
    // Arms the work timer for the earliest deadline: the next status signal
    // while configured, a partial request's time-out. Disarmed when none.
    void ArmWorkTimer();

    CDBusEndpoint m_dbus;
    CModbusServer m_server;
    CCommandService m_commands;
    int m_iTimerWork;
    time_t m_tLastStatus;
    // Descriptors the last poll found ready (kept to avoid an allocation per round).
    std::vector<pollfd> m_vReady;
    // Monotonic milliseconds the work timer is armed for; -1 when disarmed.
    long long m_llTimerDueMs;
};
