// The Modbus side of the daemon: the register block, the request handler,
// the signals they raise, and the transport the configuration names (RTU,
// TCP or TCP-PI), opened, served and closed here. It knows nothing of D-Bus
// commands or of the loop: descriptors are watched through a CWaitList, and
// signals go out on the connection the given function returns.
#pragma once

#include <functional>

#include "modbustypes.h"
#include "registerblock.h"
#include "requesthandler.h"
#include "rtutransport.h"
#include "signalqueue.h"
#include "tcptransport.h"
#include "waitlist.h"

struct DBusConnection;
struct cJSON;

class CModbusServer
{
public:
    CModbusServer(CWaitList& waitList, std::function<DBusConnection*()> connection);
    virtual ~CModbusServer();
    CModbusServer(const CModbusServer&) = delete;
    CModbusServer& operator=(const CModbusServer&) = delete;

    // The configuration of the last "init", which OpenInterface() uses.
    ModbusConfig_t& Config() { return m_mbConfig; }
    const ModbusConfig_t& Config() const { return m_mbConfig; }
    ModbusStat_t& Stat() { return m_mbStat; }
    const ModbusStat_t& Stat() const { return m_mbStat; }
    CRegisterBlock& Registers() { return m_regs; }
    CRequestHandler& Handler() { return m_handler; }
    CSignalQueue& Signals() { return m_signals; }

    // Opens the interface the configuration names; 0, else the error code
    // (299 when it cannot be opened, 110 while open, -1 when the library
    // refused the RTU unit id, 108 for no protocol). The transport watches
    // its own descriptors once open.
    int OpenInterface();
    // Closes the clients, the port or listening socket, and frees the
    // register buffers (the access table stays).
    int CloseModbus();

    // Serves a ready descriptor of the open transport; false when iFD is
    // none of its.
    bool Serve(int iFD);

    bool IsTcp() const
    {
        return m_mbConfig.eType == MBTYPE_TCP || m_mbConfig.eType == MBTYPE_TCP_PI;
    }
    // Appends the masters of the open transport to the status array
    // "clients": one per TCP connection, one for the serial line. False when
    // the status has no "clients" (no TCP configured, no serial port open).
    bool HasClientsInStatus() const;
    void AddClientsToStatus(cJSON* pArray) const;
    // TCP and TCP-PI: "limits", the bounds of the masters and what they did.
    void AddLimitsToStatus(cJSON* pStatus) const;

    // The serial port's descriptor while it is watched, else -1.
    int SerialFD() const;
    // Stops watching a serial port that hung up; logged. The port itself is
    // closed with the interface.
    void DropHungUpPort();

    // Monotonic milliseconds of the earliest partial TCP request's
    // deadline; -1 when none.
    long long NextDeadline() const { return m_tcp.NextDeadline(); }
    void ExpireRequests(long long llNowMs) { m_tcp.ExpireRequests(llNowMs); }

protected:
    // Open the configured interface; 0 on success, else the error code.
    virtual int InitMbRtu();
    virtual int InitMbTcp();
    virtual int InitMbTcpPI();

private:
    ModbusConfig_t m_mbConfig;
    ModbusStat_t m_mbStat;
    CRegisterBlock m_regs;
    CSignalQueue m_signals;
    CRequestHandler m_handler;
    CTcpTransport m_tcp;
    CRtuTransport m_rtu;
};
