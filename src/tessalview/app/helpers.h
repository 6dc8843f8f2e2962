#ifndef TESSAL_HELPERS_H
#define TESSAL_HELPERS_H

#include "clock.h"
#include "md5.h"
#include "scriptrunner.h"
#include "sysfs.h"
#include "systempath.h"

namespace Tessal
{

// The small stateless helpers by their one shared name: time stamps and a
// blocking wait, sysfs writes, MD5, system paths and the script runner. Each
// lives in a file of its own; the kiosk's code includes and names the one it
// needs (Clock::now(), SysfsFile::echo()...), and this name serves callers
// that take them as a set.
struct Helpers : Clock, SysfsFile, Md5, SystemPath, ScriptRunner {
};

} // namespace Tessal

#endif
