#include "registerroad.h"

#include "logging.h"
#include "scriptrunner.h"
#include "settings.h"

#include <QDebug>
#include <QDir>

namespace Tessal
{

namespace
{

const QString updateScript = QStringLiteral("mbserverupdate.sh");

void log(const QString& text)
{
    qCDebug(lcModbus).noquote() << text;
}

} // namespace

RegisterRoad::RegisterRoad(int scriptLimitMs, QObject* parent)
    : QObject(parent), watcher(new ScriptWatcher(scriptLimitMs, this))
{
    connect(watcher, &ScriptWatcher::finished, this, [this](const ScriptRun_s& run, ScriptEnd) {
        if (run.name == updateScript && !run.arguments.isEmpty())
            emit documentDelivered(run.arguments.first());
    });
    connect(watcher, &ScriptWatcher::started, this, [this](const ScriptRun_s& run) {
        if (run.name == updateScript)
            waitingTables.clear();
    });
    connect(watcher, &ScriptWatcher::finished, this, [this](const ScriptRun_s& run, ScriptEnd end) {
        // A document that never reached a script has nothing waiting behind it.
        if (run.name == updateScript && end == ScriptEnd::NotRun)
            waitingTables.clear();
    });
    connect(watcher, &ScriptWatcher::replaced, this, [this](const ScriptRun_s& run) {
        if (run.name == updateScript && !run.arguments.isEmpty())
            emit documentReplaced(run.arguments.first());
    });
}

void RegisterRoad::start()
{
    const QString dir = Settings::getFilesTmpCfgDir();
    if (!modbus.LoadConfig(Settings::getModbusMap()))
        log("Failed to load modbus map");
    if (!modbus.GenerateDbusInit(dir)) {
        log("Failed to load modbus map");
        return;
    }
    log("Stop modbus monitor");
    watcher->run("mbserverstop.sh", {});
    log("Start modbus monitor");
    const QStringList arguments{QDir::cleanPath(dir + "/" + ModbusDocuments::initFileName)};
    log(ScriptRunner::scriptPath("mbserverstart.sh"));
    for (const QString& argument : arguments)
        log(argument);
    log("");
    watcher->run("mbserverstart.sh", arguments);
}

void RegisterRoad::update(const std::vector<tup::core_tmp>& items)
{
    // The registers take the values now. A document that replaces a waiting
    // one also carries the tables the waiting one did, with their present
    // words, so nothing the daemon has not yet seen is lost.
    for (int table : modbus.CheckTableToUpdate(items)) {
        if (!waitingTables.contains(table))
            waitingTables.append(table);
    }
    const QVector<int> tables = waitingTables;
    const QString document = modbus.GenerateDbusUpdateQuery(modbus.ComputeRawData(tables));
    watcher->runLatest(updateScript, updateScript, {document}, false);
}

} // namespace Tessal
