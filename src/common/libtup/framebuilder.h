// Builds TUP frames: magic 0xCE, version 1, the 14-byte header, the sections
// in the order they were added and the CRC, little-endian. For test frames
// every header field and the checksum can be forced to a wrong value.
#pragma once

#include "tuprecords.h"
#include "tupwire.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace tup
{

// Whole sections (head included) from decoded records. Texts longer than
// their field are cut to the field size; Core items carry their data in
// baData (most significant byte first) and datalen is written as
// baData.size(). encodeCore fails when the section would exceed 65535 bytes.
std::vector<uint8_t> encodeDevInfo(const devinfo_s& d);
std::vector<uint8_t> encodeGpioState(const gpiostate_s& g);
std::vector<uint8_t> encodeNetCfg(const netcfg_s& n);
std::vector<uint8_t> encodeSnmpCfg(const snmpcfg_s& s);
std::vector<uint8_t> encodeModbusCfg(const modbuscfg_s& m);
bool encodeCore(const std::vector<core_tmp>& items, std::vector<uint8_t>& section);

class FrameBuilder
{
public:
    void setSeqno(uint32_t seqno) { m_seqno = seqno; }
    void setTimestamp(uint32_t timestamp) { m_timestamp = timestamp; }

    // Each add fails (and adds nothing) when the frame's length field would
    // no longer fit in 16 bits.
    bool addDevInfo(const devinfo_s& d) { return addSection(encodeDevInfo(d)); }
    bool addGpioState(const gpiostate_s& g) { return addSection(encodeGpioState(g)); }
    bool addNetCfg(const netcfg_s& n) { return addSection(encodeNetCfg(n)); }
    bool addSnmpCfg(const snmpcfg_s& s) { return addSection(encodeSnmpCfg(s)); }
    bool addModbusCfg(const modbuscfg_s& m) { return addSection(encodeModbusCfg(m)); }
    bool addCore(const std::vector<core_tmp>& items);
    // A section of any type; its length field is 4 + payload size unless forced.
    bool addRawSection(uint16_t type, const std::vector<uint8_t>& payload,
                       std::optional<uint16_t> lengthField = std::nullopt);
    // Already encoded section bytes, head included, appended as they are.
    bool addSection(const std::vector<uint8_t>& section);

    void forceMagic(uint8_t v) { m_magic = v; }
    void forceVersion(uint8_t v) { m_version = v; }
    void forceLength(uint16_t v) { m_length = v; }
    void forceSectOffset(uint16_t v) { m_sectOffset = v; }
    void forceSectCount(uint16_t v) { m_sectCount = v; }
    void forceChecksum(uint16_t v) { m_checksum = v; }

    size_t sectionCount() const { return m_count; }
    size_t sectionBytes() const { return m_sections.size(); }

    // The whole datagram: 16 + section bytes + 2.
    std::vector<uint8_t> build() const;

private:
    uint32_t m_seqno = 0;
    uint32_t m_timestamp = 0;
    size_t m_count = 0;
    std::vector<uint8_t> m_sections;
    std::optional<uint8_t> m_magic, m_version;
    std::optional<uint16_t> m_length, m_sectOffset, m_sectCount, m_checksum;
};

} // namespace tup
