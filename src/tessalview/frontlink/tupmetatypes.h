#ifndef TESSAL_TUPMETATYPES_H
#define TESSAL_TUPMETATYPES_H

// The frame library's records as Qt meta-types, so the front link's parts can
// carry them in signals (queued across threads, recorded by QSignalSpy).
#include "tuprecords.h"

#include <QHostAddress>
#include <QMetaType>

#include <vector>

Q_DECLARE_METATYPE(QHostAddress)
Q_DECLARE_METATYPE(tup::devinfo_s)
Q_DECLARE_METATYPE(tup::gpiostate_s)
Q_DECLARE_METATYPE(tup::netcfg_s)
Q_DECLARE_METATYPE(tup::snmpcfg_s)
Q_DECLARE_METATYPE(tup::modbuscfg_s)
Q_DECLARE_METATYPE(std::vector<tup::core_tmp>)

namespace Tessal
{

// Registers them once; every part that emits them calls it.
inline void registerTupMetaTypes()
{
    static const bool registered = [] {
        qRegisterMetaType<QHostAddress>();
        qRegisterMetaType<tup::devinfo_s>();
        qRegisterMetaType<tup::gpiostate_s>();
        qRegisterMetaType<tup::netcfg_s>();
        qRegisterMetaType<tup::snmpcfg_s>();
        qRegisterMetaType<tup::modbuscfg_s>();
        qRegisterMetaType<std::vector<tup::core_tmp>>();
        return true;
    }();
    (void)registered;
}

} // namespace Tessal

#endif
