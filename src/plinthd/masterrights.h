// What one master may do: read, write, and the registers (and coils) it may
// reach. The request handler asks it, through its permission seam, before
// it executes a request; a TCP master's rights come from the address lists
// and, on the secure port, from its role.
#pragma once

#include <cstdint>
#include <vector>

#include "requesthandler.h"

// A block of registers a master may reach: from iFirst to iLast, inclusive.
typedef struct RegRange_s {
    int iFirst = 0;
    int iLast = 0;
} RegRange_t;

// The default allows everything (a plain TCP master without rules).
class CMasterRights : public CRequestPermit
{
public:
    CMasterRights() = default;
    CMasterRights(bool bRead, bool bWrite, std::vector<RegRange_t> vRanges)
        : m_bRead(bRead), m_bWrite(bWrite), m_vRanges(std::move(vRanges))
    {
    }
    bool CanRead() const { return m_bRead; }
    bool CanWrite() const { return m_bWrite; }
    void ForbidWrite() { m_bWrite = false; }
    const std::vector<RegRange_t>& Ranges() const { return m_vRanges; }

    // 0 when the request may run, else 01 (Illegal Function): the function
    // is not allowed to this master, for what it reads or writes or where.
    int Permit(const MbRequest_t& request, const MbReach_t& reach) const override;

private:
    bool Reaches(const MbSpan_t& span) const;
    bool m_bRead = true;
    bool m_bWrite = true;
    // Empty: every register and coil.
    std::vector<RegRange_t> m_vRanges;
};
