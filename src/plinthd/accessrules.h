// Which masters may connect or write: networks given as CIDR text (IPv4 and
// IPv6). What one master may do is CMasterRights (masterrights.h).
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

// A list of networks. An empty list that was never set admits everyone; a
// set list admits the addresses inside one of its networks.
class CAddressList
{
public:
    // Reads one network: "a.b.c.d/n", "a.b.c.d", "x:y::z/n" or "x:y::z". Host
    // bits beyond the prefix are ignored ("10.1.2.3/8" is 10.0.0.0/8). False
    // for anything else (a name, a zone index, a prefix out of range, spaces).
    bool Add(const std::string& sCidr);
    void Clear()
    {
        m_vNetworks.clear();
        m_bSet = false;
    }
    // From now on only the networks added admit (even when none is added).
    void Restrict() { m_bSet = true; }
    bool IsRestricted() const { return m_bSet; }
    // An IPv4 master reached through an IPv6 socket (::ffff:a.b.c.d) is
    // matched as the IPv4 address it is.
    bool Admits(const sockaddr_storage& addr) const;
    size_t Size() const { return m_vNetworks.size(); }

private:
    struct Network_t {
        uint8_t abyAddr[16]; // IPv4 as ::ffff:a.b.c.d
        int iPrefix;         // over the 128 bits
    };
    static bool Matches(const Network_t& net, const uint8_t* pAddr);
    std::vector<Network_t> m_vNetworks;
    bool m_bSet = false;
};
