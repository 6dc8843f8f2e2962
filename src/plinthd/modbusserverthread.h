// The daemon's worker: a D-Bus service thread that configures, fills and
// serves one block of Modbus registers over RTU, TCP or TCP-PI.
#pragma once

#include <modbus/modbus.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "dbusthread.h"
#include "modbustypes.h"
#include "registerblock.h"


class CModBusServerThread : public DBusThread
{
public:
    CModBusServerThread();
    ~CModBusServerThread() override;

    int Init() override;
    int Close() override;
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

    // Applies the access rules to the query a master sent (after libmodbus
    // answered it) and reports reads and writes. iLen is the query length.
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

    // Accepts one pending TCP connection.
    void AcceptClient();
    // Receives and answers one query on iFD.
    void ServeQuery(int iFD);
    // Serves iFirst, then one query of every other client the last poll
    // found ready.
    void ServeReadyClients(int iFirst);
    // Closes a TCP client and reports it.
    void DropClient(int iFD);

    void ProcessModbusQueryRead(int iAddr, int iLen);
    void ProcessModbusQueryWrite(int iAddr, int iLen);
    void SendModbusDataSignal(const RegZone_t& zone);
    void SendModbusEventSignal(cJSON* jvEvent);
    void SendClientEvent(const char* pszType, const TcpClient_t& client);

    int Work();
    void CheckSendStatus();

    int m_iTimerRefresh;
    int m_iTimerWork;
    int m_iState;
    int m_iEventFD;
    ModbusConfig_t m_mbConfig;
    ModbusStat_t m_mbStat;
    modbus_t* m_pmbCtx;
    int m_mbFD;
    TcpClientList_t m_clientList;
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
    // A descriptor kept open so that a connection can still be accepted and
    // closed when the process has run out of descriptors.
    int m_iSpareFD;
    // Clients found ready in one round (kept to avoid an allocation per query).
    std::vector<int> m_vReady;
};
