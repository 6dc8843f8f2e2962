// Answers Modbus requests from the register block, whatever carried them:
// a request (unit id and PDU) goes in; the answer PDU comes out, the access
// rules have been applied to what the master wrote, and the signals that
// report it are queued. No socket, no port: the TCP and RTU transports frame
// the bytes, this class decides what they mean.
#pragma once

#include <cstdint>

#include "modbustypes.h"

class CMasterRights;
class CRegisterBlock;
class CSignalQueue;
struct cJSON;

// One request as a transport framed it.
typedef struct MbRequest_s {
    int iUnit = 0;                 // unit id (RTU address, MBAP unit id)
    const uint8_t* pPdu = nullptr; // function code first
    int iPduLen = 0;
    int iAduLen = 0;   // the whole frame, for the log line
    bool bRtu = false; // which form the log line takes
    // What the master may do; null: everything (the serial line).
    const CMasterRights* pRights = nullptr;
} MbRequest_t;

// Largest answer PDU: function code and 252 bytes.
constexpr int MB_MAX_ANSWER_PDU = 253;

class CRequestHandler
{
public:
    CRequestHandler(CRegisterBlock& regs, CSignalQueue& signals);

    // Whether connections, disconnections and reads are reported ("event").
    void EnableEvents(bool bEnable) { m_bEvents = bEnable; }
    bool EventsEnabled() const { return m_bEvents; }
    // Answers one request into pAnswer (room for MB_MAX_ANSWER_PDU bytes).
    // Returns the answer's length, 0 for an empty PDU (nothing to answer).
    // bException tells whether the answer is an exception.
    int Handle(const MbRequest_t& request, uint8_t* pAnswer, bool& bException);

    // Checks a request PDU the way the standard's state diagrams do: the
    // function (01), then the quantity, byte count and frame length (03),
    // then the addresses (02). 0 when it can be executed.
    static int Check(const uint8_t* pPdu, int iLen, int iBits, int iRegisters);

    // Reports a TCP master's connection or disconnection ("tcpconnect",
    // "tcpdisconnect") when events are enabled.
    void ReportClient(const char* pszType, const TcpClient_t& client);

private:
    // Executes a checked request; returns the answer's length.
    int Execute(const uint8_t* pPdu, uint8_t* pAnswer);
    // Logs the request and reports reads and writes. bWritten: the master's
    // values reached the Modbus registers, so the access rules apply; a
    // refused write is only reported.
    void PostProcess(const MbRequest_t& request, bool bWritten);
    void ReportRead(int iAddr, int iLen);
    void ReportWrite(int iAddr, int iLen, bool bWritten);
    void SendDataSignal(const RegZone_t& zone);
    void SendEventSignal(const cJSON* pEvent);

    CRegisterBlock& m_regs;
    CSignalQueue& m_signals;
    bool m_bEvents = false;
};
