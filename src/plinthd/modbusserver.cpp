#include "modbusserver.h"

#include <syslog.h>

#include "log.h"
#include "plinthdiface.h"

CModbusServer::CModbusServer(CWaitList& waitList, std::function<DBusConnection*()> connection)
    : m_signals(std::move(connection)), m_handler(m_regs, m_signals),
      m_tcp(waitList, m_handler, m_mbStat), m_rtu(waitList, m_handler, m_mbStat)
{
}

CModbusServer::~CModbusServer()
{
    CloseModbus();
}

int CModbusServer::OpenInterface()
{
    switch (m_mbConfig.eType) {
    case MBTYPE_RTU:
        return InitMbRtu();
    case MBTYPE_TCP:
        return InitMbTcp();
    case MBTYPE_TCP_PI:
        return InitMbTcpPI();
    default:
        return DBUS_ERR_JSON_ELEMENT;
    }
}

int CModbusServer::InitMbRtu()
{
    return m_rtu.Open(m_mbConfig.rtu);
}

int CModbusServer::InitMbTcp()
{
    return m_tcp.OpenTcp(m_mbConfig.tcp, m_mbConfig.serving);
}

int CModbusServer::InitMbTcpPI()
{
    return m_tcp.OpenTcpPi(m_mbConfig.tcppi, m_mbConfig.serving);
}

int CModbusServer::CloseModbus()
{
    m_tcp.Close();
    m_rtu.Close();
    m_regs.ReleaseBuffers();
    return 0;
}

bool CModbusServer::Serve(int iFD)
{
    return m_tcp.Serve(iFD) || m_rtu.Serve(iFD);
}

bool CModbusServer::HasClientsInStatus() const
{
    return IsTcp() || (m_mbConfig.eType == MBTYPE_RTU && m_rtu.IsOpen());
}

void CModbusServer::AddClientsToStatus(cJSON* pArray) const
{
    if (IsTcp())
        m_tcp.AddClientsToStatus(pArray);
    else if (m_mbConfig.eType == MBTYPE_RTU && m_rtu.IsOpen())
        m_rtu.AddClientToStatus(pArray);
}

void CModbusServer::AddLimitsToStatus(cJSON* pStatus) const
{
    if (IsTcp())
        m_tcp.AddLimitsToStatus(pStatus);
}

int CModbusServer::SerialFD() const
{
    return m_rtu.IsOpen() ? m_rtu.FD() : -1;
}

void CModbusServer::DropHungUpPort()
{
    LogWrite("MBSRV ", LOG_ERR, "Serial port %s hung up, no longer served\n",
             m_mbConfig.rtu.sDevice.c_str());
    m_rtu.Unwatch();
}
