#include "networkaccessmanager.h"

#include "certificatepin.h"
#include "logging.h"
#include "settings.h"

#include <QDateTime>
#include <QDebug>
#include <QNetworkCookieJar>
#include <QNetworkReply>
#include <QSslConfiguration>

namespace Tessal
{

namespace
{
void logLine(const QString& text)
{
    qCInfo(lcWeb).noquote() << QString::fromLatin1(text.toLatin1());
}
} // namespace

NetworkAccessManager::NetworkAccessManager(QObject* parent)
    : QNetworkAccessManager(parent), isFirstRequest(true)
{
    connect(this, &QNetworkAccessManager::authenticationRequired, this,
            &NetworkAccessManager::authenticationRequired);
    connect(this, &QNetworkAccessManager::finished, this, &NetworkAccessManager::requestFinished);
    // Cookies live only as long as the process.
    setCookieJar(new QNetworkCookieJar(this));
    guardCertificates(this);
}

void NetworkAccessManager::reset()
{
    isFirstRequest = true;
}

void NetworkAccessManager::setDeviceUrl(const QUrl& url)
{
    device = DeviceOrigin::fromUrl(url);
}

bool NetworkAccessManager::isDeviceUrl(const QUrl& url) const
{
    return device.matches(url);
}

QByteArray NetworkAccessManager::credentialsFor(const QUrl& url) const
{
    if (Settings::getLogin().isEmpty() || !isDeviceUrl(url))
        return QByteArray();
    if (Settings::getWebRequireHttps() && !device.isHttps()) {
        // Over http anyone on the segment reads the login off the wire.
        if (!withheldSaid)
            qCWarning(lcWeb).noquote()
                << QString("Login withheld from '%1': RequireHttps sends it over https only")
                       .arg(device.toString());
        withheldSaid = true;
        return QByteArray();
    }
    return Settings::getHttpAuthorizationBytes();
}

void NetworkAccessManager::guardCertificates(QNetworkAccessManager* manager)
{
    connect(manager, &QNetworkAccessManager::sslErrors, this,
            &NetworkAccessManager::checkSslErrors);
    connect(manager, &QNetworkAccessManager::encrypted, this,
            &NetworkAccessManager::checkEncrypted);
}

namespace
{
QSslCertificate leafOf(QNetworkReply* reply, const QList<QSslError>& errors = {})
{
    QSslCertificate leaf = reply->sslConfiguration().peerCertificate();
    if (leaf.isNull() && !errors.isEmpty())
        leaf = errors.first().certificate();
    return leaf;
}
} // namespace

void NetworkAccessManager::checkSslErrors(QNetworkReply* reply, const QList<QSslError>& errors)
{
    const QSslCertificate leaf = leafOf(reply, errors);
    // The device's own certificate needs no authority: its fingerprint is
    // known. Whatever the errors, they are about that very certificate.
    if (device.isHttps() && isDeviceUrl(reply->url()) && CertificatePin::matches(leaf)) {
        reply->ignoreSslErrors(errors);
        return;
    }
    QStringList reasons;
    for (const QSslError& error : errors)
        reasons << error.errorString();
    const bool pinApplies = device.isHttps() && isDeviceUrl(reply->url());
    qCWarning(lcWeb).noquote() << CertificatePin::refusal(reply->url().toString(), leaf,
                                                          pinApplies) +
                                      " (" + reasons.join(", ") + ")";
}

void NetworkAccessManager::checkEncrypted(QNetworkReply* reply)
{
    // A certificate that an authority vouches for is still not the device's
    // when the pin names another one.
    if (!device.isHttps() || !isDeviceUrl(reply->url()) || !CertificatePin::isSet())
        return;
    const QSslCertificate leaf = leafOf(reply);
    if (CertificatePin::matches(leaf))
        return;
    qCWarning(lcWeb).noquote() << CertificatePin::refusal(reply->url().toString(), leaf, true);
    reply->abort();
}

bool NetworkAccessManager::mayDownload(const QUrl& url) const
{
    if (Settings::getNetDeviceAddress().isEmpty() || isDeviceUrl(url))
        return true;
    qCInfo(lcWeb).noquote() << QString("Download of '%1' refused: the unit is pinned to %2")
                                   .arg(url.toString(), Settings::getNetDeviceAddress());
    return false;
}

void NetworkAccessManager::setLanguage(const QString& lang)
{
    if (lang.isEmpty() || lang == QLatin1String("default"))
        language.clear();
    else
        language = lang.toLatin1();
}

void NetworkAccessManager::noteStarted(const QByteArray& method, const QUrl& url,
                                       const QString& type)
{
    if (Settings::isLogVerbose())
        logLine(QString("[REQUEST] Request '%1' started (%2, %3)")
                    .arg(url.toString(), QString::fromLatin1(method), type));
}

void NetworkAccessManager::noteFinished(const QUrl& url, bool failed, const QString& errorText)
{
    if (Settings::isLogVerbose())
        logLine(QString("[REQUEST] Request '%1' finished").arg(url.toString()));
    if (failed)
        logLine(QString("Request '%1' failed: %2").arg(url.toString(), errorText));
    if (isFirstRequest) {
        isFirstRequest = false;
        emit firstRequestStatus(failed);
    }
}

QNetworkReply* NetworkAccessManager::createRequest(Operation op, const QNetworkRequest& request,
                                                   QIODevice* outgoingData)
{
    const bool verbose = Settings::isLogVerbose();
    if (verbose)
        logLine(QString("[REQUEST] Request '%1' started").arg(request.url().toString()));

    QNetworkRequest copy(request);
    // Credentials go out before the server asks, so a protected device never
    // needs a challenge answered. They are the device's: a page that leads
    // to another origin never hands them to it, not even when the engine
    // carries the header over from the device's request (a redirect).
    if (!Settings::getLogin().isEmpty()) {
        const bool own = !startedByDevice || startedByDevice(request);
        const QByteArray credentials = own ? credentialsFor(request.url()) : QByteArray();
        if (!credentials.isEmpty())
            copy.setRawHeader("Authorization", credentials);
        else if (copy.rawHeader("Authorization") == Settings::getHttpAuthorizationBytes())
            copy.setRawHeader("Authorization", QByteArray());
    }
    if (!language.isEmpty())
        copy.setRawHeader("Accept-Language", language);
    if (verbose)
        copy.setAttribute(StartTimeAttribute, QDateTime::currentDateTime());

    return QNetworkAccessManager::createRequest(op, copy, outgoingData);
}

void NetworkAccessManager::requestFinished(QNetworkReply* reply)
{
    if (!reply)
        return;
    if (Settings::isLogVerbose()) {
        QString suffix;
        const QVariant started = reply->request().attribute(StartTimeAttribute);
        if (started.isValid()) {
            const qint64 took = started.toDateTime().msecsTo(QDateTime::currentDateTime());
            suffix = QString(" (took %1ms)").arg(took);
        }
        logLine(QString("[REQUEST] Request '%1' finished%2").arg(reply->url().toString(), suffix));
    }
    if (reply->error() != QNetworkReply::NoError)
        logLine(
            QString("Request '%1' failed: %2").arg(reply->url().toString(), reply->errorString()));

    if (reply->error() == QNetworkReply::OperationCanceledError)
        return;
    if (isFirstRequest) {
        isFirstRequest = false;
        emit firstRequestStatus(reply->error() != QNetworkReply::NoError);
    }
}

void NetworkAccessManager::authenticationRequired(QNetworkReply*, QAuthenticator*)
{
    // A challenge is never answered: the request ends with an authentication
    // error, handled like any other failure.
}

} // namespace Tessal
