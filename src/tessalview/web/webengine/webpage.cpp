#include "webpage.h"

#include "certificatepin.h"
#include "engineversion.h"
#include "filedialog.h"
#include "jsdialogs.h"
#include "logging.h"
#include "networkaccessmanager.h"
#include "settings.h"

#include <QAuthenticator>
#include <QDebug>
#include <QWebEngineCertificateError>

namespace Tessal
{

const char* const WebPage::ResourceFailedTag = "tessal-resource-failed ";

WebPage::WebPage(const WebSurface::Services& services, QWebEngineProfile* profile, QObject* parent)
    : QWebEnginePage(profile, parent), services(services)
{
    // A challenge is never answered. Left alone, the engine asks again with
    // empty credentials some thirty times; an empty authenticator ends it
    // at once, and the request fails like any other.
    connect(this, &QWebEnginePage::authenticationRequired, this,
            [](const QUrl& url, QAuthenticator* authenticator) {
                qCInfo(lcWeb).noquote()
                    << QString("Login asked by '%1', not answered").arg(url.toString());
                *authenticator = QAuthenticator();
            });
    connect(this, &QWebEnginePage::proxyAuthenticationRequired, this,
            [](const QUrl&, QAuthenticator* authenticator, const QString&) {
                *authenticator = QAuthenticator();
            });
}

bool WebPage::acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame)
{
    // The engine carries the headers of a redirected request along, the
    // device's login included: a redirect that leaves the device's host is
    // refused here, before it is followed, and the page is loaded afresh
    // without the login.
    if (type == NavigationTypeRedirect && !Settings::getLogin().isEmpty() &&
        !services.network->isDeviceUrl(url) &&
        (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"))) {
        qCInfo(lcWeb).noquote() << QString("Redirect to '%1' stopped: it would carry the "
                                           "device's login to another host")
                                       .arg(url.toString());
        if (isMainFrame)
            emit foreignRedirectRefused(url);
        return false;
    }
    // The kiosk's own pages (the error and front pages) have no address of
    // their own.
    if (isMainFrame && url.scheme() != QLatin1String("data") && type != NavigationTypeRedirect) {
        currentUrl = url;
        emit loadingUrl(currentUrl);
    } else if (isMainFrame && type == NavigationTypeRedirect) {
        currentUrl = url;
    }
    return true;
}

bool WebPage::acceptCertificate(const QWebEngineCertificateError& error)
{
    // Only certificates that the system's trust store refuses come here. The
    // device's own is accepted when it has the pinned fingerprint; every
    // other one ends the load, and the error page follows.
    const QSslCertificate leaf = error.certificateChain().value(0);
    const QUrl url = error.url();
    const bool pinApplies =
        services.network->deviceOrigin().isHttps() && services.network->isDeviceUrl(url);
    if (pinApplies && CertificatePin::matches(leaf) && error.isOverridable())
        return true;
    qCWarning(lcWeb).noquote() << CertificatePin::refusal(url.toString(), leaf, pinApplies) + " (" +
                                      EngineVersion::describe(error) + ")";
    return false;
}

QStringList WebPage::chooseFiles(FileSelectionMode, const QStringList&, const QStringList&)
{
    const QString path = FileDialog::chooseUploadFile(services.dialogParent);
    return path.isEmpty() ? QStringList() : QStringList(path);
}

void WebPage::javaScriptAlert(const QUrl&, const QString& msg)
{
    JsDialogs::alert(msg);
}

bool WebPage::javaScriptConfirm(const QUrl&, const QString& msg)
{
    return JsDialogs::confirm(msg);
}

bool WebPage::javaScriptPrompt(const QUrl&, const QString& msg, const QString&, QString* result)
{
    if (result)
        result->clear();
    return JsDialogs::prompt(msg);
}

void WebPage::javaScriptConsoleMessage(JavaScriptConsoleMessageLevel, const QString& message, int,
                                       const QString&)
{
    if (message.startsWith(QLatin1String(ResourceFailedTag)))
        emit resourceFailed(QUrl(message.mid(int(qstrlen(ResourceFailedTag)))));
}

} // namespace Tessal
