#ifndef TESSAL_NETWORKACCESSMANAGER_H
#define TESSAL_NETWORKACCESSMANAGER_H

#include <QNetworkAccessManager>

#include <QAuthenticator>
#include <QUrl>

namespace Tessal
{

// The one HTTP client of the web page: puts the configured Basic credentials
// on every request up front, logs requests, and reports once per reset
// whether the first request succeeded.
class NetworkAccessManager : public QNetworkAccessManager
{
    Q_OBJECT
public:
    explicit NetworkAccessManager(QObject* parent = nullptr);

    // The next finished, not cancelled request is reported again.
    void reset();

    // The attached device, the only host that gets the configured login.
    void setDeviceUrl(const QUrl& url);
    QString deviceHost() const { return device; }
    // True when `url` names the device's host.
    bool isDeviceUrl(const QUrl& url) const;
    // The Authorization header value for `url`: the configured login for the
    // device's host, empty for any other host or without a login.
    QByteArray credentialsFor(const QUrl& url) const;

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
    bool isFirstRequest;
    QString device;
    QByteArray language;
};

} // namespace Tessal

#endif
