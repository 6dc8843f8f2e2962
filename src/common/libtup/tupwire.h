// Wire layout of a TUP frame: constants and the packed records exactly as
// they travel. Multi-byte integers are little-endian on the wire, IPv4
// addresses are in network order (first octet first). Never cast received
// bytes to these records: use the decoders, which check every size. The
// records document the layout and let the builder fill a section in memory.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tup
{

constexpr uint8_t TUP_MAGIC = 0xCE;
constexpr uint8_t TUP_VERSION = 1;
constexpr uint16_t TUP_POLY = 0x1021;
constexpr uint16_t TUP_CRC_INIT = 0;
constexpr uint16_t TUP_DEFAULT_PORT = 9876;
constexpr size_t TUP_PREFIX_SIZE = 2;                                // magic, version
constexpr size_t TUP_HEADER_SIZE = 14;                               // length .. timestamp
constexpr size_t TUP_FRAME_HEAD = TUP_PREFIX_SIZE + TUP_HEADER_SIZE; // 16
constexpr size_t TUP_CRC_SIZE = 2;
constexpr size_t TUP_SECTION_HEAD = 4;
constexpr size_t TUP_CORE_ITEM_HEAD = 8;

enum SectionType : uint16_t {
    SECT_DEVINFO = 0x10,
    SECT_GPIOSTATE = 0x20,
    SECT_NETCFG = 0x30,
    SECT_SNMPCFG = 0x40,
    SECT_MODBUSCFG = 0x60,
    SECT_CORE = 0x80,
};

// Whole section sizes (4-byte section head included) of the fixed types.
constexpr uint16_t SECT_DEVINFO_SIZE = 28;
constexpr uint16_t SECT_GPIOSTATE_SIZE = 8;
constexpr uint16_t SECT_NETCFG_SIZE = 26;
constexpr uint16_t SECT_SNMPCFG_SIZE = 580;
constexpr uint16_t SECT_MODBUSCFG_SIZE = 8;

constexpr size_t TUP_LANG_SIZE = 8;
constexpr size_t TUP_TEXT_SIZE = 32;

#pragma pack(push, 1)
struct tup_frame_s {
    uint8_t magic;
    uint8_t version;
};

struct tupv1_header_s {
    uint16_t length;      // bytes from offset 2 up to the checksum
    uint16_t sect_offset; // first section, counted from offset 2
    uint16_t sect_count;
    uint32_t seqno;
    uint32_t timestamp;
};

struct tupv1_section_s {
    uint16_t type;
    uint16_t length; // whole section, head included
};

struct tupv1_devinfo_s {
    uint16_t type;
    uint16_t hwmajor;
    uint16_t hwminor;
    uint16_t swmajor;
    uint16_t swminor;
    uint16_t swbuild;
    uint32_t serial;
    char lang[TUP_LANG_SIZE];
};

struct tupv1_gpiostate_s {
    uint8_t ledgood;
    uint8_t ledwarn;
    uint8_t ledcrit;
    uint8_t buzzer;
};

struct tupv1_netcfg_s {
    uint8_t tessal;
    uint8_t dhcp;
    uint32_t addr;
    uint32_t mask;
    uint32_t gateway;
    uint32_t dns1;
    uint32_t dns2;
};

struct tupv1_snmpcfg_s {
    uint8_t version;
    uint8_t options;
    uint8_t nopriv_hash;
    uint8_t priv_hash;
    uint8_t priv_algo;
    uint8_t cli_mode;
    uint8_t cli_hash;
    uint8_t cli_algo;
    char ro_user[TUP_TEXT_SIZE];
    char nopriv_user[TUP_TEXT_SIZE];
    char nopriv_pwd[TUP_TEXT_SIZE];
    char priv_user[TUP_TEXT_SIZE];
    char priv_pwd[TUP_TEXT_SIZE];
    char priv_key[TUP_TEXT_SIZE];
    char oid[TUP_TEXT_SIZE];
    char ro_oid[TUP_TEXT_SIZE];
    char nopriv_oid[TUP_TEXT_SIZE];
    char priv_oid[TUP_TEXT_SIZE];
    char k3p_context[TUP_TEXT_SIZE];
    char k3p_community[TUP_TEXT_SIZE];
    char cli_engineid[TUP_TEXT_SIZE];
    char cli_community[TUP_TEXT_SIZE];
    char cli_user[TUP_TEXT_SIZE];
    char cli_pwd[TUP_TEXT_SIZE];
    char cli_key[TUP_TEXT_SIZE];
    uint16_t port;
    uint16_t port_trap;
    uint32_t trap_addr1;
    uint32_t trap_addr2;
    uint32_t trap_addr3;
    uint32_t trap_addr4;
    uint32_t trap_addr5;
};

struct tupv1_modbuscfg_s {
    uint16_t tcp_status;
    uint16_t tcp_port;
};

struct tupv1_coreitem_s {
    uint16_t ci_class;
    uint16_t ci_field;
    uint8_t instance;
    uint8_t ci_type;
    uint16_t datalen;
};
#pragma pack(pop)

static_assert(sizeof(tup_frame_s) == 2, "frame prefix layout");
static_assert(sizeof(tupv1_header_s) == TUP_HEADER_SIZE, "header layout");
static_assert(sizeof(tupv1_section_s) == TUP_SECTION_HEAD, "section head layout");
static_assert(sizeof(tupv1_devinfo_s) + 4 == SECT_DEVINFO_SIZE, "DevInfo layout");
static_assert(sizeof(tupv1_gpiostate_s) + 4 == SECT_GPIOSTATE_SIZE, "GpioState layout");
static_assert(sizeof(tupv1_netcfg_s) + 4 == SECT_NETCFG_SIZE, "NetCfg layout");
static_assert(sizeof(tupv1_snmpcfg_s) + 4 == SECT_SNMPCFG_SIZE, "SnmpCfg layout");
static_assert(offsetof(tupv1_snmpcfg_s, port) + 4 == 556, "SnmpCfg port offset");
static_assert(sizeof(tupv1_modbuscfg_s) + 4 == SECT_MODBUSCFG_SIZE, "ModbusCfg layout");
static_assert(sizeof(tupv1_coreitem_s) == TUP_CORE_ITEM_HEAD, "Core item head layout");

} // namespace tup
