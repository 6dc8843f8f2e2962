#include "configapply.h"

#include "logging.h"
#include "privatedirectory.h"
#include "scriptrunner.h"
#include "settings.h"
#include "snmpcodes.h"
#include "tupbytes.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

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

void ConfigApply::addK3P(const QString& address, int timeoutMs)
{
    log(QString("Register device %1").arg(address));
    ScriptRunner::runScript("k3p.sh", {address}, true, timeoutMs);
}

void ConfigApply::removeK3P(const QString& address, int timeoutMs)
{
    log(QString("Unregister device %1").arg(address));
    ScriptRunner::runScript("k3p.sh", {"delete", address}, true, timeoutMs);
}

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

namespace
{

// A configuration handed to its script as arguments: applied when it differs
// from the one in force or when that one is due for a reset.
template <class Cfg>
bool applyByArguments(Cfg& inForce, const Cfg& received, const QStringList& args, const char* what,
                      const char* script, int timeoutMs)
{
    if (!inForce.resetcfg && received == inForce)
        return false;
    log(QString("Apply %1 configuration: %2").arg(QLatin1String(what), args.join(' ')));
    ScriptRunner::runScript(script, args, true, timeoutMs);
    inForce = received;
    return true;
}

} // namespace

bool ConfigApply::updateNetCfg(tup::netcfg_s& inForce, const tup::netcfg_s& received, int timeoutMs)
{
    return applyByArguments(inForce, received, netCfgArguments(received), "network", "netcfg.sh",
                            timeoutMs);
}

bool ConfigApply::updateModbusCfg(tup::modbuscfg_s& inForce, const tup::modbuscfg_s& received,
                                  int timeoutMs)
{
    return applyByArguments(inForce, received, modbusCfgArguments(received), "Modbus",
                            "modbuscfg.sh", timeoutMs);
}

bool ConfigApply::updateSnmpCfg(tup::snmpcfg_s& inForce, const tup::snmpcfg_s& received,
                                int timeoutMs)
{
    if (!inForce.resetcfg && received == inForce)
        return false;
    // The settings hold passwords and keys: they travel in an owner-only
    // file rather than on command lines that every user can list. The file is
    // written beside its place and renamed over it, so a link planted at that
    // name in a shared directory is replaced, never followed.
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
        // frame tries again.
        qCCritical(lcFrontLink).noquote() << QString("Error writing file '%1'").arg(path);
        return false;
    }
    const bool agentOn = received.version >= 1 && received.version <= 5;
    log(QString("Apply SNMP configuration: %1, agent %2")
            .arg(tup::snmpVersionText(received.version), agentOn ? "on" : "off"));
    ScriptRunner::runScript("snmpctl.sh", {"stop"}, true, timeoutMs);
    ScriptRunner::runScript("snmpcfg.sh", {path}, true, timeoutMs);
    ScriptRunner::runScript("snmptrap.sh", {path}, true, timeoutMs);
    if (agentOn)
        ScriptRunner::runScript("snmpctl.sh", {"start"}, true, timeoutMs);
    inForce = received;
    return true;
}

} // namespace Tessal
