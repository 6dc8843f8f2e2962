#include "tupfuzzentry.h"

#include "framewatcher.h"
#include "tup.h"

#include <cJSON.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace
{

volatile size_t g_sink = 0;

void require(bool ok)
{
    if (!ok)
        std::abort();
}

// Every decoder on the same bytes: all but the matching one must refuse
// them. GpioState and Core must encode back to the bytes they came from
// (GpioState's first eight); the others may drop bytes after a NUL or
// non-canonical flags, so only their sizes are checked.
bool decodeAll(const uint8_t* s, size_t n)
{
    tup::devinfo_s dev;
    tup::gpiostate_s gpio;
    tup::netcfg_s net;
    tup::snmpcfg_s snmp;
    tup::modbuscfg_s mb;
    std::vector<tup::core_tmp> items;
    int ok = 0;
    if (tup::decodeDevInfo(s, n, dev) == tup::DecodeStatus::Ok) {
        ++ok;
        require(tup::encodeDevInfo(dev).size() == tup::SECT_DEVINFO_SIZE);
        g_sink += dev.lang.size();
    }
    if (tup::decodeGpioState(s, n, gpio) == tup::DecodeStatus::Ok) {
        ++ok;
        // a longer section is accepted when the bytes match its length; the
        // four state bytes are what counts
        const auto again = tup::encodeGpioState(gpio);
        require(std::equal(again.begin() + 4, again.end(), s + 4));
    }
    if (tup::decodeNetCfg(s, n, net) == tup::DecodeStatus::Ok) {
        ++ok;
        g_sink += net.ip;
    }
    if (tup::decodeSnmpCfg(s, n, snmp) == tup::DecodeStatus::Ok) {
        ++ok;
        for (const auto& f : tup::SNMP_TEXT_FIELDS)
            require((snmp.*f.member).size() <= tup::TUP_TEXT_SIZE);
    }
    if (tup::decodeModbusCfg(s, n, mb) == tup::DecodeStatus::Ok) {
        ++ok;
        g_sink += mb.tcp_port;
    }
    if (tup::decodeCore(s, n, items) == tup::DecodeStatus::Ok) {
        ++ok;
        std::vector<uint8_t> again;
        require(tup::encodeCore(items, again));
        require(again == std::vector<uint8_t>(s, s + n));
        for (const auto& it : items)
            require(it.baData.size() == it.datalen);
    }
    require(ok <= 1);
    return ok == 1;
}

void walk(const uint8_t* frame, size_t n)
{
    size_t lines = 0;
    tup::walkSections(
        frame, n,
        [&](const tup::section_view_s& v) {
            // the walk never hands out bytes beyond the frame
            require(v.bytes >= frame && v.size <= n && v.bytes + v.size <= frame + n);
            return decodeAll(v.bytes, v.size);
        },
        [&](const std::string& l) { lines += l.size(); },
        [&](const tup::section_view_s& v, tup::SectionOutcome) { require(v.offset <= n); });
    g_sink += lines;
}

void asDatagram(const uint8_t* data, size_t size)
{
    tup::link_state_s state;
    tup::frame_check_s c = tup::checkFrame(data, size, "10.0.0.1", state);
    if (c.accepted()) {
        require(c.frameSize + 2 == size);
        walk(data, c.frameSize);
        tup::acceptFrame(state, "10.0.0.1", c);
        // the same datagram again is a repeat
        require(tup::checkFrame(data, size, "10.0.0.1", state).failed == tup::CHECK_SEQUENCE);
    }
    g_sink += c.log.size();

    Tessal::FrameWatcher watcher(10);
    cJSON* doc = watcher.handleDatagram(data, size, "10.0.0.1", 9876, 0);
    char* text = cJSON_PrintUnformatted(doc);
    require(text != nullptr);
    cJSON* back = cJSON_Parse(text);
    require(back != nullptr);
    g_sink += std::strlen(text);
    cJSON_Delete(back);
    cJSON_free(text);
    cJSON_Delete(doc);
}

} // namespace

int tupFuzzOne(const uint8_t* data, size_t size)
{
    if (size > 70000)
        return 0;
    asDatagram(data, size);
    // Whatever the checks say, the walk and the decoders must be safe on it.
    if (size >= 2)
        walk(data, size - 2);
    decodeAll(data, size);

    if (size >= 3) {
        std::vector<uint8_t> fixed(data, data + size);
        const uint16_t crc = tup::crc16(tup::TUP_POLY, 0, fixed.data(), size - 2);
        fixed[size - 2] = static_cast<uint8_t>(crc & 0xFF);
        fixed[size - 1] = static_cast<uint8_t>(crc >> 8);
        // Exactly the size the datagram had, so a read past it is caught.
        asDatagram(fixed.data(), fixed.size());
    }
    return 0;
}
