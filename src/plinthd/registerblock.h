// The block of registers served to Modbus masters: the controller's values
// (backend), what masters see (Modbus side), and the access mode of each
// register.
#pragma once

#include <modbus/modbus.h>

#include <cstdint>
#include <string>
#include <vector>

#include "modbustypes.h"

struct cJSON;

class CRegisterBlock
{
public:
    CRegisterBlock();
    ~CRegisterBlock();
    CRegisterBlock(const CRegisterBlock&) = delete;
    CRegisterBlock& operator=(const CRegisterBlock&) = delete;

    // The range length L for these tables: the largest address + length,
    // capped at MB_MAX_RANGE. Computed in 64 bits so huge values cannot wrap.
    static int ComputeRange(const RegZoneList_t& tables);

    // Allocates the zero-filled buffers and the mapping for iLength registers
    // and fills the access table (tables first, then zones; later ones win).
    // Returns 0; -1 when the mapping cannot be allocated; 109 with sInfo set
    // when a buffer cannot be allocated. A failure leaves nothing allocated.
    int Build(int iLength, const RegZoneList_t& tables, const RegZoneList_t& zones,
              std::string& sInfo);

    // Frees register and bit buffers and the mapping; the access table stays.
    void ReleaseBuffers();
    // Frees the access table as well.
    void ReleaseAccess();

    bool IsBuilt() const { return m_mapping != nullptr; }
    int Length() const { return m_rangeInfo.iLength; }
    modbus_mapping_t* Mapping() { return m_mapping; }

    // Stores the integer members of pValues from iAddress on into the backend
    // and mirrors each onto the Modbus side (0 where masters may not read).
    // Registers below 0 or at or beyond L, and non-integers, are skipped.
    void StoreValues(int iAddress, const cJSON* pValues);

    // Backend value of register a; 0 outside the served range.
    uint16_t BackendValue(long long a) const;
    // Modbus-side value of register a; 0 outside the served range.
    uint16_t ModbusValue(long long a) const;
    AccessMode_t Access(long long a) const;

    // Applies the access rules after a master wrote iLen registers at iAddr.
    // Returns the number of registers visited (the loop stops at L).
    int ApplyMasterWrite(int iAddr, int iLen);

private:
    RegZone_t m_rangeInfo;
    std::vector<int> m_access;
    Mapping_t m_dataModbus;
    Mapping_t m_dataBackend;
    modbus_mapping_t* m_mapping;
};
