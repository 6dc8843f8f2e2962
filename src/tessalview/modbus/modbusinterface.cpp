#include "modbusinterface.h"

namespace Tessal
{

ModbusInterface::ModbusInterface(QObject* parent) : QObject(parent) {}

} // namespace Tessal
