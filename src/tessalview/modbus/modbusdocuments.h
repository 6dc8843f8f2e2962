#ifndef TESSAL_MODBUSDOCUMENTS_H
#define TESSAL_MODBUSDOCUMENTS_H

#include "modbusmap.h"
#include "types.h"

#include <QString>
#include <QVector>

namespace Tessal
{

// The documents plinthd is given: the "init" document, written to a file
// from the map and the Modbus server settings, and the compact "setconfig"
// document of a set of register words.
class ModbusDocuments
{
public:
    // The file name of the init document in its directory.
    static const QString initFileName;

    // Writes the "init" document to initFileName in dir (an owner-only
    // directory). False, with a log line, for a wrong interface setting, an
    // unknown mode or a file that could not be written.
    static bool GenerateDbusInit(const ModbusMap& map, const QString& dir);
    // The compact "setconfig" document for the raw data.
    static QString GenerateDbusUpdateQuery(const QVector<MbRawData_s>& rawData);
};

} // namespace Tessal

#endif
