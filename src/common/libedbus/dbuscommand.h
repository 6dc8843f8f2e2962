// The command words of the method "cmd": the service states they are used
// in, and the record of a command table. A service keeps one static array
// of {word, allowed states, handler} and looks each request's word up in it,
// so that a word, where it may be used and what answers it are read in one
// line.
#pragma once

#include <cJSON.h>

#include <cstddef>
#include <cstring>

#include "plinthdiface.h"

// Service states of a D-Bus service.
enum {
    DBUS_UNKNOWN = 0,
    DBUS_IDLE = 1,
    DBUS_READY = 2,
    DBUS_RUN = 3,
    DBUS_STOPPING = 4,
};

// Names of the states in log lines, indexed by state.
extern const char* arState[];

// Sets of states, one bit per state.
constexpr unsigned DBusStateBit(int iState)
{
    return iState >= 0 && iState < 32 ? 1u << iState : 0u;
}
constexpr unsigned DBUS_IN_ANY = ~0u;
constexpr unsigned DBUS_IN_IDLE = DBusStateBit(DBUS_IDLE);
constexpr unsigned DBUS_IN_CONFIGURED = DBusStateBit(DBUS_READY) | DBusStateBit(DBUS_RUN);
constexpr unsigned DBUS_IN_RUN = DBusStateBit(DBUS_RUN);

// One command word: the states it is allowed in and the member of THandler
// that runs it. The handler returns the "err" code and may leave a reply
// object in jsonResult (else the reply is {"err":code,"info":""}).
template <class THandler> struct DBusCommand_t {
    const char* pszWord;
    unsigned uStates;
    int (THandler::*pfnRun)(cJSON* json, cJSON*& jsonResult);
};

// Logs the word of a request as it is dispatched.
void LogCommandWord(const char* pcCmd);
// Logs a word refused in state iState and returns DBUS_ERR_INVALID_STATE.
int ReportInvalidState(int iState, const char* pcCmd);

// Runs the word pcCmd through aTable in state iState: its handler when the
// state allows it, else DBUS_ERR_INVALID_STATE; DBUS_ERR_UNKNOWN_CMD for a
// word the table does not hold. Words are matched exactly (case-sensitive).
template <class THandler, size_t N>
int DispatchDBusCommand(const DBusCommand_t<THandler> (&aTable)[N], THandler& handler, int iState,
                        const char* pcCmd, cJSON* json, cJSON*& jsonResult)
{
    LogCommandWord(pcCmd);
    for (const DBusCommand_t<THandler>& command : aTable) {
        if (strcmp(command.pszWord, pcCmd) != 0)
            continue;
        if ((command.uStates & DBusStateBit(iState)) == 0)
            return ReportInvalidState(iState, pcCmd);
        return (handler.*command.pfnRun)(json, jsonResult);
    }
    return DBUS_ERR_UNKNOWN_CMD;
}
