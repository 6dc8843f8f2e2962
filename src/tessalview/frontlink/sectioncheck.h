#ifndef TESSAL_SECTIONCHECK_H
#define TESSAL_SECTIONCHECK_H

#include "tuprecords.h"

#include <QByteArray>

#include <vector>

namespace Tessal
{

// One section decoded on its own, as a caller hands it over: libtup's
// decoder behind the front link's checks, in their order (own type
// "Bad type", minimum length "Too short", bytes handed over "Payload size
// mismatch", target "Null pointer"). The receiver itself walks frames with
// libtup's section visitor; these serve a caller that holds one section.
class SectionCheck
{
public:
    // (type, section length, the section bytes with
    // their 4-byte head, target record, out-count). True on success, with
    // the out-count set to the section length.
    static bool handleSectionDevInfo(quint16 type, quint16 length, const QByteArray& section,
                                     tup::devinfo_s* target, quint16* outCount);
    static bool handleSectionGpioState(quint16 type, quint16 length, const QByteArray& section,
                                       tup::gpiostate_s* target, quint16* outCount);
    static bool handleSectionNetCfg(quint16 type, quint16 length, const QByteArray& section,
                                    tup::netcfg_s* target, quint16* outCount);
    static bool handleSectionSnmpCfg(quint16 type, quint16 length, const QByteArray& section,
                                     tup::snmpcfg_s* target, quint16* outCount);
    static bool handleSectionModbusCfg(quint16 type, quint16 length, const QByteArray& section,
                                       tup::modbuscfg_s* target, quint16* outCount);
    // Replaces the list with the section's data items in wire order. An item
    // that runs past the end of the section ends the list (logged); the
    // items before it are kept.
    static bool handleSectionCore(quint16 type, quint16 length, const QByteArray& section,
                                  std::vector<tup::core_tmp>* target, quint16* outCount);
};

} // namespace Tessal

#endif
