#include "masterrights.h"

#include <modbus/modbus.h>

bool CMasterRights::Reaches(const MbSpan_t& span) const
{
    if (m_vRanges.empty())
        return true;
    const long lLast = static_cast<long>(span.iAddress) + span.iQuantity - 1;
    // The block must lie inside one range; ranges that touch are written as
    // one by whoever wants them joined.
    for (const RegRange_t& range : m_vRanges) {
        if (span.iAddress >= range.iFirst && lLast <= range.iLast)
            return true;
    }
    return false;
}

int CMasterRights::Permit(const MbRequest_t&, const MbReach_t& reach) const
{
    const int iRefused = MODBUS_EXCEPTION_ILLEGAL_FUNCTION;
    // Report server id reaches nothing: any master that may do anything.
    if (!reach.bRead && !reach.bWrite)
        return m_bRead || m_bWrite ? 0 : iRefused;
    // A write-and-read needs both rights: its write runs first.
    if ((reach.bRead && !m_bRead) || (reach.bWrite && !m_bWrite))
        return iRefused;
    if ((reach.bRead && !Reaches(reach.read)) || (reach.bWrite && !Reaches(reach.write)))
        return iRefused;
    return 0;
}
