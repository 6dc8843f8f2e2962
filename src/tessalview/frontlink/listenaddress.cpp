#include "listenaddress.h"

#include "logging.h"

#include <QDebug>

namespace Tessal
{

QString chooseListenAddress(const QString& bindAddress, const QString& udpInterface,
                            const std::function<QList<QNetworkInterface>()>& interfaces)
{
    QString address = "0.0.0.0";
    if (!bindAddress.isEmpty())
        return bindAddress;
    if (udpInterface.isEmpty()) {
        qCDebug(lcFrontLink) << "No UDP config, use default";
        return address;
    }

    const QList<QNetworkInterface> list = interfaces();
    for (int i = 0; i < list.size(); ++i) {
        const QNetworkInterface& intf = list.at(i);
        if (intf.name() != udpInterface)
            continue;
        qCDebug(lcFrontLink).noquote() << "Interface found. " << intf.name() << " = " << i;
        const QList<QNetworkAddressEntry> entries = intf.addressEntries();
        if (entries.isEmpty())
            return address;
        QHostAddress broadcast = entries.first().broadcast();
        // An interface whose first entry has no broadcast address (an IPv6
        // address listed first, a point-to-point link) may still carry an
        // IPv4 address further down; an empty address would bind nothing.
        for (int e = 1; broadcast.isNull() && e < entries.size(); ++e)
            broadcast = entries.at(e).broadcast();
        if (broadcast.isNull()) {
            qCDebug(lcFrontLink).noquote()
                << "UDP interface " + intf.name() + " has no broadcast address, use default";
            return address;
        }
        return broadcast.toString();
    }
    qCDebug(lcFrontLink) << "UDP interface not found, use default";
    return address;
}

} // namespace Tessal
