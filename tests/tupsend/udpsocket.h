// A real UDP socket on loopback for the tests, bound to an ephemeral port.
#pragma once

#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace testutil
{

class UdpSocket
{
public:
    explicit UdpSocket(const std::string& address = "127.0.0.1", uint16_t port = 0)
    {
        m_fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        inet_pton(AF_INET, address.c_str(), &a.sin_addr);
        m_ok = m_fd >= 0 && bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        socklen_t len = sizeof a;
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len);
        m_port = ntohs(a.sin_port);
    }
    ~UdpSocket()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    bool ok() const { return m_ok; }
    uint16_t port() const { return m_port; }

    // One datagram, or false when none arrives within timeoutMs.
    bool receive(std::vector<uint8_t>& out, int timeoutMs = 3000)
    {
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0)
            return false;
        out.resize(65536);
        const ssize_t n = recv(m_fd, out.data(), out.size(), 0);
        if (n < 0)
            return false;
        out.resize(static_cast<size_t>(n));
        return true;
    }

    bool sendTo(const std::vector<uint8_t>& data, uint16_t port,
                const std::string& host = "127.0.0.1")
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        inet_pton(AF_INET, host.c_str(), &a.sin_addr);
        return sendto(m_fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&a),
                      sizeof a) == static_cast<ssize_t>(data.size());
    }

private:
    int m_fd = -1;
    bool m_ok = false;
    uint16_t m_port = 0;
};

} // namespace testutil
