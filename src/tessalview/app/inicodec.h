#ifndef TESSAL_INICODEC_H
#define TESSAL_INICODEC_H

class QSettings;

namespace Tessal
{

// How the kiosk's Qt reads the text of an ini file. Qt 6 reads it as UTF-8
// and cannot be told otherwise; Qt 5 reads it as Latin-1 unless told. Each
// Qt has its own implementation of this, built with the kiosk's Qt.
namespace IniCodec
{
// Makes `ini` read its file as UTF-8 (Qt 5); Qt 6 already does.
void readUtf8(QSettings& ini);
} // namespace IniCodec

} // namespace Tessal

#endif
