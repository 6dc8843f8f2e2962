#include "connection.h"

CConnectionAbstract::CConnectionAbstract() : m_iDestination(0), m_iFlags(0), m_iTimeout(5000) {}

CConnectionAbstract::~CConnectionAbstract() = default;

int CConnectionAbstract::Init(int, int)
{
    return RET_ERROR;
}

int CConnectionAbstract::SetTimeout(int iTimeoutMilliSec)
{
    m_iTimeout = iTimeoutMilliSec;
    return RET_OK;
}

int CConnectionAbstract::Open()
{
    return RET_ERROR;
}

int CConnectionAbstract::Send(Msg_t*, unsigned)
{
    return RET_ERROR;
}

int CConnectionAbstract::Receive(Msg_t*, unsigned)
{
    return RET_ERROR;
}

int CConnectionAbstract::SendRaw(unsigned char*, unsigned)
{
    return RET_ERROR;
}

int CConnectionAbstract::ReceiveRaw(unsigned char*, unsigned)
{
    return RET_ERROR;
}

int CConnectionAbstract::GetByte()
{
    return RET_ERROR;
}

int CConnectionAbstract::Close()
{
    return RET_ERROR;
}

int CConnectionAbstract::GetFD()
{
    return RET_ERROR;
}

bool CConnectionAbstract::isActive()
{
    return GetFD() != -1;
}
