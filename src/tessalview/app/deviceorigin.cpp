#include "deviceorigin.h"

#include "logging.h"
#include "settings.h"

#include <QDebug>
#include <QHostAddress>

namespace Tessal
{

namespace
{
int defaultPort(const QString& scheme)
{
    if (scheme == QLatin1String("https"))
        return 443;
    if (scheme == QLatin1String("http"))
        return 80;
    return -1;
}

QString normalHost(const QString& host)
{
    // An address is compared in its canonical form ("::1" and "0::1" are
    // one host); a name case-insensitively.
    QHostAddress address;
    if (address.setAddress(host))
        return address.toString().toLower();
    return host.toLower();
}
} // namespace

DeviceOrigin::DeviceOrigin(const QString& scheme, const QString& host, int port)
    : schemeName(scheme.toLower()), hostName(normalHost(host))
{
    // Only the web's two schemes have an origin here.
    portNumber = port >= 0 ? port : defaultPort(schemeName);
    if (defaultPort(schemeName) < 0 || portNumber > 65535 || hostName.isEmpty()) {
        schemeName.clear();
        hostName.clear();
        portNumber = -1;
    }
}

DeviceOrigin DeviceOrigin::fromUrl(const QUrl& url)
{
    if (!url.isValid())
        return DeviceOrigin();
    const QString scheme = url.scheme().toLower();
    return DeviceOrigin(scheme, url.host(), url.port(defaultPort(scheme)));
}

QString DeviceOrigin::configuredScheme()
{
    const QString configured = Settings::getWebScheme().trimmed().toLower();
    if (configured == QLatin1String("https"))
        return configured;
    if (!configured.isEmpty() && configured != QLatin1String("http")) {
        static bool said = false;
        if (!said)
            qCWarning(lcWeb).noquote()
                << QString("[WebSite] Scheme '%1' is neither http nor https: using http")
                       .arg(Settings::getWebScheme());
        said = true;
    }
    return QStringLiteral("http");
}

DeviceOrigin DeviceOrigin::forAddress(const QString& address)
{
    return DeviceOrigin(configuredScheme(), address);
}

QString DeviceOrigin::startUrlFor(const QString& address)
{
    return forAddress(address).startUrl().toString();
}

QUrl DeviceOrigin::startUrl() const
{
    if (!isValid())
        return QUrl();
    QUrl url;
    url.setScheme(schemeName);
    url.setHost(hostName);
    if (portNumber != defaultPort(schemeName))
        url.setPort(portNumber);
    url.setPath(QStringLiteral("/index.html"));
    return url;
}

bool DeviceOrigin::matches(const QUrl& url) const
{
    return isValid() && fromUrl(url) == *this;
}

QString DeviceOrigin::toString() const
{
    if (!isValid())
        return QString();
    const QString host = hostName.contains(':') ? "[" + hostName + "]" : hostName;
    return QString("%1://%2:%3").arg(schemeName, host).arg(portNumber);
}

bool DeviceOrigin::operator==(const DeviceOrigin& other) const
{
    return schemeName == other.schemeName && hostName == other.hostName &&
           portNumber == other.portNumber;
}

} // namespace Tessal
