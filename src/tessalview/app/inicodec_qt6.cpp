// The ini file's text on Qt 6: always UTF-8, nothing to set.
#include "inicodec.h"

#include <QSettings>

namespace Tessal
{

void IniCodec::readUtf8(QSettings& ini)
{
    Q_UNUSED(ini);
}

} // namespace Tessal
