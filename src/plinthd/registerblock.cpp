#include "registerblock.h"

#include <cJSON.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "jsonhelpers.h"
#include "plinthdiface.h"

CRegisterBlock::CRegisterBlock() : m_mapping(nullptr) {}

CRegisterBlock::~CRegisterBlock()
{
    ReleaseBuffers();
    ReleaseAccess();
}

int CRegisterBlock::ComputeRange(const RegZoneList_t& tables)
{
    long long llMax = 0;
    for (const RegZone_t& t : tables) {
        llMax = std::max(llMax, static_cast<long long>(t.iAddress) + t.iLength);
    }
    return static_cast<int>(std::min<long long>(llMax, MB_MAX_RANGE));
}

static void SetAccess(std::vector<int>& access, const RegZone_t& zone)
{
    long long llEnd = std::min<long long>(static_cast<long long>(zone.iAddress) + zone.iLength,
                                          static_cast<long long>(access.size()));
    for (long long a = std::max(zone.iAddress, 0); a < llEnd; a++) {
        access[a] = zone.eMode;
    }
}

int CRegisterBlock::Build(int iLength, const RegZoneList_t& tables, const RegZoneList_t& zones,
                          std::string& sInfo)
{
    ReleaseBuffers();
    ReleaseAccess();
    if (iLength < 1)
        return DBUS_ERR_JSON_ELEMENT;

    m_mapping = new (std::nothrow) modbus_mapping_t;
    if (m_mapping == nullptr)
        return -1;
    memset(m_mapping, 0, sizeof(*m_mapping));

    const char* pszFail = nullptr;
    m_dataBackend.pBits = new (std::nothrow) uint8_t[MB_BIT_COUNT]();
    if (m_dataBackend.pBits == nullptr)
        pszFail = "Can't alloc mb-bits buffer";
    if (pszFail == nullptr) {
        m_dataBackend.pRegister = new (std::nothrow) uint16_t[iLength]();
        if (m_dataBackend.pRegister == nullptr)
            pszFail = "Can't alloc mb-registers buffer";
    }
    if (pszFail == nullptr) {
        m_dataModbus.pBits = new (std::nothrow) uint8_t[MB_BIT_COUNT]();
        if (m_dataModbus.pBits == nullptr)
            pszFail = "Can't alloc mb-bits buffer";
    }
    if (pszFail == nullptr) {
        m_dataModbus.pRegister = new (std::nothrow) uint16_t[iLength]();
        if (m_dataModbus.pRegister == nullptr)
            pszFail = "Can't alloc mb-registers buffer";
    }
    if (pszFail == nullptr) {
        try {
            m_access.assign(iLength, ACCESS_NO);
        } catch (const std::bad_alloc&) {
            pszFail = "Can't alloc mb-access buffer";
        }
    }
    if (pszFail != nullptr) {
        sInfo = pszFail;
        ReleaseBuffers();
        ReleaseAccess();
        return DBUS_ERR_NO_MESSAGE;
    }

    m_rangeInfo.iAddress = 0;
    m_rangeInfo.iLength = iLength;
    for (const RegZone_t& t : tables)
        SetAccess(m_access, t);
    for (const RegZone_t& z : zones)
        SetAccess(m_access, z);

    // Coils and discrete inputs share one small bit buffer; holding and input
    // registers share the Modbus register buffer, so functions 3 and 4 agree.
    m_mapping->nb_bits = MB_BIT_COUNT;
    m_mapping->tab_bits = m_dataModbus.pBits;
    m_mapping->nb_input_bits = MB_BIT_COUNT;
    m_mapping->tab_input_bits = m_dataModbus.pBits;
    m_mapping->nb_registers = iLength;
    m_mapping->tab_registers = m_dataModbus.pRegister;
    m_mapping->nb_input_registers = iLength;
    m_mapping->tab_input_registers = m_dataModbus.pRegister;
    return 0;
}

void CRegisterBlock::ReleaseBuffers()
{
    // The mapping only points at our own buffers, so it is deleted directly
    // rather than through modbus_mapping_free.
    delete m_mapping;
    m_mapping = nullptr;
    delete[] m_dataBackend.pBits;
    delete[] m_dataBackend.pRegister;
    delete[] m_dataModbus.pBits;
    delete[] m_dataModbus.pRegister;
    m_dataBackend = Mapping_t();
    m_dataModbus = Mapping_t();
    m_rangeInfo = RegZone_t();
}

void CRegisterBlock::ReleaseAccess()
{
    std::vector<int>().swap(m_access);
}

void CRegisterBlock::StoreValues(int iAddress, const cJSON* pValues)
{
    if (m_dataBackend.pRegister == nullptr)
        return;
    long long a = iAddress;
    for (const cJSON* pVal = pValues ? pValues->child : nullptr; pVal != nullptr;
         pVal = pVal->next, a++) {
        if (a < 0 || a >= m_rangeInfo.iLength || !JsonIsInt(pVal))
            continue;
        uint16_t usVal = static_cast<uint16_t>(JsonInt(pVal));
        m_dataBackend.pRegister[a] = usVal;
        int iAccess = m_access[a];
        m_dataModbus.pRegister[a] = (iAccess == ACCESS_RO || iAccess == ACCESS_RW) ? usVal : 0;
    }
}

uint16_t CRegisterBlock::BackendValue(long long a) const
{
    if (m_dataBackend.pRegister == nullptr || a < 0 || a >= m_rangeInfo.iLength)
        return 0;
    return m_dataBackend.pRegister[a];
}

uint16_t CRegisterBlock::ModbusValue(long long a) const
{
    if (m_dataModbus.pRegister == nullptr || a < 0 || a >= m_rangeInfo.iLength)
        return 0;
    return m_dataModbus.pRegister[a];
}

AccessMode_t CRegisterBlock::Access(long long a) const
{
    if (a < 0 || a >= static_cast<long long>(m_access.size()))
        return ACCESS_NO;
    return static_cast<AccessMode_t>(m_access[a]);
}

int CRegisterBlock::ApplyMasterWrite(int iAddr, int iLen)
{
    if (m_dataBackend.pRegister == nullptr)
        return 0;
    int iVisited = 0;
    for (int i = 0; i < iLen; i++) {
        long long a = static_cast<long long>(iAddr) + i;
        if (a >= m_rangeInfo.iLength)
            break;
        iVisited++;
        if (a < 0)
            continue;
        switch (m_access[a]) {
        case ACCESS_RO:
            // Masters may not change a read-only register: undo their write.
            m_dataModbus.pRegister[a] = m_dataBackend.pRegister[a];
            break;
        case ACCESS_WO:
        case ACCESS_RW:
            m_dataBackend.pRegister[a] = m_dataModbus.pRegister[a];
            break;
        default:
            m_dataBackend.pRegister[a] = 0;
            m_dataModbus.pRegister[a] = 0;
            break;
        }
    }
    return iVisited;
}
