#include "webpage.h"

#include "downloadhandler.h"
#include "filedialog.h"
#include "jsdialogs.h"
#include "logging.h"
#include "networkaccessmanager.h"

#include <QDebug>
#include <QNetworkReply>
#include <QWebFrame>

namespace Tessal
{

const char* const WebPage::NavigationProperty = "tessalNavigation";

WebPage::WebPage(const WebSurface::Services& services, QObject* parent)
    : QWebPage(parent), services(services)
{
    NetworkAccessManager* nam = services.network;
    setNetworkAccessManager(nam);
    connect(this, &QWebPage::unsupportedContent, this, &WebPage::handleUnsupportedContent);
    // The manager's own bookkeeping was connected first and runs first.
    connect(nam, &QNetworkAccessManager::finished, this, &WebPage::httpResponseFinished);
    // The engine names the frame that asks for each request: the login goes
    // only to what a frame of the device's origin asks for, or to the frame
    // navigation itself.
    nam->setStartedByDevice([nam](const QNetworkRequest& request) {
        auto* frame = qobject_cast<QWebFrame*>(request.originatingObject());
        if (!frame)
            return true; // the kiosk's own request
        if (frame->property(NavigationProperty).toUrl() == request.url()) {
            // A frame's own navigation: the top level is the kiosk's (the
            // engine does not say whether a page started it); a frame
            // inside a page is its parent page's.
            QWebFrame* parent = frame->parentFrame();
            return !parent || nam->isDeviceUrl(parent->url());
        }
        // A frame still loading its own document has no address yet: the
        // address it asked for is its document's.
        const QUrl document = frame->url().isEmpty() ? frame->requestedUrl() : frame->url();
        return nam->isDeviceUrl(document);
    });
    mainFrame()->setScrollBarPolicy(Qt::Vertical, Qt::ScrollBarAlwaysOff);
    mainFrame()->setScrollBarPolicy(Qt::Horizontal, Qt::ScrollBarAlwaysOff);
}

QString WebPage::userAgentForUrl(const QUrl&) const
{
    return QString::fromLatin1(WebSurface::UserAgent);
}

bool WebPage::acceptNavigationRequest(QWebFrame* frame, const QNetworkRequest& request,
                                      NavigationType type)
{
    if (frame == mainFrame()) {
        currentUrl = request.url();
        emit loadingUrl(currentUrl);
    }
    if (frame)
        frame->setProperty(NavigationProperty, request.url());
    return QWebPage::acceptNavigationRequest(frame, request, type);
}

bool WebPage::extension(Extension extension, const ExtensionOption* option, ExtensionReturn* output)
{
    if (extension == ErrorPageExtension && option) {
        const auto* error = static_cast<const ErrorPageExtensionOption*>(option);
        if (error->domain == QWebPage::WebKit && error->error == FrameLoadInterruptedByPolicyChange)
            return false;
    }
    return QWebPage::extension(extension, option, output);
}

void WebPage::javaScriptAlert(QWebFrame*, const QString& msg)
{
    JsDialogs::alert(msg);
}

bool WebPage::javaScriptConfirm(QWebFrame*, const QString& msg)
{
    return JsDialogs::confirm(msg);
}

bool WebPage::javaScriptPrompt(QWebFrame*, const QString& msg, const QString&, QString* result)
{
    // false is the engine's "cancelled": the script sees null.
    if (result)
        result->clear();
    return JsDialogs::prompt(msg);
}

QString WebPage::chooseFile(QWebFrame*, const QString&)
{
    return FileDialog::chooseUploadFile(services.dialogParent);
}

void WebPage::httpResponseFinished(QNetworkReply* reply)
{
    if (!reply)
        return;
    if (reply->error() == QNetworkReply::OperationCanceledError) {
        // The engine cancels what it no longer needs (the resources of a page
        // that is being left): the device did not fail.
        reply->deleteLater();
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        qCDebug(lcWeb) << "HTTP ERROR";
        emit responseError(false);
    } else {
        emit responseError(true);
    }
    reply->deleteLater();
}

void WebPage::handleUnsupportedContent(QNetworkReply* reply)
{
    qCDebug(lcWeb) << "WebPage::UnsupportedContent";
    if (!reply)
        return;
    if (reply->error() == QNetworkReply::NoError) {
        // A link in the page that became a download leaves the page shown:
        // it is still the page the kiosk is on.
        if (reply->url() == currentUrl && currentUrl != mainFrame()->url()) {
            currentUrl = mainFrame()->url();
            emit loadingUrl(currentUrl);
        }
        // Said before the file dialog opens: the page is not stalled while
        // the user is asked.
        emit loadBecameDownload();
        // The handler owns the reply from here and releases it when done.
        services.downloads->start(reply);
        return;
    }
    if (reply->url() == currentUrl)
        mainFrame()->setHtml("<html><body>An error occurred while loading page.</body></html>",
                             reply->url());
    reply->deleteLater();
}

} // namespace Tessal
