#ifndef TESSAL_LISTENADDRESS_H
#define TESSAL_LISTENADDRESS_H

#include <QList>
#include <QNetworkInterface>
#include <QString>

#include <functional>

namespace Tessal
{

// Where the front-link receiver listens: the configured bind address, else
// the broadcast address of the configured UDP interface, else "0.0.0.0".
// `interfaces` is asked for the system's interface list only when the
// interface has to be looked up.
QString chooseListenAddress(const QString& bindAddress, const QString& udpInterface,
                            const std::function<QList<QNetworkInterface>()>& interfaces =
                                &QNetworkInterface::allInterfaces);

} // namespace Tessal

#endif
