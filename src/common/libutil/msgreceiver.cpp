#include "msgreceiver.h"

int CMsgReceiver::DispatchMessage(Msg_t*)
{
    return RET_OK;
}

CMsgReceiver::~CMsgReceiver() = default;
