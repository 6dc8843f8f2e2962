#include "sectiondecoders.h"

#include "tupbytes.h"
#include "tupwire.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

namespace tup
{

namespace
{

// How a field travels: a little-endian integer, an IPv4 address in network
// order, or a NUL-padded text of the language's or an SNMP text's size.
enum class Wire : uint8_t { U8, U16, U32, IPv4, Lang, Text };

constexpr size_t wireWidth(Wire wire)
{
    switch (wire) {
    case Wire::U8:
        return 1;
    case Wire::U16:
        return 2;
    case Wire::U32:
    case Wire::IPv4:
        return 4;
    case Wire::Lang:
        return TUP_LANG_SIZE;
    case Wire::Text:
        return TUP_TEXT_SIZE;
    }
    return 0;
}

template <class Member> struct member_of;
template <class Record, class T> struct member_of<T Record::*> {
    using record = Record;
    using type = T;
};

// Stores a field's value in the member M: a text as it is, a flag as true
// for any non-zero value, a number in the member's width.
template <auto M>
void store(typename member_of<decltype(M)>::record& out, uint32_t number, std::string& text)
{
    using T = typename member_of<decltype(M)>::type;
    if constexpr (std::is_same_v<T, std::string>)
        out.*M = std::move(text);
    else if constexpr (std::is_same_v<T, bool>)
        out.*M = number != 0;
    else
        out.*M = static_cast<T>(number);
}

// One field of a wire record and where its value goes. A table lists a
// record's fields in wire order, so each field's offset is the sum of the
// widths before it; a static_assert ties each table to its wire record.
template <class Record> struct field_s {
    Wire wire;
    void (*store)(Record& out, uint32_t number, std::string& text);
};

template <class Record, size_t N> constexpr size_t wireSize(const field_s<Record> (&fields)[N])
{
    size_t size = 0;
    for (const field_s<Record>& f : fields)
        size += wireWidth(f.wire);
    return size;
}

template <class T>
uint32_t readNumber(bool (*read)(const uint8_t*, size_t, size_t, T&), const uint8_t* p, size_t size,
                    size_t offset)
{
    T v = 0;
    read(p, size, offset, v);
    return v;
}

// Fills out from the wire record at p. Every reader is bounded by size and
// leaves a field 0 or empty when its bytes are not there; the section
// checks make sure they are.
template <class Record, size_t N>
void readFields(const uint8_t* p, size_t size, const field_s<Record> (&fields)[N], Record& out)
{
    size_t offset = 0;
    for (const field_s<Record>& f : fields) {
        uint32_t number = 0;
        std::string text;
        switch (f.wire) {
        case Wire::U8:
            number = readNumber(readU8, p, size, offset);
            break;
        case Wire::U16:
            number = readNumber(readU16, p, size, offset);
            break;
        case Wire::U32:
            number = readNumber(readU32, p, size, offset);
            break;
        case Wire::IPv4:
            number = readNumber(readIPv4, p, size, offset);
            break;
        case Wire::Lang:
        case Wire::Text:
            readText(p, size, offset, wireWidth(f.wire), text);
            break;
        }
        f.store(out, number, text);
        offset += wireWidth(f.wire);
    }
}

constexpr field_s<devinfo_s> DEVINFO_FIELDS[] = {
    {Wire::U16, store<&devinfo_s::type>},    {Wire::U16, store<&devinfo_s::hwmajor>},
    {Wire::U16, store<&devinfo_s::hwminor>}, {Wire::U16, store<&devinfo_s::swmajor>},
    {Wire::U16, store<&devinfo_s::swminor>}, {Wire::U16, store<&devinfo_s::swbuild>},
    {Wire::U32, store<&devinfo_s::serial>},  {Wire::Lang, store<&devinfo_s::lang>}};
static_assert(wireSize(DEVINFO_FIELDS) == sizeof(tupv1_devinfo_s), "DevInfo fields");

constexpr field_s<gpiostate_s> GPIOSTATE_FIELDS[] = {{Wire::U8, store<&gpiostate_s::good>},
                                                     {Wire::U8, store<&gpiostate_s::warning>},
                                                     {Wire::U8, store<&gpiostate_s::critical>},
                                                     {Wire::U8, store<&gpiostate_s::buzzer>}};
static_assert(wireSize(GPIOSTATE_FIELDS) == sizeof(tupv1_gpiostate_s), "GpioState fields");

constexpr field_s<netcfg_s> NETCFG_FIELDS[] = {
    {Wire::U8, store<&netcfg_s::tessal>},    {Wire::U8, store<&netcfg_s::dhcp>},
    {Wire::IPv4, store<&netcfg_s::ip>},      {Wire::IPv4, store<&netcfg_s::mask>},
    {Wire::IPv4, store<&netcfg_s::gateway>}, {Wire::IPv4, store<&netcfg_s::dns1>},
    {Wire::IPv4, store<&netcfg_s::dns2>}};
static_assert(wireSize(NETCFG_FIELDS) == sizeof(tupv1_netcfg_s), "NetCfg fields");

using S = snmpcfg_s;
constexpr field_s<S> SNMPCFG_FIELDS[] = {
    {Wire::U8, store<&S::version>},        {Wire::U8, store<&S::options>},
    {Wire::U8, store<&S::nopriv_hash>},    {Wire::U8, store<&S::priv_hash>},
    {Wire::U8, store<&S::priv_algo>},      {Wire::U8, store<&S::cli_mode>},
    {Wire::U8, store<&S::cli_hash>},       {Wire::U8, store<&S::cli_algo>},
    {Wire::Text, store<&S::ro_user>},      {Wire::Text, store<&S::nopriv_user>},
    {Wire::Text, store<&S::nopriv_pwd>},   {Wire::Text, store<&S::priv_user>},
    {Wire::Text, store<&S::priv_pwd>},     {Wire::Text, store<&S::priv_key>},
    {Wire::Text, store<&S::oid>},          {Wire::Text, store<&S::ro_oid>},
    {Wire::Text, store<&S::nopriv_oid>},   {Wire::Text, store<&S::priv_oid>},
    {Wire::Text, store<&S::k3p_context>},  {Wire::Text, store<&S::k3p_community>},
    {Wire::Text, store<&S::cli_engineid>}, {Wire::Text, store<&S::cli_community>},
    {Wire::Text, store<&S::cli_user>},     {Wire::Text, store<&S::cli_pwd>},
    {Wire::Text, store<&S::cli_key>},      {Wire::U16, store<&S::port>},
    {Wire::U16, store<&S::port_trap>},     {Wire::IPv4, store<&S::trap_addr1>},
    {Wire::IPv4, store<&S::trap_addr2>},   {Wire::IPv4, store<&S::trap_addr3>},
    {Wire::IPv4, store<&S::trap_addr4>},   {Wire::IPv4, store<&S::trap_addr5>}};
static_assert(wireSize(SNMPCFG_FIELDS) == sizeof(tupv1_snmpcfg_s), "SnmpCfg fields");

constexpr field_s<modbuscfg_s> MODBUSCFG_FIELDS[] = {{Wire::U16, store<&modbuscfg_s::tcp_status>},
                                                     {Wire::U16, store<&modbuscfg_s::tcp_port>}};
static_assert(wireSize(MODBUSCFG_FIELDS) == sizeof(tupv1_modbuscfg_s), "ModbusCfg fields");

constexpr field_s<core_tmp> CORE_ITEM_FIELDS[] = {{Wire::U16, store<&core_tmp::ci_class>},
                                                  {Wire::U16, store<&core_tmp::ci_field>},
                                                  {Wire::U8, store<&core_tmp::instance>},
                                                  {Wire::U8, store<&core_tmp::ci_type>},
                                                  {Wire::U16, store<&core_tmp::datalen>}};
static_assert(wireSize(CORE_ITEM_FIELDS) == sizeof(tupv1_coreitem_s), "Core item fields");

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

// The decoder of every fixed-size section: the checks, then a fresh record
// filled from the payload. Every member comes from the wire except
// resetcfg, which a fresh record holds false: the values are now confirmed
// by a frame. On failure out is left as it was.
template <class Record, size_t N>
DecodeStatus decodeFixed(const uint8_t* s, size_t size, uint16_t type, uint16_t fixedSize,
                         const field_s<Record> (&fields)[N], Record& out)
{
    const DecodeStatus status = checkSection(s, size, type, fixedSize);
    if (status != DecodeStatus::Ok)
        return status;
    Record record;
    readFields(s + TUP_SECTION_HEAD, size - TUP_SECTION_HEAD, fields, record);
    out = std::move(record);
    return DecodeStatus::Ok;
}

} // namespace

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
    return decodeFixed(s, size, SECT_DEVINFO, SECT_DEVINFO_SIZE, DEVINFO_FIELDS, out);
}

DecodeStatus decodeGpioState(const uint8_t* s, size_t size, gpiostate_s& out)
{
    return decodeFixed(s, size, SECT_GPIOSTATE, SECT_GPIOSTATE_SIZE, GPIOSTATE_FIELDS, out);
}

DecodeStatus decodeNetCfg(const uint8_t* s, size_t size, netcfg_s& out)
{
    return decodeFixed(s, size, SECT_NETCFG, SECT_NETCFG_SIZE, NETCFG_FIELDS, out);
}

DecodeStatus decodeSnmpCfg(const uint8_t* s, size_t size, snmpcfg_s& out)
{
    return decodeFixed(s, size, SECT_SNMPCFG, SECT_SNMPCFG_SIZE, SNMPCFG_FIELDS, out);
}

DecodeStatus decodeModbusCfg(const uint8_t* s, size_t size, modbuscfg_s& out)
{
    return decodeFixed(s, size, SECT_MODBUSCFG, SECT_MODBUSCFG_SIZE, MODBUSCFG_FIELDS, out);
}

bool parseCoreItems(const uint8_t* data, size_t size, std::vector<core_tmp>& out)
{
    size_t pos = 0;
    while (pos < size) {
        if (size - pos < TUP_CORE_ITEM_HEAD)
            return false;
        core_tmp item;
        readFields(data + pos, size - pos, CORE_ITEM_FIELDS, item);
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
    const DecodeStatus status = checkSection(s, size, SECT_CORE, 0);
    if (status != DecodeStatus::Ok)
        return status;
    std::vector<core_tmp> parsed;
    if (!parseCoreItems(s + TUP_SECTION_HEAD, size - TUP_SECTION_HEAD, parsed))
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
