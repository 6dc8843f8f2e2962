#include "framebuilder.h"

#include "crc16.h"
#include "tupbytes.h"

#include <cstring>
#include <endian.h>

namespace tup
{

namespace
{

template <typename Record> std::vector<uint8_t> sectionOf(uint16_t type, const Record& payload)
{
    std::vector<uint8_t> out;
    out.reserve(TUP_SECTION_HEAD + sizeof(Record));
    putU16(out, type);
    putU16(out, static_cast<uint16_t>(TUP_SECTION_HEAD + sizeof(Record)));
    const auto* p = reinterpret_cast<const uint8_t*>(&payload);
    out.insert(out.end(), p, p + sizeof(Record));
    return out;
}

template <size_t N> void putText(char (&field)[N], const std::string& text)
{
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), text.size() < N ? text.size() : N);
}

// Host-order address -> the 4 wire bytes (network order) as they sit in memory.
uint32_t wireAddr(uint32_t host)
{
    return htobe32(host);
}

} // namespace

std::vector<uint8_t> encodeDevInfo(const devinfo_s& d)
{
    tupv1_devinfo_s w;
    std::memset(&w, 0, sizeof w);
    w.type = htole16(d.type);
    w.hwmajor = htole16(d.hwmajor);
    w.hwminor = htole16(d.hwminor);
    w.swmajor = htole16(d.swmajor);
    w.swminor = htole16(d.swminor);
    w.swbuild = htole16(d.swbuild);
    w.serial = htole32(d.serial);
    putText(w.lang, d.lang);
    return sectionOf(SECT_DEVINFO, w);
}

std::vector<uint8_t> encodeGpioState(const gpiostate_s& g)
{
    tupv1_gpiostate_s w{g.good, g.warning, g.critical, g.buzzer};
    return sectionOf(SECT_GPIOSTATE, w);
}

std::vector<uint8_t> encodeNetCfg(const netcfg_s& n)
{
    tupv1_netcfg_s w;
    std::memset(&w, 0, sizeof w);
    w.tessal = n.tessal ? 1 : 0;
    w.dhcp = n.dhcp ? 1 : 0;
    w.addr = wireAddr(n.ip);
    w.mask = wireAddr(n.mask);
    w.gateway = wireAddr(n.gateway);
    w.dns1 = wireAddr(n.dns1);
    w.dns2 = wireAddr(n.dns2);
    return sectionOf(SECT_NETCFG, w);
}

std::vector<uint8_t> encodeSnmpCfg(const snmpcfg_s& s)
{
    tupv1_snmpcfg_s w;
    std::memset(&w, 0, sizeof w);
    w.version = s.version;
    w.options = s.options;
    w.nopriv_hash = s.nopriv_hash;
    w.priv_hash = s.priv_hash;
    w.priv_algo = s.priv_algo;
    w.cli_mode = s.cli_mode;
    w.cli_hash = s.cli_hash;
    w.cli_algo = s.cli_algo;
    putText(w.ro_user, s.ro_user);
    putText(w.nopriv_user, s.nopriv_user);
    putText(w.nopriv_pwd, s.nopriv_pwd);
    putText(w.priv_user, s.priv_user);
    putText(w.priv_pwd, s.priv_pwd);
    putText(w.priv_key, s.priv_key);
    putText(w.oid, s.oid);
    putText(w.ro_oid, s.ro_oid);
    putText(w.nopriv_oid, s.nopriv_oid);
    putText(w.priv_oid, s.priv_oid);
    putText(w.k3p_context, s.k3p_context);
    putText(w.k3p_community, s.k3p_community);
    putText(w.cli_engineid, s.cli_engineid);
    putText(w.cli_community, s.cli_community);
    putText(w.cli_user, s.cli_user);
    putText(w.cli_pwd, s.cli_pwd);
    putText(w.cli_key, s.cli_key);
    w.port = htole16(s.port);
    w.port_trap = htole16(s.port_trap);
    w.trap_addr1 = wireAddr(s.trap_addr1);
    w.trap_addr2 = wireAddr(s.trap_addr2);
    w.trap_addr3 = wireAddr(s.trap_addr3);
    w.trap_addr4 = wireAddr(s.trap_addr4);
    w.trap_addr5 = wireAddr(s.trap_addr5);
    return sectionOf(SECT_SNMPCFG, w);
}

std::vector<uint8_t> encodeModbusCfg(const modbuscfg_s& m)
{
    tupv1_modbuscfg_s w;
    w.tcp_status = htole16(m.tcp_status ? 1 : 0);
    w.tcp_port = htole16(m.tcp_port);
    return sectionOf(SECT_MODBUSCFG, w);
}

bool encodeCore(const std::vector<core_tmp>& items, std::vector<uint8_t>& section)
{
    size_t total = TUP_SECTION_HEAD;
    for (const auto& it : items) {
        if (it.baData.size() > 0xFFFF)
            return false;
        total += TUP_CORE_ITEM_HEAD + it.baData.size();
        if (total > 0xFFFF)
            return false;
    }
    std::vector<uint8_t> out;
    out.reserve(total);
    putU16(out, SECT_CORE);
    putU16(out, static_cast<uint16_t>(total));
    for (const auto& it : items) {
        putU16(out, it.ci_class);
        putU16(out, it.ci_field);
        out.push_back(it.instance);
        out.push_back(it.ci_type);
        putU16(out, static_cast<uint16_t>(it.baData.size()));
        out.insert(out.end(), it.baData.rbegin(), it.baData.rend());
    }
    section = std::move(out);
    return true;
}

bool FrameBuilder::addCore(const std::vector<core_tmp>& items)
{
    std::vector<uint8_t> section;
    return encodeCore(items, section) && addSection(section);
}

bool FrameBuilder::addRawSection(uint16_t type, const std::vector<uint8_t>& payload,
                                 std::optional<uint16_t> lengthField)
{
    if (payload.size() > 0xFFFF - TUP_SECTION_HEAD)
        return false;
    std::vector<uint8_t> s;
    s.reserve(TUP_SECTION_HEAD + payload.size());
    putU16(s, type);
    putU16(s,
           lengthField ? *lengthField : static_cast<uint16_t>(TUP_SECTION_HEAD + payload.size()));
    s.insert(s.end(), payload.begin(), payload.end());
    return addSection(s);
}

bool FrameBuilder::addSection(const std::vector<uint8_t>& section)
{
    if (TUP_HEADER_SIZE + m_sections.size() + section.size() > 0xFFFF)
        return false;
    m_sections.insert(m_sections.end(), section.begin(), section.end());
    ++m_count;
    return true;
}

std::vector<uint8_t> FrameBuilder::build() const
{
    std::vector<uint8_t> f;
    f.reserve(TUP_FRAME_HEAD + m_sections.size() + TUP_CRC_SIZE);
    f.push_back(m_magic.value_or(TUP_MAGIC));
    f.push_back(m_version.value_or(TUP_VERSION));
    putU16(f, m_length.value_or(static_cast<uint16_t>(TUP_HEADER_SIZE + m_sections.size())));
    putU16(f, m_sectOffset.value_or(static_cast<uint16_t>(TUP_HEADER_SIZE)));
    putU16(f, m_sectCount.value_or(static_cast<uint16_t>(m_count)));
    putU32(f, m_seqno);
    putU32(f, m_timestamp);
    f.insert(f.end(), m_sections.begin(), m_sections.end());
    putU16(f, m_checksum.value_or(crc16(TUP_POLY, TUP_CRC_INIT, f.data(), f.size())));
    return f;
}

} // namespace tup
