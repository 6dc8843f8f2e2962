#ifndef TESSAL_REGISTERROAD_H
#define TESSAL_REGISTERROAD_H

#include "modbusinterface.h"
#include "tuprecords.h"

#include <QObject>

#include <vector>

namespace Tessal
{

// The one owner of the road from the device's values to plinthd's
// registers: it loads the Modbus map, has the server (re)started with a
// fresh "init" document, and turns each list of Core items into one
// "setconfig" update. Everything goes through the mbserver*.sh scripts and
// blocks the calling thread while one runs (30 s at most).
class RegisterRoad : public QObject
{
    Q_OBJECT

public:
    explicit RegisterRoad(QObject* parent = nullptr);

    // Loads the map named by the settings, writes the "init" document into
    // the temporary configuration directory, stops the server and starts it
    // again with that document. Without a usable interface setting no server
    // is started ("Failed to load modbus map"); updates still run.
    void start();

    // The device's latest values: stores them in their registers and sends
    // every table they touch (an empty "data" array when none).
    void update(const std::vector<tup::core_tmp>& items);

    const ModbusInterface& map() const { return modbus; }

private:
    ModbusInterface modbus;
};

} // namespace Tessal

#endif
