// Answers Modbus requests from the register block, whatever carried them:
// a request (unit id and PDU) goes in; the answer PDU comes out, the access
// rules have been applied to what the master wrote, and the signals that
// report it are queued. No socket, no port: the TCP and RTU transports frame
// the bytes, this class decides what they mean.
//
// Every function the server executes is one entry of a table (in
// requesthandler.cpp): its check, the registers or bits it reads and writes,
// its execution and whether it is reported to the controller.
#pragma once

#include <cstdint>

#include "modbustypes.h"

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
} MbRequest_t;

// Largest answer PDU: function code and 252 bytes.
constexpr int MB_MAX_ANSWER_PDU = 253;

// Which of the block's tables a function works on: holding and input
// registers are the same words here, coils and discrete inputs the bits.
enum MbTable_t { MB_TABLE_NONE = 0, MB_TABLE_BITS = 1, MB_TABLE_REGISTERS = 2 };

// Consecutive addresses of one table, as the PDU names them (a refused
// request may name a quantity of 0 or past the largest).
typedef struct MbSpan_s {
    int iAddress = 0;
    int iQuantity = 0;
} MbSpan_t;

// What one request reaches, as its function's table entry reads it from the
// PDU: the table, and the addresses it reads and writes. A write-and-read
// has both; report server id has neither.
typedef struct MbReach_s {
    int iFunction = 0;
    MbTable_t eTable = MB_TABLE_NONE;
    bool bRead = false; // read holds the addresses it reads
    MbSpan_t read;
    bool bWrite = false; // write holds the addresses it writes
    MbSpan_t write;
} MbReach_t;

// Decides whether the master of one request may do what it asks. Asked for
// every request that passed its checks, before anything is executed: 0 lets
// it run; any other value is the exception code it is answered with, and
// the request then changes nothing (it is logged and reported like any
// refused request).
class CRequestPermit
{
public:
    virtual ~CRequestPermit() = default;
    virtual int Permit(const MbRequest_t& request, const MbReach_t& reach) const = 0;
};

class CRequestHandler
{
public:
    CRequestHandler(CRegisterBlock& regs, CSignalQueue& signals);

    // Whether connections, disconnections and reads are reported ("event").
    void EnableEvents(bool bEnable) { m_bEvents = bEnable; }
    bool EventsEnabled() const { return m_bEvents; }
    // Answers one request into pAnswer (room for MB_MAX_ANSWER_PDU bytes).
    // Returns the answer's length, 0 for an empty PDU (nothing to answer).
    // bException tells whether the answer is an exception. pPermit, when
    // given, decides per request what its master may do (the transport
    // passes the rights of the connection the request came on).
    int Handle(const MbRequest_t& request, uint8_t* pAnswer, bool& bException,
               const CRequestPermit* pPermit = nullptr);

    // Checks a request PDU the way the standard's state diagrams do: the
    // function (01), then the quantity, byte count and frame length (03),
    // then the addresses (02). 0 when it can be executed.
    static int Check(const uint8_t* pPdu, int iLen, int iBits, int iRegisters);
    // What a request PDU reaches (spans only where the PDU holds them).
    static MbReach_t Reach(const uint8_t* pPdu, int iLen);

    // Reports a TCP master's connection or disconnection ("tcpconnect",
    // "tcpdisconnect") when events are enabled.
    void ReportClient(const char* pszType, const TcpClient_t& client);

private:
    // Logs the request and reports its register reads and writes. bWritten:
    // the master's values reached the Modbus registers, so the access rules
    // apply; a refused write is only reported.
    // pReported: what the request reaches when its function's register reads
    // and writes are reported, else null.
    void PostProcess(const MbRequest_t& request, const MbReach_t* pReported, bool bWritten);
    void ReportRead(int iAddr, int iLen);
    void ReportWrite(int iAddr, int iLen, bool bWritten);
    void SendDataSignal(const RegZone_t& zone);
    void SendEventSignal(const cJSON* pEvent);

    CRegisterBlock& m_regs;
    CSignalQueue& m_signals;
    bool m_bEvents = false;
};
