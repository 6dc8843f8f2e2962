// The D-Bus signals raised while masters are served. During a round of the
// loop they wait until every master of the round has its answer; outside a
// round they go out at once.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct DBusConnection;

class CSignalQueue
{
public:
    // pConnection gives the bus connection at the moment of sending (null
    // when there is none: the signal is dropped).
    explicit CSignalQueue(std::function<DBusConnection*()> connection);

    void BeginRound() { m_bInRound = true; }
    // Ends the round and sends what it raised, in order.
    void EndRound();
    // Queues or sends a signal with one string argument. pszSentLog is
    // logged once it was queued to libdbus.
    void Send(const char* pszMember, std::string sText, const char* pszSentLog);
    // Whether a signal sent now would go anywhere.
    bool Wanted() const { return m_bInRound || m_connection() != nullptr; }
    // Takes the texts the round raised so far, without sending them.
    std::vector<std::string> TakePending();

private:
    void Emit(const char* pszMember, const std::string& sText, const char* pszSentLog);

    struct Pending_t {
        const char* pszMember;
        std::string sText;
        const char* pszSentLog;
    };
    std::function<DBusConnection*()> m_connection;
    std::vector<Pending_t> m_vPending;
    bool m_bInRound = false;
};
