#ifndef TESSAL_DEVICELANGUAGE_H
#define TESSAL_DEVICELANGUAGE_H

#include "tuprecords.h"

namespace Tessal
{

class FrontLinkTarget;

// The device's identity and the language of its pages, from DevInfo. The
// window (not owned, may be null) is told a new language; only a plain code
// ("en", "pt-br", "zh_TW") is handed on, because the window builds file
// paths and URLs from it.
class DeviceLanguage
{
public:
    explicit DeviceLanguage(FrontLinkTarget* window) : window(window) {}

    // A non-empty language goes to the window; the record is kept.
    void apply(const tup::devinfo_s& devinfo);
    const tup::devinfo_s& lastDevInfo() const { return last_devinfo; }

private:
    FrontLinkTarget* window;
    tup::devinfo_s last_devinfo;
};

} // namespace Tessal

#endif
