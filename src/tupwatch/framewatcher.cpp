#include "framewatcher.h"

#include "tup.h"

#include <cJSON.h>

namespace Tessal
{

namespace
{

void addStrings(cJSON* obj, const char* name, const std::vector<std::string>& lines)
{
    cJSON* arr = cJSON_AddArrayToObject(obj, name);
    for (const auto& l : lines)
        cJSON_AddItemToArray(arr, cJSON_CreateString(l.c_str()));
}

// Header fields as far as the datagram holds them, whatever the checks said.
void addHeader(cJSON* obj, const uint8_t* d, size_t size, const tup::frame_check_s& c)
{
    cJSON* h = cJSON_AddObjectToObject(obj, "header");
    uint8_t u8 = 0;
    uint16_t u16 = 0;
    uint32_t u32 = 0;
    if (tup::readU8(d, size, 0, u8))
        cJSON_AddNumberToObject(h, "magic", u8);
    if (tup::readU8(d, size, 1, u8))
        cJSON_AddNumberToObject(h, "version", u8);
    const size_t n = c.crcPresent ? c.frameSize : size; // never read the checksum as header
    const struct {
        const char* name;
        size_t off;
    } f16[] = {{"length", 2}, {"sect_offset", 4}, {"sect_count", 6}},
      f32[] = {{"seqno", 8}, {"timestamp", 12}};
    for (auto& f : f16)
        if (tup::readU16(d, n, f.off, u16))
            cJSON_AddNumberToObject(h, f.name, u16);
    for (auto& f : f32)
        if (tup::readU32(d, n, f.off, u32))
            cJSON_AddNumberToObject(h, f.name, u32);
    if (c.crcPresent) {
        cJSON_AddNumberToObject(h, "checksum", c.receivedCrc);
        cJSON_AddNumberToObject(h, "checksum_computed", c.computedCrc);
    }
}

// Texts come from the wire and need not be UTF-8: cJSON escapes only control
// characters, so bytes above 0x7F are shown as \u00XX to keep the output
// valid JSON for any input.
std::string latin1ToUtf8(const std::string& s)
{
    std::string out;
    for (unsigned char ch : s) {
        if (ch < 0x80) {
            out.push_back(static_cast<char>(ch));
        } else {
            // U+0080..U+00FF encoded as two UTF-8 bytes
            out.push_back(static_cast<char>(0xC0 | (ch >> 6)));
            out.push_back(static_cast<char>(0x80 | (ch & 0x3F)));
        }
    }
    return out;
}

const char* outcomeText(tup::SectionOutcome o)
{
    switch (o) {
    case tup::SectionOutcome::Decoded:
        return "decoded";
    case tup::SectionOutcome::DecodeFailed:
        return "decode_failed";
    case tup::SectionOutcome::Skipped:
        return "skipped";
    case tup::SectionOutcome::Unknown:
        return "unknown";
    }
    return "";
}

// Describes each section of an accepted frame in the "sections" array and
// gathers the walk's lines: a section's entry is written once the walk is
// done with it, so its notes are complete.
class SectionPrinter : public tup::SectionVisitor
{
public:
    SectionPrinter(cJSON* sections, std::vector<std::string>& log)
        : m_sections(sections), m_log(log)
    {
    }
    ~SectionPrinter() override { cJSON_Delete(m_fields); }

    void onDevInfo(const tup::section_view_s&, const tup::devinfo_s& d) override
    {
        cJSON* o = m_fields = cJSON_CreateObject();
        cJSON_AddNumberToObject(o, "type", d.type);
        cJSON_AddNumberToObject(o, "hwmajor", d.hwmajor);
        cJSON_AddNumberToObject(o, "hwminor", d.hwminor);
        cJSON_AddNumberToObject(o, "swmajor", d.swmajor);
        cJSON_AddNumberToObject(o, "swminor", d.swminor);
        cJSON_AddNumberToObject(o, "swbuild", d.swbuild);
        cJSON_AddNumberToObject(o, "serial", d.serial);
        char hex[16];
        std::snprintf(hex, sizeof hex, "%08x", d.serial);
        cJSON_AddStringToObject(o, "serial_hex", hex);
        cJSON_AddStringToObject(o, "lang", latin1ToUtf8(d.lang).c_str());
    }
    void onGpioState(const tup::section_view_s&, const tup::gpiostate_s& g) override
    {
        cJSON* o = m_fields = cJSON_CreateObject();
        cJSON_AddNumberToObject(o, "ledgood", g.good);
        cJSON_AddNumberToObject(o, "ledwarn", g.warning);
        cJSON_AddNumberToObject(o, "ledcrit", g.critical);
        cJSON_AddNumberToObject(o, "buzzer", g.buzzer);
    }
    void onNetCfg(const tup::section_view_s&, const tup::netcfg_s& n) override
    {
        cJSON* o = m_fields = cJSON_CreateObject();
        cJSON_AddNumberToObject(o, "tessal", n.tessal ? 1 : 0);
        cJSON_AddNumberToObject(o, "dhcp", n.dhcp ? 1 : 0);
        cJSON_AddStringToObject(o, "addr", tup::ipv4Text(n.ip).c_str());
        cJSON_AddStringToObject(o, "mask", tup::ipv4Text(n.mask).c_str());
        cJSON_AddStringToObject(o, "gateway", tup::ipv4Text(n.gateway).c_str());
        cJSON_AddStringToObject(o, "dns1", tup::ipv4Text(n.dns1).c_str());
        cJSON_AddStringToObject(o, "dns2", tup::ipv4Text(n.dns2).c_str());
    }
    void onSnmpCfg(const tup::section_view_s&, const tup::snmpcfg_s& s) override
    {
        cJSON* o = m_fields = cJSON_CreateObject();
        cJSON_AddStringToObject(o, "version", tup::snmpVersionText(s.version));
        cJSON_AddNumberToObject(o, "options", s.options);
        cJSON_AddStringToObject(o, "nopriv_hash", tup::snmpHashText(s.nopriv_hash));
        cJSON_AddStringToObject(o, "priv_hash", tup::snmpHashText(s.priv_hash));
        cJSON_AddStringToObject(o, "priv_algo", tup::snmpCipherText(s.priv_algo));
        cJSON_AddStringToObject(o, "cli_mode", tup::snmpVersionText(s.cli_mode));
        cJSON_AddStringToObject(o, "cli_hash", tup::snmpHashText(s.cli_hash));
        cJSON_AddStringToObject(o, "cli_algo", tup::snmpCipherText(s.cli_algo));
        for (const auto& f : tup::SNMP_TEXT_FIELDS)
            cJSON_AddStringToObject(o, f.name, latin1ToUtf8(s.*f.member).c_str());
        cJSON_AddNumberToObject(o, "port", s.port);
        cJSON_AddNumberToObject(o, "port_trap", s.port_trap);
        const uint32_t traps[] = {s.trap_addr1, s.trap_addr2, s.trap_addr3, s.trap_addr4,
                                  s.trap_addr5};
        for (int i = 0; i < 5; ++i) {
            const std::string name = "trap_addr" + std::to_string(i + 1);
            cJSON_AddStringToObject(o, name.c_str(), tup::ipv4Text(traps[i]).c_str());
        }
    }
    void onModbusCfg(const tup::section_view_s&, const tup::modbuscfg_s& m) override
    {
        cJSON* o = m_fields = cJSON_CreateObject();
        cJSON_AddNumberToObject(o, "tcp_status", m.tcp_status ? 1 : 0);
        cJSON_AddNumberToObject(o, "tcp_port", m.tcp_port);
    }
    void onCore(const tup::section_view_s&, const std::vector<tup::core_tmp>& items) override
    {
        cJSON* o = m_fields = cJSON_CreateObject();
        cJSON* arr = cJSON_AddArrayToObject(o, "items");
        for (const auto& it : items) {
            cJSON* i = cJSON_CreateObject();
            cJSON_AddNumberToObject(i, "ci_class", it.ci_class);
            cJSON_AddNumberToObject(i, "ci_field", it.ci_field);
            cJSON_AddNumberToObject(i, "instance", it.instance);
            cJSON_AddNumberToObject(i, "ci_type", it.ci_type);
            cJSON_AddNumberToObject(i, "datalen", it.datalen);
            // data as sent (wire order)
            std::vector<uint8_t> wire(it.baData.rbegin(), it.baData.rend());
            cJSON_AddStringToObject(i, "data", tup::hexText(wire.data(), wire.size()).c_str());
            float f = 0;
            if (tup::coreFloat(it, f)) // NaN and infinities print as null
                cJSON_AddNumberToObject(i, "float", static_cast<double>(f));
            cJSON_AddItemToArray(arr, i);
        }
    }
    void onSectionError(const tup::section_view_s&, tup::SectionOutcome outcome,
                        tup::DecodeStatus status) override
    {
        if (outcome == tup::SectionOutcome::DecodeFailed)
            m_error = tup::decodeStatusText(status);
    }
    void onLog(const std::string& line) override { m_log.push_back(line); }

    void onSectionDone(const tup::section_view_s& s, tup::SectionOutcome outcome) override
    {
        cJSON* o = cJSON_CreateObject();
        cJSON_AddNumberToObject(o, "index", static_cast<double>(s.index));
        cJSON_AddNumberToObject(o, "offset", static_cast<double>(s.offset));
        cJSON_AddNumberToObject(o, "type", s.type);
        const char* name = tup::sectionName(s.type);
        cJSON_AddStringToObject(o, "name", name ? name : "unknown");
        cJSON_AddNumberToObject(o, "length", s.length);
        cJSON_AddStringToObject(o, "status", outcomeText(outcome));
        if (m_error != nullptr)
            cJSON_AddStringToObject(o, "error", m_error);
        if (!s.notes.empty())
            addStrings(o, "notes", s.notes);
        if (m_fields != nullptr)
            cJSON_AddItemToObject(o, "fields", m_fields);
        m_fields = nullptr;
        m_error = nullptr;
        cJSON_AddItemToArray(m_sections, o);
    }

private:
    cJSON* m_sections;
    std::vector<std::string>& m_log;
    cJSON* m_fields = nullptr;     // the decoded record of the section being walked
    const char* m_error = nullptr; // why its decoder refused it
};

} // namespace

cJSON* FrameWatcher::handleDatagram(const uint8_t* data, size_t size, const std::string& sender,
                                    uint16_t senderPort, uint64_t nowMs)
{
    cJSON* doc = cJSON_CreateObject();
    cJSON_AddStringToObject(doc, "sender", sender.c_str());
    cJSON_AddNumberToObject(doc, "sender_port", senderPort);
    cJSON_AddNumberToObject(doc, "size", static_cast<double>(size));

    const tup::frame_check_s c = tup::checkFrame(data, size, sender, m_state);
    cJSON_AddBoolToObject(doc, "accepted", c.accepted());
    addHeader(doc, data, size, c);
    if (!c.accepted()) {
        cJSON* drop = cJSON_AddObjectToObject(doc, "dropped");
        cJSON_AddNumberToObject(drop, "check", c.failed);
        cJSON_AddStringToObject(drop, "name", tup::checkName(c.failed));
        cJSON_AddStringToObject(drop, "reason", c.log.empty() ? "" : c.log.front().c_str());
        addStrings(drop, "details",
                   std::vector<std::string>(c.log.begin() + (c.log.empty() ? 0 : 1), c.log.end()));
        return doc;
    }

    // Accepted: the watchdog restarts, then the sections are walked.
    m_lastAcceptMs = nowMs;
    std::vector<std::string> log = c.log;
    SectionPrinter printer(cJSON_AddArrayToObject(doc, "sections"), log);
    tup::visitSections(data, c.frameSize, printer);
    const bool first = tup::acceptFrame(m_state, sender, c);
    cJSON_AddBoolToObject(doc, "first_contact", first);
    if (first)
        log.push_back("First frame, attached to " + sender);
    addStrings(doc, "log", log);
    return doc;
}

long long FrameWatcher::msUntilSilence(uint64_t nowMs) const
{
    if (m_timeout == 0 || !m_state.hasPacketSender)
        return -1;
    const uint64_t due = m_lastAcceptMs + static_cast<uint64_t>(m_timeout) * 1000;
    return nowMs >= due ? 0 : static_cast<long long>(due - nowMs);
}

cJSON* FrameWatcher::checkSilence(uint64_t nowMs)
{
    if (msUntilSilence(nowMs) != 0)
        return nullptr;
    cJSON* doc = cJSON_CreateObject();
    cJSON_AddStringToObject(doc, "event", "timeout");
    const std::string msg = "No packet received within the " + std::to_string(m_timeout) +
                            "s window, unregister " + m_state.packetSender;
    cJSON_AddStringToObject(doc, "message", msg.c_str());
    cJSON_AddStringToObject(doc, "sender", m_state.packetSender.c_str());
    tup::detachSender(m_state);
    return doc;
}

} // namespace Tessal
