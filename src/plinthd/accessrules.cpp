#include "accessrules.h"

#include <arpa/inet.h>
#include <modbus/modbus.h>
#include <netinet/in.h>

#include <cctype>
#include <cstring>

namespace
{

inline int Word(const uint8_t* p)
{
    return (p[0] << 8) | p[1];
}

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

bool CMasterRights::Reaches(int iAddr, int iQuantity) const
{
    if (m_vRanges.empty())
        return true;
    const long lLast = static_cast<long>(iAddr) + iQuantity - 1;
    // The block must lie inside one range; ranges that touch are written as
    // one by whoever wants them joined.
    for (const RegRange_t& range : m_vRanges) {
        if (iAddr >= range.iFirst && lLast <= range.iLast)
            return true;
    }
    return false;
}

int CMasterRights::Refusal(const uint8_t* pPdu, int iLen) const
{
    if (pPdu == nullptr || iLen < 1)
        return 0;
    const int iFunc = pPdu[0];
    const int iRefused = MODBUS_EXCEPTION_ILLEGAL_FUNCTION;
    switch (iFunc) {
    case MODBUS_FC_READ_COILS:
    case MODBUS_FC_READ_DISCRETE_INPUTS:
    case MODBUS_FC_READ_HOLDING_REGISTERS:
    case MODBUS_FC_READ_INPUT_REGISTERS:
        if (!m_bRead)
            return iRefused;
        if (iLen < 5)
            return 0;
        return Reaches(Word(pPdu + 1), Word(pPdu + 3)) ? 0 : iRefused;
    case MODBUS_FC_WRITE_SINGLE_COIL:
    case MODBUS_FC_WRITE_SINGLE_REGISTER:
    case MODBUS_FC_MASK_WRITE_REGISTER:
        if (!m_bWrite)
            return iRefused;
        if (iLen < 3)
            return 0;
        return Reaches(Word(pPdu + 1), 1) ? 0 : iRefused;
    case MODBUS_FC_WRITE_MULTIPLE_COILS:
    case MODBUS_FC_WRITE_MULTIPLE_REGISTERS:
        if (!m_bWrite)
            return iRefused;
        if (iLen < 5)
            return 0;
        return Reaches(Word(pPdu + 1), Word(pPdu + 3)) ? 0 : iRefused;
    case MODBUS_FC_WRITE_AND_READ_REGISTERS:
        // Both halves must be allowed: the write is executed first.
        if (!m_bRead || !m_bWrite)
            return iRefused;
        if (iLen < 9)
            return 0;
        return Reaches(Word(pPdu + 1), Word(pPdu + 3)) && Reaches(Word(pPdu + 5), Word(pPdu + 7))
                   ? 0
                   : iRefused;
    case MODBUS_FC_REPORT_SLAVE_ID:
        // Identification only, no register: any master that may do anything.
        return m_bRead || m_bWrite ? 0 : iRefused;
    default:
        // Unknown and unsupported functions get their own answer.
        return 0;
    }
}
