#include "systempath.h"

namespace Tessal
{

QString SystemPath::systemPath(const QString& path)
{
    const QString root = qEnvironmentVariable("TESSAL_ROOT");
    if (root.isEmpty())
        return path;
    QString joined = root;
    while (joined.endsWith('/'))
        joined.chop(1);
    return joined + (path.startsWith('/') ? path : "/" + path);
}

} // namespace Tessal
