#include "dbuscommand.h"

#include <syslog.h>

#include "log.h"

const char* arState[] = {"Unknown", "Idle", "Init", "SetConfig", "Stopping"};

namespace
{
const char* MOD_CMD = "plinthd";

const char* StateName(int iState)
{
    if (iState < DBUS_UNKNOWN || iState > DBUS_STOPPING)
        return arState[DBUS_UNKNOWN];
    return arState[iState];
}
} // namespace

void LogCommandWord(const char* pcCmd)
{
    LogWrite(MOD_CMD, LOG_DEBUG, "JSON cmd %s", pcCmd);
}

int ReportInvalidState(int iState, const char* pcCmd)
{
    LogWrite(MOD_CMD, LOG_ERR, "Invalid state %s while receiving command %s", StateName(iState),
             pcCmd);
    return DBUS_ERR_INVALID_STATE;
}
