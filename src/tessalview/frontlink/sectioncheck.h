#ifndef TESSAL_SECTIONCHECK_H
#define TESSAL_SECTIONCHECK_H

#include "logging.h"
#include "sectiondecoders.h"
#include "tuprecords.h"
#include "tupwire.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace Tessal
{

// One section decoded on its own, as a caller hands it over: libtup's
// decoder behind the front link's checks, in their order (own type
// "Bad type", minimum length "Too short", bytes handed over "Payload size
// mismatch", target "Null pointer"). The receiver itself walks frames with
// libtup's section visitor; these serve a caller that holds one section.
namespace SectionDecoding
{

// The checks before a section's payload is read, in their order: own type,
// minimum length, bytes handed over, target; logs the failing one (on the
// warning channel when `warning`).
bool checkSection(quint16 type, quint16 ownType, quint16 length, quint16 minimum,
                  const QByteArray& section, const void* target, bool warning);

// The body the five fixed-size kinds share.
template <class Record, uint16_t OwnType, uint16_t MinLength,
          tup::DecodeStatus (*Decode)(const uint8_t*, size_t, Record&)>
bool decodeFixed(quint16 type, quint16 length, const QByteArray& section, Record* target,
                 quint16* outCount)
{
    if (!checkSection(type, OwnType, length, MinLength, section, target, false))
        return false;
    Record record;
    const tup::DecodeStatus status = Decode(reinterpret_cast<const uint8_t*>(section.constData()),
                                            static_cast<size_t>(section.size()), record);
    if (status != tup::DecodeStatus::Ok) {
        qCDebug(lcFrontLink).noquote() << tup::decodeStatusText(status);
        return false;
    }
    *target = std::move(record);
    if (outCount != nullptr)
        *outCount = length;
    return true;
}

} // namespace SectionDecoding

class SectionCheck
{
public:
    // (type, section length, the section bytes with their 4-byte head,
    // target record, out-count). True on success, with the out-count set to
    // the section length.
    static constexpr auto handleSectionDevInfo =
        &SectionDecoding::decodeFixed<tup::devinfo_s, tup::SECT_DEVINFO, tup::SECT_DEVINFO_SIZE,
                                      tup::decodeDevInfo>;
    static constexpr auto handleSectionGpioState =
        &SectionDecoding::decodeFixed<tup::gpiostate_s, tup::SECT_GPIOSTATE,
                                      tup::SECT_GPIOSTATE_SIZE, tup::decodeGpioState>;
    static constexpr auto handleSectionNetCfg =
        &SectionDecoding::decodeFixed<tup::netcfg_s, tup::SECT_NETCFG, tup::SECT_NETCFG_SIZE,
                                      tup::decodeNetCfg>;
    static constexpr auto handleSectionSnmpCfg =
        &SectionDecoding::decodeFixed<tup::snmpcfg_s, tup::SECT_SNMPCFG, tup::SECT_SNMPCFG_SIZE,
                                      tup::decodeSnmpCfg>;
    static constexpr auto handleSectionModbusCfg =
        &SectionDecoding::decodeFixed<tup::modbuscfg_s, tup::SECT_MODBUSCFG,
                                      tup::SECT_MODBUSCFG_SIZE, tup::decodeModbusCfg>;

    // Replaces the list with the section's data items in wire order. An item
    // that runs past the end of the section ends the list (logged); the
    // items before it are kept.
    static bool handleSectionCore(quint16 type, quint16 length, const QByteArray& section,
                                  std::vector<tup::core_tmp>* target, quint16* outCount);
};

} // namespace Tessal

#endif
