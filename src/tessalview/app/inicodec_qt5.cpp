// The ini file's text on Qt 5: told to be UTF-8 (Qt 5 reads Latin-1 unless
// told otherwise).
#include "inicodec.h"

#include <QSettings>

namespace Tessal
{

void IniCodec::readUtf8(QSettings& ini)
{
    ini.setIniCodec("UTF-8");
}

} // namespace Tessal
