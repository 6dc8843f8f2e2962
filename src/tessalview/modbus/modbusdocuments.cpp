#include "modbusdocuments.h"

#include "logging.h"
#include "plinthdjson.h"
#include "privatedirectory.h"
#include "settings.h"

#include <QDebug>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>

namespace Tessal
{

const QString ModbusDocuments::initFileName = QStringLiteral("mbserver_init.dbus");

namespace
{

void log(const QString& text)
{
    qCDebug(lcModbus).noquote() << text;
}

// Networks as the ini gives them, separated by commas or blanks.
QJsonArray networks(const QString& text)
{
    QJsonArray list;
    const QStringList parts =
        text.split(QRegularExpression(QStringLiteral("[,\\s]+")), Qt::SkipEmptyParts);
    for (const QString& network : parts)
        list.append(network);
    return list;
}

// The access rules and the secure port of the ini, carried into the TCP
// object as the daemon reads them. A setting left empty (or 0) adds nothing,
// so the daemon's default holds; the daemon checks the texts.
void insertServingSettings(QJsonObject& intf)
{
    if (!networks(Settings::getModbusAllowConnect()).isEmpty())
        intf.insert(PLINTHD_KEY_ALLOWCONNECT, networks(Settings::getModbusAllowConnect()));
    if (!networks(Settings::getModbusAllowWrite()).isEmpty())
        intf.insert(PLINTHD_KEY_ALLOWWRITE, networks(Settings::getModbusAllowWrite()));
    if (Settings::getModbusIdleTimeout() > 0)
        intf.insert(PLINTHD_KEY_IDLETIMEOUT, static_cast<qint64>(Settings::getModbusIdleTimeout()));
    if (Settings::getModbusTlsCertificate().isEmpty())
        return;
    QJsonObject tls;
    tls.insert(PLINTHD_KEY_PORT, static_cast<int>(Settings::getModbusTlsPort()));
    tls.insert(PLINTHD_KEY_CERTIFICATE, Settings::getModbusTlsCertificate());
    tls.insert(PLINTHD_KEY_KEY, Settings::getModbusTlsKey());
    tls.insert(PLINTHD_KEY_CA, Settings::getModbusTlsCa());
    tls.insert(PLINTHD_KEY_ROLES, Settings::getModbusTlsRoles());
    intf.insert(PLINTHD_KEY_TLS, tls);
}

} // namespace

bool ModbusDocuments::GenerateDbusInit(const ModbusMap& map, const QString& dir)
{
    QJsonObject doc;
    doc.insert(PLINTHD_KEY_CMD, PLINTHD_CMD_INIT);
    doc.insert(PLINTHD_KEY_DELAY, 500);

    const QStringList parts = Settings::getModbusIntf().split(':');
    const QString mode = Settings::getModbusMode().toLower();
    QJsonObject intf;
    if (mode == PLINTHD_PROTOCOL_RTU) {
        if (parts.size() != 4) {
            log("Missing info in RTU interface config");
            return false;
        }
        intf.insert(PLINTHD_KEY_DEVID, parts[0].toInt());
        intf.insert(PLINTHD_KEY_PORT, parts[1]);
        intf.insert(PLINTHD_KEY_BAUD, parts[2].toInt());
        intf.insert(PLINTHD_KEY_MODE, parts[3]);
    } else if (mode == PLINTHD_PROTOCOL_TCP) {
        if (parts.size() != 3) {
            log("Missing info in TCP interface config");
            return false;
        }
        intf.insert(PLINTHD_KEY_LISTEN, parts[0]);
        intf.insert(PLINTHD_KEY_PORT, parts[1].toInt());
        intf.insert(PLINTHD_KEY_CLIENTS, parts[2].toInt());
        insertServingSettings(intf);
    } else {
        log("Unrecognized Modbus mode");
        return false;
    }
    doc.insert(PLINTHD_KEY_PROTOCOL, mode);
    doc.insert(mode, intf);

    // Every table is served readable: the map's own access mode stays local.
    QJsonArray tables;
    for (auto tab = map.tables().cbegin(); tab != map.tables().cend(); ++tab) {
        qint64 length = 0;
        for (int entry : tab.value().registers)
            length = qMin<qint64>(length + map.entryWords(entry), ModbusMap::maxTableWords);
        QJsonObject t;
        t.insert(PLINTHD_KEY_ADDRESS, tab.key());
        t.insert(PLINTHD_KEY_MODE, PLINTHD_ACCESS_READ);
        t.insert(PLINTHD_KEY_LENGTH, static_cast<int>(length));
        tables.append(t);
    }
    doc.insert(PLINTHD_KEY_TABLES, tables);

    // The start script reads this file: a file that could not be written is
    // reported, so no server is started on a stale or missing document.
    const QString path = QDir::cleanPath(dir + "/" + initFileName);
    if (!PrivateDirectory::prepare(dir))
        return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        qCCritical(lcModbus).noquote() << QString("Error opening file '%1'").arg(path);
        return false;
    }
    file.write(QJsonDocument(doc).toJson(QJsonDocument::Indented));
    if (!file.commit()) {
        qCCritical(lcModbus).noquote() << QString("Error writing file '%1'").arg(path);
        return false;
    }
    return true;
}

QString ModbusDocuments::GenerateDbusUpdateQuery(const QVector<MbRawData_s>& rawData)
{
    QJsonArray data;
    for (const MbRawData_s& raw : rawData) {
        QJsonArray values;
        for (quint16 word : raw.values)
            values.append(static_cast<int>(word));
        QJsonObject element;
        element.insert(PLINTHD_KEY_ADDRESS, raw.baseaddr);
        element.insert(PLINTHD_KEY_VALUES, values);
        data.append(element);
    }
    QJsonObject doc;
    doc.insert(PLINTHD_KEY_CMD, PLINTHD_CMD_SETCONFIG);
    doc.insert(PLINTHD_KEY_DATA, data);
    return QString::fromUtf8(QJsonDocument(doc).toJson(QJsonDocument::Compact));
}

} // namespace Tessal
