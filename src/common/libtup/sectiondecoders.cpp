#include "sectiondecoders.h"

#include "tupbytes.h"
#include "tupwire.h"

#include <algorithm>
#include <cstring>

namespace tup
{

namespace
{

constexpr size_t P = TUP_SECTION_HEAD; // payload offset within a section

// The three checks every decoder starts with; minimum is the smallest
// acceptable section length (the type's fixed size).
DecodeStatus checkSection(const uint8_t* s, size_t size, uint16_t type, size_t minimum)
{
    uint16_t t = 0, len = 0;
    if (!readU16(s, size, 0, t) || !readU16(s, size, 2, len))
        return DecodeStatus::SizeMismatch;
    if (t != type)
        return DecodeStatus::BadType;
    if (len < minimum)
        return DecodeStatus::TooShort;
    if (size != len)
        return DecodeStatus::SizeMismatch;
    return DecodeStatus::Ok;
}

// The checks guarantee the bytes are there; these keep the reads bounded anyway.
uint16_t u16(const uint8_t* s, size_t size, size_t off)
{
    uint16_t v = 0;
    readU16(s, size, off, v);
    return v;
}
uint32_t u32(const uint8_t* s, size_t size, size_t off)
{
    uint32_t v = 0;
    readU32(s, size, off, v);
    return v;
}
uint32_t ip(const uint8_t* s, size_t size, size_t off)
{
    uint32_t v = 0;
    readIPv4(s, size, off, v);
    return v;
}
uint8_t u8(const uint8_t* s, size_t size, size_t off)
{
    uint8_t v = 0;
    readU8(s, size, off, v);
    return v;
}
std::string text(const uint8_t* s, size_t size, size_t off, size_t field)
{
    std::string v;
    readText(s, size, off, field, v);
    return v;
}

} // namespace

#define TUP_OFF(rec, field) (P + offsetof(rec, field))

const char* decodeStatusText(DecodeStatus status)
{
    switch (status) {
    case DecodeStatus::Ok:
        return "Ok";
    case DecodeStatus::BadType:
        return "Bad type";
    case DecodeStatus::TooShort:
        return "Too short";
    case DecodeStatus::SizeMismatch:
        return "Payload size mismatch";
    case DecodeStatus::BadItems:
        return "Core item runs past the section";
    }
    return "Unknown decode status";
}

DecodeStatus decodeDevInfo(const uint8_t* s, size_t size, devinfo_s& out)
{
    DecodeStatus st = checkSection(s, size, SECT_DEVINFO, SECT_DEVINFO_SIZE);
    if (st != DecodeStatus::Ok)
        return st;
    using R = tupv1_devinfo_s;
    devinfo_s d;
    d.type = u16(s, size, TUP_OFF(R, type));
    d.hwmajor = u16(s, size, TUP_OFF(R, hwmajor));
    d.hwminor = u16(s, size, TUP_OFF(R, hwminor));
    d.swmajor = u16(s, size, TUP_OFF(R, swmajor));
    d.swminor = u16(s, size, TUP_OFF(R, swminor));
    d.swbuild = u16(s, size, TUP_OFF(R, swbuild));
    d.serial = u32(s, size, TUP_OFF(R, serial));
    d.lang = text(s, size, TUP_OFF(R, lang), TUP_LANG_SIZE);
    out = std::move(d);
    return DecodeStatus::Ok;
}

DecodeStatus decodeGpioState(const uint8_t* s, size_t size, gpiostate_s& out)
{
    DecodeStatus st = checkSection(s, size, SECT_GPIOSTATE, SECT_GPIOSTATE_SIZE);
    if (st != DecodeStatus::Ok)
        return st;
    using R = tupv1_gpiostate_s;
    out.good = u8(s, size, TUP_OFF(R, ledgood));
    out.warning = u8(s, size, TUP_OFF(R, ledwarn));
    out.critical = u8(s, size, TUP_OFF(R, ledcrit));
    out.buzzer = u8(s, size, TUP_OFF(R, buzzer));
    return DecodeStatus::Ok;
}

DecodeStatus decodeNetCfg(const uint8_t* s, size_t size, netcfg_s& out)
{
    DecodeStatus st = checkSection(s, size, SECT_NETCFG, SECT_NETCFG_SIZE);
    if (st != DecodeStatus::Ok)
        return st;
    using R = tupv1_netcfg_s;
    out.resetcfg = false;
    out.tessal = u8(s, size, TUP_OFF(R, tessal)) != 0;
    out.dhcp = u8(s, size, TUP_OFF(R, dhcp)) != 0;
    out.ip = ip(s, size, TUP_OFF(R, addr));
    out.mask = ip(s, size, TUP_OFF(R, mask));
    out.gateway = ip(s, size, TUP_OFF(R, gateway));
    out.dns1 = ip(s, size, TUP_OFF(R, dns1));
    out.dns2 = ip(s, size, TUP_OFF(R, dns2));
    return DecodeStatus::Ok;
}

DecodeStatus decodeSnmpCfg(const uint8_t* s, size_t size, snmpcfg_s& out)
{
    DecodeStatus st = checkSection(s, size, SECT_SNMPCFG, SECT_SNMPCFG_SIZE);
    if (st != DecodeStatus::Ok)
        return st;
    using R = tupv1_snmpcfg_s;
    snmpcfg_s c;
    c.resetcfg = false;
    c.version = u8(s, size, TUP_OFF(R, version));
    c.options = u8(s, size, TUP_OFF(R, options));
    c.nopriv_hash = u8(s, size, TUP_OFF(R, nopriv_hash));
    c.priv_hash = u8(s, size, TUP_OFF(R, priv_hash));
    c.priv_algo = u8(s, size, TUP_OFF(R, priv_algo));
    c.cli_mode = u8(s, size, TUP_OFF(R, cli_mode));
    c.cli_hash = u8(s, size, TUP_OFF(R, cli_hash));
    c.cli_algo = u8(s, size, TUP_OFF(R, cli_algo));
    // The seventeen texts follow each other in wire order from ro_user.
    size_t off = TUP_OFF(R, ro_user);
    for (const auto& f : SNMP_TEXT_FIELDS) {
        c.*f.member = text(s, size, off, TUP_TEXT_SIZE);
        off += TUP_TEXT_SIZE;
    }
    c.port = u16(s, size, TUP_OFF(R, port));
    c.port_trap = u16(s, size, TUP_OFF(R, port_trap));
    c.trap_addr1 = ip(s, size, TUP_OFF(R, trap_addr1));
    c.trap_addr2 = ip(s, size, TUP_OFF(R, trap_addr2));
    c.trap_addr3 = ip(s, size, TUP_OFF(R, trap_addr3));
    c.trap_addr4 = ip(s, size, TUP_OFF(R, trap_addr4));
    c.trap_addr5 = ip(s, size, TUP_OFF(R, trap_addr5));
    out = std::move(c);
    return DecodeStatus::Ok;
}

DecodeStatus decodeModbusCfg(const uint8_t* s, size_t size, modbuscfg_s& out)
{
    DecodeStatus st = checkSection(s, size, SECT_MODBUSCFG, SECT_MODBUSCFG_SIZE);
    if (st != DecodeStatus::Ok)
        return st;
    using R = tupv1_modbuscfg_s;
    out.resetcfg = false;
    out.tcp_port = 502;
    out.tcp_status = u16(s, size, TUP_OFF(R, tcp_status)) != 0;
    out.tcp_port = u16(s, size, TUP_OFF(R, tcp_port));
    return DecodeStatus::Ok;
}

bool parseCoreItems(const uint8_t* data, size_t size, std::vector<core_tmp>& out)
{
    size_t pos = 0;
    while (pos < size) {
        if (size - pos < TUP_CORE_ITEM_HEAD)
            return false;
        using R = tupv1_coreitem_s;
        core_tmp item;
        item.ci_class = u16(data, size, pos + offsetof(R, ci_class));
        item.ci_field = u16(data, size, pos + offsetof(R, ci_field));
        item.instance = u8(data, size, pos + offsetof(R, instance));
        item.ci_type = u8(data, size, pos + offsetof(R, ci_type));
        item.datalen = u16(data, size, pos + offsetof(R, datalen));
        pos += TUP_CORE_ITEM_HEAD;
        if (size - pos < item.datalen)
            return false;
        item.baData.assign(data + pos, data + pos + item.datalen);
        std::reverse(item.baData.begin(), item.baData.end());
        pos += item.datalen;
        out.push_back(std::move(item));
    }
    return true;
}

DecodeStatus decodeCore(const uint8_t* s, size_t size, std::vector<core_tmp>& items)
{
    // No minimum: reading the head already needs 4 bytes, and a length field
    // below that cannot match the bytes handed over.
    DecodeStatus st = checkSection(s, size, SECT_CORE, 0);
    if (st != DecodeStatus::Ok)
        return st;
    std::vector<core_tmp> parsed;
    if (!parseCoreItems(s + P, size - P, parsed))
        return DecodeStatus::BadItems;
    items = std::move(parsed);
    return DecodeStatus::Ok;
}

bool coreFloat(const core_tmp& item, float& value)
{
    if (item.baData.size() != 4)
        return false;
    const uint32_t bits = (static_cast<uint32_t>(item.baData[0]) << 24) |
                          (static_cast<uint32_t>(item.baData[1]) << 16) |
                          (static_cast<uint32_t>(item.baData[2]) << 8) |
                          static_cast<uint32_t>(item.baData[3]);
    static_assert(sizeof(float) == 4, "IEEE-754 single expected");
    std::memcpy(&value, &bits, sizeof value);
    return true;
}

} // namespace tup
