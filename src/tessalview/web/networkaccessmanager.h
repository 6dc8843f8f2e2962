#ifndef TESSAL_NETWORKACCESSMANAGER_H
#define TESSAL_NETWORKACCESSMANAGER_H

#include <QNetworkAccessManager>

#include "deviceorigin.h"

#include <QAuthenticator>
#include <QSslError>
#include <QUrl>

#include <functional>

namespace Tessal
{

// The one HTTP client of the web page: puts the configured Basic credentials
// up front on every request to the device's origin, holds the device to its
// pinned certificate, logs requests, and reports once per reset whether the
// first request succeeded.
class NetworkAccessManager : public QNetworkAccessManager
{
    Q_OBJECT
public:
    explicit NetworkAccessManager(QObject* parent = nullptr);

    // The next finished, not cancelled request is reported again.
    void reset();

    // The attached device: the only origin (scheme, host and port) that
    // gets the configured login.
    void setDeviceUrl(const QUrl& url);
    DeviceOrigin deviceOrigin() const { return device; }
    // True when `url` has the device's origin.
    bool isDeviceUrl(const QUrl& url) const;
    // The Authorization header value for `url`: the configured login for the
    // device's origin, empty for any other origin, without a login, and over
    // http while [WebSite] RequireHttps is set.
    QByteArray credentialsFor(const QUrl& url) const;
    // False, with a log line, for a download that does not come from the
    // device's origin while the unit is pinned to a device ([Network]
    // DeviceAddress): a pinned unit writes to its drive only what its own
    // device serves.
    bool mayDownload(const QUrl& url) const;

    // Tells whether a request of the page was started by the device's own
    // page (an engine that fetches through this manager sets it). Without
    // one, every request is the kiosk's own.
    using Initiator = std::function<bool(const QNetworkRequest& request)>;
    void setStartedByDevice(Initiator test) { startedByDevice = std::move(test); }

    // Holds the replies of `manager` (this one, the retry probe's) to the
    // device's certificate: with a pinned fingerprint the device's
    // certificate is accepted when, and only when, it has that fingerprint;
    // without one, the system's trust store decides.
    void guardCertificates(QNetworkAccessManager* manager);

    // The device's language: pages are asked for in it (Accept-Language).
    // "default" or empty leaves the engine's own choice.
    void setLanguage(const QString& lang);
    QByteArray acceptLanguage() const { return language; }

    // For an engine that fetches pages itself: the request log and the
    // first-request report, as for the requests made here. `type` is the
    // resource type ("main frame", "image", ...).
    void noteStarted(const QByteArray& method, const QUrl& url, const QString& type);
    void noteFinished(const QUrl& url, bool failed, const QString& errorText);

    // Request attribute that carries the creation time in verbose mode.
    static const QNetworkRequest::Attribute StartTimeAttribute = QNetworkRequest::User;

signals:
    void firstRequestStatus(bool error);

public slots:
    void requestFinished(QNetworkReply* reply);

protected:
    QNetworkReply* createRequest(Operation op, const QNetworkRequest& request,
                                 QIODevice* outgoingData) override;

private slots:
    void authenticationRequired(QNetworkReply* reply, QAuthenticator* authenticator);

private:
    void checkSslErrors(QNetworkReply* reply, const QList<QSslError>& errors);
    void checkEncrypted(QNetworkReply* reply);

    bool isFirstRequest;
    DeviceOrigin device;
    Initiator startedByDevice;
    // The reason a login was withheld is logged once.
    mutable bool withheldSaid = false;
    QByteArray language;
};

} // namespace Tessal

#endif
