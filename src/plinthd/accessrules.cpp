#include "accessrules.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cctype>
#include <cstring>

namespace
{

// The 16 bytes of an address, an IPv4 one as ::ffff:a.b.c.d.
bool AddressBytes(const sockaddr_storage& addr, uint8_t* pOut)
{
    if (addr.ss_family == AF_INET) {
        const sockaddr_in* pIn = reinterpret_cast<const sockaddr_in*>(&addr);
        memset(pOut, 0, 10);
        pOut[10] = pOut[11] = 0xFF;
        memcpy(pOut + 12, &pIn->sin_addr, 4);
        return true;
    }
    if (addr.ss_family == AF_INET6) {
        const sockaddr_in6* pIn6 = reinterpret_cast<const sockaddr_in6*>(&addr);
        memcpy(pOut, &pIn6->sin6_addr, 16);
        return true;
    }
    return false;
}

} // namespace

bool CAddressList::Add(const std::string& sCidr)
{
    if (sCidr.empty() || sCidr.size() > INET6_ADDRSTRLEN + 4)
        return false;
    std::string sAddr = sCidr;
    int iPrefix = -1;
    const size_t uiSlash = sCidr.find('/');
    if (uiSlash != std::string::npos) {
        const std::string sPrefix = sCidr.substr(uiSlash + 1);
        // Digits only: no sign, no blanks, no hex, at most three.
        if (sPrefix.empty() || sPrefix.size() > 3)
            return false;
        for (char c : sPrefix) {
            if (!isdigit(static_cast<unsigned char>(c)))
                return false;
        }
        iPrefix = atoi(sPrefix.c_str());
        sAddr = sCidr.substr(0, uiSlash);
    }
    Network_t net;
    memset(&net, 0, sizeof(net));
    in_addr a4;
    if (inet_pton(AF_INET, sAddr.c_str(), &a4) == 1) {
        if (iPrefix > 32)
            return false;
        net.abyAddr[10] = net.abyAddr[11] = 0xFF;
        memcpy(net.abyAddr + 12, &a4, 4);
        net.iPrefix = 96 + (iPrefix < 0 ? 32 : iPrefix);
    } else if (inet_pton(AF_INET6, sAddr.c_str(), net.abyAddr) == 1) {
        if (iPrefix > 128)
            return false;
        net.iPrefix = iPrefix < 0 ? 128 : iPrefix;
    } else {
        return false;
    }
    // The host bits are cleared, so that matching compares whole bytes.
    for (int iBit = net.iPrefix; iBit < 128; iBit++)
        net.abyAddr[iBit / 8] &= static_cast<uint8_t>(~(0x80 >> (iBit % 8)));
    m_vNetworks.push_back(net);
    m_bSet = true;
    return true;
}

bool CAddressList::Matches(const Network_t& net, const uint8_t* pAddr)
{
    const int iBytes = net.iPrefix / 8;
    if (memcmp(net.abyAddr, pAddr, static_cast<size_t>(iBytes)) != 0)
        return false;
    const int iBits = net.iPrefix % 8;
    if (iBits == 0)
        return true;
    const uint8_t byMask = static_cast<uint8_t>(0xFF << (8 - iBits));
    return (pAddr[iBytes] & byMask) == net.abyAddr[iBytes];
}

bool CAddressList::Admits(const sockaddr_storage& addr) const
{
    if (!m_bSet)
        return true;
    uint8_t abyAddr[16];
    if (!AddressBytes(addr, abyAddr))
        return false;
    for (const Network_t& net : m_vNetworks) {
        if (Matches(net, abyAddr))
            return true;
    }
    return false;
}
