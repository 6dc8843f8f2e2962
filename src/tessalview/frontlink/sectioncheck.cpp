#include "sectioncheck.h"

#include "logging.h"
#include "sectiondecoders.h"
#include "tupwire.h"

namespace Tessal
{

namespace
{

const uint8_t* bytesOf(const QByteArray& a)
{
    return reinterpret_cast<const uint8_t*>(a.constData());
}

// The checks every section decoder makes before reading the payload, in
// their order: own type, minimum length, bytes handed over, target.
bool checkSection(quint16 type, quint16 ownType, quint16 length, quint16 minimum,
                  const QByteArray& section, const void* target, bool warning)
{
    const char* failure = nullptr;
    if (type != ownType)
        failure = "Bad type";
    else if (length < minimum)
        failure = "Too short";
    else if (section.size() != length)
        failure = "Payload size mismatch";
    else if (target == nullptr)
        failure = "Null pointer";
    if (failure == nullptr)
        return true;
    if (warning)
        qCWarning(lcFrontLink).noquote() << failure;
    else
        qCInfo(lcFrontLink).noquote() << failure;
    return false;
}

template <class Record, class Decode>
bool decodeFixed(quint16 type, quint16 ownType, quint16 length, quint16 minimum,
                 const QByteArray& section, Record* target, quint16* outCount, Decode decode)
{
    if (!checkSection(type, ownType, length, minimum, section, target, false))
        return false;
    Record record;
    const tup::DecodeStatus status =
        decode(bytesOf(section), static_cast<size_t>(section.size()), record);
    if (status != tup::DecodeStatus::Ok) {
        qCInfo(lcFrontLink).noquote() << tup::decodeStatusText(status);
        return false;
    }
    *target = std::move(record);
    if (outCount != nullptr)
        *outCount = length;
    return true;
}

} // namespace

bool SectionCheck::handleSectionDevInfo(quint16 type, quint16 length, const QByteArray& section,
                                        tup::devinfo_s* target, quint16* outCount)
{
    return decodeFixed(type, tup::SECT_DEVINFO, length, tup::SECT_DEVINFO_SIZE, section, target,
                       outCount, tup::decodeDevInfo);
}

bool SectionCheck::handleSectionGpioState(quint16 type, quint16 length, const QByteArray& section,
                                          tup::gpiostate_s* target, quint16* outCount)
{
    return decodeFixed(type, tup::SECT_GPIOSTATE, length, tup::SECT_GPIOSTATE_SIZE, section, target,
                       outCount, tup::decodeGpioState);
}

bool SectionCheck::handleSectionNetCfg(quint16 type, quint16 length, const QByteArray& section,
                                       tup::netcfg_s* target, quint16* outCount)
{
    return decodeFixed(type, tup::SECT_NETCFG, length, tup::SECT_NETCFG_SIZE, section, target,
                       outCount, tup::decodeNetCfg);
}

bool SectionCheck::handleSectionSnmpCfg(quint16 type, quint16 length, const QByteArray& section,
                                        tup::snmpcfg_s* target, quint16* outCount)
{
    return decodeFixed(type, tup::SECT_SNMPCFG, length, tup::SECT_SNMPCFG_SIZE, section, target,
                       outCount, tup::decodeSnmpCfg);
}

bool SectionCheck::handleSectionModbusCfg(quint16 type, quint16 length, const QByteArray& section,
                                          tup::modbuscfg_s* target, quint16* outCount)
{
    return decodeFixed(type, tup::SECT_MODBUSCFG, length, tup::SECT_MODBUSCFG_SIZE, section, target,
                       outCount, tup::decodeModbusCfg);
}

bool SectionCheck::handleSectionCore(quint16 type, quint16 length, const QByteArray& section,
                                     std::vector<tup::core_tmp>* target, quint16* outCount)
{
    // A Core section has no minimum length: a length field short of the
    // bytes handed over is a size mismatch like any other.
    if (!checkSection(type, tup::SECT_CORE, length, 0, section, target, true))
        return false;
    const size_t head = tup::TUP_SECTION_HEAD;
    if (length < head) {
        // Only a caller handing over fewer bytes than a section head gets here.
        qCWarning(lcFrontLink).noquote() << "Too short";
        return false;
    }
    std::vector<tup::core_tmp> items;
    if (!tup::parseCoreItems(bytesOf(section) + head, static_cast<size_t>(length) - head, items))
        qCWarning(lcFrontLink).noquote()
            << QString("Core item %1 runs past the end of the section. Stop "
                       "item list")
                   .arg(items.size() + 1);
    target->swap(items);
    if (outCount != nullptr)
        *outCount = length;
    return true;
}

} // namespace Tessal
