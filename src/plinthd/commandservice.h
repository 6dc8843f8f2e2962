// The daemon's worker: a D-Bus service thread that takes the JSON commands,
// keeps the register block and runs the loop that serves the masters over
// the configured transport (RTU, TCP or TCP-PI).
#pragma once

#include <poll.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "dbusthread.h"
#include "modbustypes.h"
#include "registerblock.h"
#include "requesthandler.h"
#include "rtutransport.h"
#include "signalqueue.h"
#include "tcptransport.h"
#include "waitlist.h"

class CModBusServerThread : public DBusThread, public CWaitList
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
    int DescriptorAvailable(int iFD) override;
    // Stops watching a serial port that hung up (an unplugged adapter),
    // which poll would otherwise report at once on every iteration.
    int Idle() override;

    int ExecuteCmdInit(const char* pcCmd, cJSON* json, cJSON*& jsonResult) override;
    int ExecuteCmdSetConfig(const char* pcCmd, cJSON* json, cJSON*& jsonResult) override;
    int ExecuteCmdDeInit(const char* pcCmd, cJSON* json, cJSON*& jsonResult) override;
    int ExecuteCmdStop(const char* pcCmd, cJSON* json, cJSON*& jsonResult) override;
    // Answers "getconfig"; every other word is unknown.
    int ExecuteCmdOther(const char* pcCmd, cJSON* json, cJSON*& jsonResult) override;
    int GetJsonStatus(cJSON*& jsonResult) override;

    void Watch(int iFD, short sEvents) override { AddWaitDescriptor(iFD, sEvents); }
    void Unwatch(int iFD) override { RemoveWaitDescriptor(iFD); }

protected:
    // Open the configured interface; 0 on success, else the error code.
    virtual int InitMbRtu();
    virtual int InitMbTcp();
    virtual int InitMbTcpPI();
    // Closes clients, the port or listening socket, and frees the register
    // buffers (the access table stays). 0.
    int CloseModbus();

    int Work();
    void CheckSendStatus();
    // Arms the work timer for the earliest deadline: the next status signal
    // while configured, a partial request's time-out. Disarmed when none.
    void ArmWorkTimer();

    int m_iTimerWork;
    ModbusConfig_t m_mbConfig;
    ModbusStat_t m_mbStat;
    CRegisterBlock m_regs;
    CSignalQueue m_signals;
    CRequestHandler m_handler;
    CTcpTransport m_tcp;
    CRtuTransport m_rtu;
    time_t m_tLastStatus;

private:
    int ParseInitRequest(cJSON* json, RegZoneList_t& tables, RegZoneList_t& zones,
                         std::string& sInfo);
    int OpenInterface();
    bool IsTcp() const
    {
        return m_mbConfig.eType == MBTYPE_TCP || m_mbConfig.eType == MBTYPE_TCP_PI;
    }
    // Descriptors the last poll found ready (kept to avoid an allocation per round).
    std::vector<pollfd> m_vReady;
    // Monotonic milliseconds the work timer is armed for; -1 when disarmed.
    long long m_llTimerDueMs;
};
