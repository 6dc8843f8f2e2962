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
const char* const WebPage::InitiatorProperty = "tessalInitiator";

WebPage::~WebPage()
{
    services.network->setStartedByDevice(nullptr);
}

WebPage::WebPage(const WebSurface::Services& services, QObject* parent)
    : QWebPage(parent), services(services)
{
    NetworkAccessManager* nam = services.network;
    setNetworkAccessManager(nam);
    connect(this, &QWebPage::unsupportedContent, this, &WebPage::handleUnsupportedContent);
    // The manager's own bookkeeping was connected first and runs first.
    connect(nam, &QNetworkAccessManager::finished, this, &WebPage::httpResponseFinished);
    // The engine names the frame that asks for each request: the login goes
    // only to what a frame of the device's origin asks for, and to a frame's
    // navigation that the kiosk or a page of the device's origin started.
    nam->setStartedByDevice([this, nam](const QNetworkRequest& request) {
        auto* frame = qobject_cast<QWebFrame*>(request.originatingObject());
        if (!frame)
            return true; // the kiosk's own request
        if (frame->property(NavigationProperty).toUrl() == request.url()) {
            const QUrl initiator = frame->property(InitiatorProperty).toUrl();
            if (initiator.isEmpty())
                return frame == mainFrame(); // the kiosk's own load
            return nam->isDeviceUrl(initiator);
        }
        // A frame still loading its own document has no address yet: the
        // address it asked for is its document's.
        const QUrl document = frame->url().isEmpty() ? frame->requestedUrl() : frame->url();
        return nam->isDeviceUrl(document);
    });
    // A load of the kiosk's (redirects included) lasts until the new page
    // replaces the old one.
    connect(mainFrame(), &QWebFrame::urlChanged, this, [this] { kioskLoad = false; });
    mainFrame()->setScrollBarPolicy(Qt::Vertical, Qt::ScrollBarAlwaysOff);
    mainFrame()->setScrollBarPolicy(Qt::Horizontal, Qt::ScrollBarAlwaysOff);
}

void WebPage::triggerAction(WebAction action, bool checked)
{
    if (historyActionsBlocked && (action == Back || action == Forward))
        return;
    QWebPage::triggerAction(action, checked);
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
    if (frame) {
        // Who starts the navigation: the kiosk (no initiator), else the page
        // the frame shows, which for a redirect is still the page that
        // started it. A frame inside a page is started by that page.
        QUrl initiator;
        if (frame != mainFrame()) {
            QWebFrame* parent = frame->parentFrame();
            if (parent)
                initiator = parent->url().isEmpty() ? parent->requestedUrl() : parent->url();
            if (initiator.isEmpty())
                initiator = QUrl(QStringLiteral("about:blank"));
        } else if (!kioskLoad) {
            initiator = frame->url();
        }
        frame->setProperty(NavigationProperty, request.url());
        frame->setProperty(InitiatorProperty, initiator);
    }
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
        if (!services.network->mayDownload(reply->url())) {
            reply->abort();
            reply->deleteLater();
            return;
        }
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
