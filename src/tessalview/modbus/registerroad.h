#ifndef TESSAL_REGISTERROAD_H
#define TESSAL_REGISTERROAD_H

#include "modbusinterface.h"
#include "scriptwatcher.h"
#include "tuprecords.h"

#include <QObject>
#include <QString>

#include <vector>

namespace Tessal
{

// The one owner of the road from the device's values to plinthd's
// registers: it loads the Modbus map, has the server (re)started with a
// fresh "init" document ("mbserverstop.sh", then "mbserverstart.sh" with the
// document's path), and turns each list of Core items into one "setconfig"
// document for "mbserverupdate.sh". The scripts run one at a time in that
// order on a watcher of their own, never waited on. At most one update
// script runs and at most one document waits: a newer document replaces the
// waiting one, so the daemon gets the latest values as soon as the script is
// free, however fast frames come.
class RegisterRoad : public QObject
{
    Q_OBJECT

public:
    explicit RegisterRoad(int scriptLimitMs = ScriptWatcher::defaultLimitMs,
                          QObject* parent = nullptr);

    // Loads the map named by the settings, writes the "init" document into
    // the temporary configuration directory and queues the server's stop and
    // start. Without a usable interface setting no server is started
    // ("Failed to load modbus map"); updates still run.
    void start();

    // The device's latest values: stores them in their registers and queues
    // every table they touch (an empty "data" array when none).
    void update(const std::vector<tup::core_tmp>& items);

    const ModbusInterface& map() const { return modbus; }
    const ScriptWatcher& scripts() const { return *watcher; }

signals:
    // A "setconfig" document was handed to "mbserverupdate.sh" and the script
    // ended (or is missing); `document` is its text.
    void documentDelivered(const QString& document);
    // A waiting document was replaced by a newer one before the script was
    // free for it.
    void documentReplaced(const QString& document);

private:
    ModbusInterface modbus;
    ScriptWatcher* watcher;
    // Tables of the document waiting for the update script.
    QVector<int> waitingTables;
};

} // namespace Tessal

#endif
