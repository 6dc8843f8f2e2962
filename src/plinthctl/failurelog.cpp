#include "failurelog.h"

#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

namespace
{

// One line per message: a newline inside the text (a multi-line reply)
// would split it in the log.
std::string OneLine(const std::string& sText)
{
    std::string s = sText;
    for (char& c : s) {
        if (c == '\n' || c == '\r')
            c = ' ';
    }
    return s;
}

void WriteAll(int iFd, const std::string& s)
{
    size_t n = 0;
    while (n < s.size()) {
        ssize_t w = write(iFd, s.data() + n, s.size() - n);
        if (w <= 0)
            return;
        n += static_cast<size_t>(w);
    }
}

} // namespace

std::string SyslogSocketPath()
{
    const char* pszRoot = std::getenv("TESSAL_ROOT");
    return std::string(pszRoot != nullptr ? pszRoot : "") + "/dev/log";
}

std::string CFailureLog::Datagram(int iPriority, const std::string& sText) const
{
    // The classic syslog line as syslog(3) writes it to the local socket:
    // <priority>timestamp tag: text
    time_t t = time(nullptr);
    tm local;
    localtime_r(&t, &local);
    char szStamp[32];
    strftime(szStamp, sizeof szStamp, "%b %e %H:%M:%S", &local);
    return "<" + std::to_string(LOG_USER | iPriority) + ">" + szStamp + " " + m_sTag + ": " +
           OneLine(sText);
}

bool CFailureLog::SocketAddress(sockaddr_un& addr)
{
    // syslog(3) has no way to name another socket, and the tests need one.
    const std::string sPath = SyslogSocketPath();
    addr = sockaddr_un{};
    addr.sun_family = AF_UNIX;
    if (sPath.size() >= sizeof addr.sun_path)
        return false;
    std::memcpy(addr.sun_path, sPath.c_str(), sPath.size() + 1);
    return true;
}

void CFailureLog::SendTo(const sockaddr_un& addr, const char* pData, size_t uSize)
{
    int iFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (iFd < 0)
        return;
    // No log daemon: the line is lost, as with syslog(3); standard error
    // still has it.
    sendto(iFd, pData, uSize, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    close(iFd);
}

void CFailureLog::Send(const std::string& sDatagram) const
{
    sockaddr_un addr;
    if (SocketAddress(addr))
        SendTo(addr, sDatagram.data(), sDatagram.size());
}

void CFailureLog::Error(const std::string& sText) const
{
    WriteAll(STDERR_FILENO, (Tagged() ? m_sTag : "plinthctl") + ": " + OneLine(sText) + "\n");
    if (Tagged())
        Send(Datagram(LOG_ERR, sText));
}

void CFailureLog::Notice(const std::string& sText) const
{
    WriteAll(STDERR_FILENO, (Tagged() ? m_sTag : "plinthctl") + ": " + OneLine(sText) + "\n");
    if (Tagged())
        Send(Datagram(LOG_NOTICE, sText));
}

void CFailureLog::PrepareEmergency(const std::string& sText)
{
    m_sEmergencyStderr = (Tagged() ? m_sTag : "plinthctl") + ": " + OneLine(sText) + "\n";
    m_sEmergencyDatagram = Tagged() ? Datagram(LOG_ERR, sText) : std::string();
    m_bEmergencyAddr = Tagged() && SocketAddress(m_emergencyAddr);
}

void CFailureLog::EmergencyError() const
{
    // Only write, socket, sendto and close here: this runs in a signal
    // handler. The strings were built beforehand and are not changed.
    WriteAll(STDERR_FILENO, m_sEmergencyStderr);
    if (m_bEmergencyAddr)
        SendTo(m_emergencyAddr, m_sEmergencyDatagram.data(), m_sEmergencyDatagram.size());
}
