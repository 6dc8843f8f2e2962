// plinthctl's side of the bus: one private connection to the system bus, the
// daemon's cmd method, its name and its signals.
#pragma once

#include <dbus/dbus.h>

#include <functional>
#include <string>

// Exit statuses of plinthctl, one per kind of outcome.
enum {
    CTL_EXIT_OK = 0,      // delivered, "err" 0
    CTL_EXIT_REFUSED = 1, // the daemon (or the bus) refused; the reply is printed
    CTL_EXIT_USAGE = 2,   // bad command line or unreadable input
    CTL_EXIT_ABSENT = 3,  // the daemon is not on the bus, or there is no bus
    CTL_EXIT_TIMEOUT = 4, // no answer within the time-out
};

class CPlinthClient
{
public:
    CPlinthClient() = default;
    ~CPlinthClient();
    CPlinthClient(const CPlinthClient&) = delete;
    CPlinthClient& operator=(const CPlinthClient&) = delete;

    // Connects to the system bus (DBUS_SYSTEM_BUS_ADDRESS when set).
    // CTL_EXIT_OK, or CTL_EXIT_ABSENT with Error() saying why.
    int Connect();

    // Calls cmd with sJson as it is. CTL_EXIT_OK when the daemon answered
    // (sReply holds the text, whatever its "err"); otherwise the exit status
    // that matches the D-Bus failure, with Error() saying why.
    int Call(const std::string& sJson, int iTimeoutMs, std::string& sReply);

    // Waits until the daemon's name has an owner (bOwned) or has none.
    // iTimeoutMs 0 looks once. CTL_EXIT_OK, CTL_EXIT_TIMEOUT, or
    // CTL_EXIT_ABSENT when the bus went away.
    int WaitName(bool bOwned, int iTimeoutMs);

    // Delivers the daemon's signals to onSignal(member, text) until it
    // returns false, *pbStop becomes true (checked about every 200 ms) or
    // iTimeoutMs passes (-1: no time-out). CTL_EXIT_OK when onSignal or
    // pbStop ended it, CTL_EXIT_TIMEOUT on the time-out, CTL_EXIT_ABSENT when
    // the bus went away.
    int Watch(const std::function<bool(const char*, const char*)>& onSignal,
              volatile const int* pbStop, int iTimeoutMs);

    const std::string& Error() const { return m_sError; }
    // True when the last call failed because nobody owns the daemon's name
    // (as opposed to no bus or a lost bus).
    bool NameMissing() const { return m_bNameMissing; }

private:
    // -1 on a bus failure (m_sError set), else 0 or 1.
    int NameHasOwner();
    bool AddMatch(const std::string& sRule);

    DBusConnection* m_pConn = nullptr;
    std::string m_sError;
    bool m_bNameMissing = false;
};

// True when the text may travel as a D-Bus string (valid UTF-8, as the bus
// requires; libdbus ends the process on anything else).
bool IsBusString(const std::string& sText);
