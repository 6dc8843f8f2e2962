#pragma once

#include "connection.h"

// Root of every object that can be handed a pipe message.
class CMsgReceiver
{
public:
    CMsgReceiver() = default;
    CMsgReceiver(const CMsgReceiver&) = delete;
    CMsgReceiver& operator=(const CMsgReceiver&) = delete;

    // Handles one received message; the base ignores it and returns RET_OK.
    virtual int DispatchMessage(Msg_t* pMsg);
    virtual ~CMsgReceiver();

protected:
    int m_iProcessId = 0; // not used by the daemon
};
