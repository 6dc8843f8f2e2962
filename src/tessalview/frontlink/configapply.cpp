#include "configapply.h"

#include "logging.h"
#include "privatedirectory.h"
#include "scriptwatcher.h"
#include "settings.h"
#include "snmpcodes.h"
#include "tupbytes.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <QTimer>

#include <cstdio>

namespace Tessal
{

namespace
{

QString dotted(quint32 host)
{
    return QString::fromStdString(tup::ipv4Text(host));
}

void log(const QString& text)
{
    qCInfo(lcFrontLink).noquote() << text;
}

// Printable ASCII stays as it is; everything else, and '%' itself, becomes
// %XX so that a value can hold neither a line break nor a control byte.
QByteArray escaped(const std::string& value)
{
    QByteArray out;
    out.reserve(static_cast<int>(value.size()));
    for (unsigned char c : value) {
        if (c < 0x20 || c > 0x7e || c == '%') {
            out += '%';
            out += QByteArray::number(c, 16).rightJustified(2, '0').toUpper();
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

} // namespace

QStringList ConfigApply::netCfgArguments(const tup::netcfg_s& cfg)
{
    return {cfg.dhcp ? "dhcp" : "static",
            dotted(cfg.ip),
            dotted(cfg.mask),
            dotted(cfg.gateway),
            dotted(cfg.dns1),
            dotted(cfg.dns2),
            cfg.tessal ? "tessal" : "standalone"};
}

QStringList ConfigApply::modbusCfgArguments(const tup::modbuscfg_s& cfg)
{
    return {cfg.tcp_status ? "enable" : "disable", QString::number(cfg.tcp_port)};
}

QByteArray ConfigApply::snmpCfgText(const tup::snmpcfg_s& cfg)
{
    QByteArray text;
    auto line = [&text](const char* key, const QByteArray& value) {
        text += key;
        text += '=';
        text += value;
        text += '\n';
    };
    line("version", tup::snmpVersionText(cfg.version));
    line("options", QByteArray::number(cfg.options));
    line("nopriv_hash", tup::snmpHashText(cfg.nopriv_hash));
    line("priv_hash", tup::snmpHashText(cfg.priv_hash));
    line("priv_algo", tup::snmpCipherText(cfg.priv_algo));
    line("cli_mode", tup::snmpVersionText(cfg.cli_mode));
    line("cli_hash", tup::snmpHashText(cfg.cli_hash));
    line("cli_algo", tup::snmpCipherText(cfg.cli_algo));
    for (const tup::snmp_text_field_s& field : tup::SNMP_TEXT_FIELDS)
        line(field.name, escaped(cfg.*(field.member)));
    line("port", QByteArray::number(cfg.port));
    line("port_trap", QByteArray::number(cfg.port_trap));
    const quint32 traps[] = {cfg.trap_addr1, cfg.trap_addr2, cfg.trap_addr3, cfg.trap_addr4,
                             cfg.trap_addr5};
    for (int i = 0; i < 5; ++i)
        line(QByteArray("trap_addr" + QByteArray::number(i + 1)).constData(),
             dotted(traps[i]).toLatin1());
    return text;
}

QString ConfigApply::snmpCfgPath()
{
    return QDir::cleanPath(Settings::getFilesTmpCfgDir() + "/snmp.cfg");
}

ConfigApply::ConfigApply(ScriptWatcher* scripts, int periodMs, QObject* parent)
    : QObject(parent), scripts(scripts), period(periodMs)
{
    registerTupMetaTypes();
    net.periodTimer = makeTimer(net);
    snmp.periodTimer = makeTimer(snmp);
    modbus.periodTimer = makeTimer(modbus);
}

template <class Cfg> QTimer* ConfigApply::makeTimer(Kind<Cfg>& kind)
{
    auto* timer = new QTimer(this);
    timer->setTimerType(Qt::PreciseTimer); // never shorter than the period
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, [this, &kind] { periodEnded(kind); });
    return timer;
}

void ConfigApply::resetToDefaults()
{
    snmp.inForce.port = 161;
    snmp.inForce.port_trap = 162;
    modbus.inForce.tcp_port = 502;
    net.inForce.resetcfg = true;
    snmp.inForce.resetcfg = true;
    modbus.inForce.resetcfg = true;
}

template <class Cfg> void ConfigApply::receive(Kind<Cfg>& kind, const Cfg& received)
{
    if (kind.periodTimer->isActive()) {
        // Within the period: the newest record waits for its end.
        kind.waiting = received;
        return;
    }
    if (!kind.inForce.resetcfg && received == kind.inForce)
        return;
    kind.waiting = received;
    kind.periodTimer->start(period);
}

template <class Cfg> void ConfigApply::periodEnded(Kind<Cfg>& kind)
{
    if (!kind.waiting)
        return;
    const Cfg received = *kind.waiting;
    kind.waiting.reset();
    // The same content never runs twice: a storm that ends on the record in
    // force applies nothing.
    if (!kind.inForce.resetcfg && received == kind.inForce)
        return;
    if (apply(received))
        kind.inForce = received;
}

void ConfigApply::receiveNetCfg(const tup::netcfg_s& received)
{
    receive(net, received);
}

void ConfigApply::receiveSnmpCfg(const tup::snmpcfg_s& received)
{
    receive(snmp, received);
}

void ConfigApply::receiveModbusCfg(const tup::modbuscfg_s& received)
{
    receive(modbus, received);
}

void ConfigApply::deviceAttached(const QString& address, std::function<void()> registered)
{
    log(QString("Register device %1").arg(address));
    scripts->run("k3p.sh", {address}, true, [registered](ScriptEnd) {
        if (registered)
            registered();
    });
}

void ConfigApply::deviceLost(const QString& address)
{
    for (QTimer* timer : {net.periodTimer, snmp.periodTimer, modbus.periodTimer})
        timer->stop();
    net.waiting.reset();
    snmp.waiting.reset();
    modbus.waiting.reset();
    log(QString("Unregister device %1").arg(address));
    scripts->run("k3p.sh", {"delete", address});
}

bool ConfigApply::apply(const tup::netcfg_s& cfg)
{
    // A failing script does not keep the old record in force: the device
    // would otherwise have the same script re-run on every period.
    const QStringList args = netCfgArguments(cfg);
    log(QString("Apply network configuration: %1").arg(args.join(' ')));
    scripts->run("netcfg.sh", args);
    emit netCfgApplied(cfg);
    return true;
}

bool ConfigApply::apply(const tup::modbuscfg_s& cfg)
{
    const QStringList args = modbusCfgArguments(cfg);
    log(QString("Apply Modbus configuration: %1").arg(args.join(' ')));
    scripts->run("modbuscfg.sh", args);
    emit modbusCfgApplied(cfg);
    return true;
}

bool ConfigApply::apply(const tup::snmpcfg_s& received)
{
    // The settings hold passwords and keys: they travel in an owner-only
    // file rather than on command lines that every user can list. The file is
    // written beside its place and renamed over it, so a link planted at that
    // name in a shared directory is replaced, never followed. Should the
    // scripts of an earlier record still wait in the queue when the file is
    // rewritten, they read the newer settings: either way the agent ends up
    // with the record in force.
    const QString path = snmpCfgPath();
    if (!PrivateDirectory::prepare(QFileInfo(path).absolutePath()))
        return false;
    const QByteArray text = snmpCfgText(received);
    QTemporaryFile file(path + ".XXXXXX"); // created owner-only, never through a link
    bool written = file.open() && file.write(text) == text.size() && file.flush();
    // rename() replaces whatever stands at the name, a link included.
    written = written && ::rename(QFile::encodeName(file.fileName()).constData(),
                                  QFile::encodeName(path).constData()) == 0;
    if (written)
        file.setAutoRemove(false);
    if (!written) {
        // Nothing is applied and the old record stays in force, so the next
        // record tries again.
        qCCritical(lcFrontLink).noquote() << QString("Error writing file '%1'").arg(path);
        return false;
    }
    const bool agentOn = received.version >= 1 && received.version <= 5;
    log(QString("Apply SNMP configuration: %1, agent %2")
            .arg(tup::snmpVersionText(received.version), agentOn ? "on" : "off"));
    scripts->run("snmpctl.sh", {"stop"});
    scripts->run("snmpcfg.sh", {path});
    scripts->run("snmptrap.sh", {path});
    if (agentOn)
        scripts->run("snmpctl.sh", {"start"});
    emit snmpCfgApplied(received);
    return true;
}

} // namespace Tessal
