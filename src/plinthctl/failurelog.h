// Where plinthctl reports what went wrong: standard error always ("TAG:
// text"), and with a tag (--log TAG) the system log too, as user.err, the
// way the unit's scripts log. A script that ends in `exec plinthctl` thus
// keeps its own tag and lines without starting a logger process.
#pragma once

#include <sys/un.h>

#include <string>

class CFailureLog
{
public:
    // The tag of syslog lines; empty: standard error only, as "plinthctl".
    void SetTag(const std::string& sTag) { m_sTag = sTag; }
    bool Tagged() const { return !m_sTag.empty(); }

    void Error(const std::string& sText) const;
    // Something worth noting that is not a failure (user.notice).
    void Notice(const std::string& sText) const;

    // Builds the line a signal handler sends with EmergencyError(), which
    // only uses async-signal-safe calls.
    void PrepareEmergency(const std::string& sText);
    void EmergencyError() const;

private:
    std::string Datagram(int iPriority, const std::string& sText) const;
    void Send(const std::string& sDatagram) const;
    static bool SocketAddress(sockaddr_un& addr);
    static void SendTo(const sockaddr_un& addr, const char* pData, size_t uSize);

    std::string m_sTag;
    std::string m_sEmergencyStderr;
    std::string m_sEmergencyDatagram;
    sockaddr_un m_emergencyAddr{};
    bool m_bEmergencyAddr = false;
};

// The system log's socket: /dev/log, under TESSAL_ROOT when that is set.
std::string SyslogSocketPath();
