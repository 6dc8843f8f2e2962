// The daemon's worker: a D-Bus service thread that configures, fills and
// serves one block of Modbus registers over RTU, TCP or TCP-PI.
#pragma once

#include <modbus/modbus.h>

#include <poll.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "dbusthread.h"
#include "modbustypes.h"
#include "registerblock.h"

class CModbusConnection;

// The server thread keeps the commands (modbusserverthread.cpp) and the
// serving of masters (modbusserving.cpp); each Modbus TCP connection frames
// its own requests (modbusconnection.cpp).
class CModBusServerThread : public DBusThread
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

    // Applies the access rules to the query a master sent (after it was
    // answered) and reports reads and writes. iLen is the query length.
    void ProcessModbusQuery(const uint8_t* pQuery, int iLen);

    const ModbusConfig_t& Config() const { return m_mbConfig; }
    const ModbusStat_t& Stat() const { return m_mbStat; }
    const CRegisterBlock& Registers() const { return m_regs; }

protected:
    // Open the configured interface; 0 on success, else the error code.
    virtual int InitMbRtu();
    virtual int InitMbTcp();
    virtual int InitMbTcpPI();
    // Closes clients, the port or listening socket and the context, and frees
    // the register buffers (the access table stays). 0.
    int CloseModbus();

    // Accepts the pending TCP connections (a few per round).
    void AcceptClients();
    // Takes over an accepted socket as a connection and reports it.
    void AddClient(int iFD, const TcpClient_t& client);
    // Reads what one TCP master sent and answers every complete request.
    void ServeConnection(CModbusConnection& conn);
    // Receives and answers one query on the serial line.
    void ServeRtuQuery();
    // Answers one whole request (TCP: MBAP header first; RTU: unit id first,
    // CRC last). pConn is null on the serial line. False when the answer
    // could not be sent.
    bool AnswerRequest(CModbusConnection* pConn, const uint8_t* pAdu, int iLen);
    // Closes a TCP client and reports it.
    void DropClient(int iFD);
    CModbusConnection* Connection(int iFD) const;

    void ProcessModbusQuery(const uint8_t* pQuery, int iLen, bool bWritten);
    void ProcessModbusQueryRead(int iAddr, int iLen);
    // bWritten: the master's values reached the Modbus registers, so the
    // access rules apply; a refused write is only reported.
    void ProcessModbusQueryWrite(int iAddr, int iLen, bool bWritten = true);
    void SendModbusDataSignal(const RegZone_t& zone);
    void SendModbusEventSignal(cJSON* jvEvent);
    void SendClientEvent(const char* pszType, const TcpClient_t& client);

    int Work();
    void CheckSendStatus();
    // Arms the work timer for the earliest deadline: the next status signal
    // while configured, a partial request's time-out. Disarmed when none.
    void ArmWorkTimer();

    int m_iTimerRefresh;
    int m_iTimerWork;
    int m_iState;
    int m_iEventFD;
    ModbusConfig_t m_mbConfig;
    ModbusStat_t m_mbStat;
    modbus_t* m_pmbCtx;
    int m_mbFD;
    // Connections by socket descriptor (so status lists them in that order).
    std::vector<std::unique_ptr<CModbusConnection>> m_vConnections;
    CRegisterBlock m_regs;
    bool m_bEnableEvent;
    time_t m_tLastStatus;
    int rc;

private:
    int ParseInitRequest(cJSON* json, RegZoneList_t& tables, RegZoneList_t& zones,
                         std::string& sInfo);
    int OpenInterface();
    bool IsTcp() const
    {
        return m_mbConfig.eType == MBTYPE_TCP || m_mbConfig.eType == MBTYPE_TCP_PI;
    }
    // Sends a signal whose argument is the indented JSON text of pJson.
    void SendIndentedSignal(const char* pszMember, const cJSON* pJson, const char* pszSentLog);
    // Sends a signal whose argument is sText; during a round of the loop it
    // is kept until the round's answers are out.
    void SendTextSignal(const char* pszMember, const std::string& sText, const char* pszSentLog);
    void SendPendingSignals();
    void EmitSignal(const char* pszMember, const std::string& sText, const char* pszSentLog);
    // Sends an answer PDU framed for the interface (MBAP or unit id + CRC).
    bool SendPdu(CModbusConnection* pConn, const uint8_t* pAdu, const uint8_t* pPdu, int iPduLen);
    bool SendException(CModbusConnection* pConn, const uint8_t* pAdu, int iFunction, int iCode);
    // Function 23: the write, the access rules, then the read of what the
    // registers hold afterwards.
    bool AnswerWriteAndRead(CModbusConnection* pConn, const uint8_t* pAdu, int iLen);
    // Drops connections whose partial request has run out of time.
    void ExpireRequests(long long llNowMs);
    // A descriptor kept open so that a connection can still be accepted and
    // closed when the process has run out of descriptors.
    int m_iSpareFD;
    // Descriptors the last poll found ready (kept to avoid an allocation per round).
    std::vector<pollfd> m_vReady;
    // Connections with a partial request, whose deadline the timer watches.
    int m_iReceiving;
    // Monotonic milliseconds the work timer is armed for; -1 when disarmed.
    long long m_llTimerDueMs;
    struct PendingSignal_t {
        const char* pszMember;
        std::string sText;
        const char* pszSentLog;
    };
    // Signals of the current round, in the order they were raised.
    std::vector<PendingSignal_t> m_vPendingSignals;
    bool m_bInRound = false;
};
