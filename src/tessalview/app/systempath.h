#ifndef TESSAL_SYSTEMPATH_H
#define TESSAL_SYSTEMPATH_H

#include <QString>

namespace Tessal
{

// The one seam for fixed system paths.
class SystemPath
{
public:
    // Every fixed system path (the ini file, sysfs files) goes through here.
    // On a unit it returns the path unchanged; when the environment variable
    // TESSAL_ROOT names a directory (tests, demo), the path is resolved under
    // that directory instead.
    static QString systemPath(const QString& path);
};

} // namespace Tessal

#endif
