#ifndef TESSAL_DEVICEORIGIN_H
#define TESSAL_DEVICEORIGIN_H

#include <QString>
#include <QUrl>

namespace Tessal
{

// Where the attached device serves its pages: scheme, host and port. The
// device's login and its certificate belong to this origin and to no other
// (not to another port of the same host, nor to the same host over another
// scheme).
class DeviceOrigin
{
public:
    // An empty origin: no device attached, nothing matches it.
    DeviceOrigin() = default;
    // `port` -1 is the scheme's own port.
    DeviceOrigin(const QString& scheme, const QString& host, int port = -1);

    // The origin of `url`; empty for a URL that is not http or https.
    static DeviceOrigin fromUrl(const QUrl& url);
    // The device at `address` (a bare IPv4 or IPv6 address, as its frames
    // come from), reached over the configured scheme.
    static DeviceOrigin forAddress(const QString& address);
    // The start page of the device at `address`: "/index.html" of
    // forAddress(address).
    static QString startUrlFor(const QString& address);
    // The configured scheme: "https" or "http" (anything else is taken as
    // "http", and said once).
    static QString configuredScheme();

    bool isValid() const { return !hostName.isEmpty(); }
    QString scheme() const { return schemeName; }
    QString host() const { return hostName; }
    // The effective port: the scheme's own one when the URL names none.
    int port() const { return portNumber; }
    bool isHttps() const { return schemeName == QLatin1String("https"); }

    // "/index.html" of this origin; an IPv6 host is bracketed.
    QUrl startUrl() const;
    // True when `url` has this origin: same scheme, same host (case
    // insensitive), same effective port.
    bool matches(const QUrl& url) const;
    // "scheme://host:port", for log lines.
    QString toString() const;

    bool operator==(const DeviceOrigin& other) const;
    bool operator!=(const DeviceOrigin& other) const { return !(*this == other); }

private:
    QString schemeName;
    QString hostName;
    int portNumber = -1;
};

} // namespace Tessal

#endif
