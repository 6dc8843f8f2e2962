#include "webpage.h"

#include "downloadhandler.h"
#include "filedialog.h"
#include "helpers.h"
#include "mainwindow.h"
#include "networkaccessmanager.h"

#include <QDebug>
#include <QNetworkReply>
#include <QWebFrame>

namespace Tessal
{

const char* const WebPage::UserAgent = "Tessal TessalView/2.0 WebKit";

WebPage::WebPage(MainWindow* mainWindow, QObject* parent)
    : QWebPage(parent), mainWindow(mainWindow), downloadHandler(new DownloadHandler(mainWindow))
{
    NetworkAccessManager* nam = mainWindow->getNetworkAccessManager();
    setNetworkAccessManager(nam);
    connect(this, &QWebPage::unsupportedContent, this, &WebPage::handleUnsupportedContent);
    // The manager's own bookkeeping was connected first and runs first.
    connect(nam, &QNetworkAccessManager::finished, this, &WebPage::httpResponseFinished);
    mainFrame()->setScrollBarPolicy(Qt::Vertical, Qt::ScrollBarAlwaysOff);
    mainFrame()->setScrollBarPolicy(Qt::Horizontal, Qt::ScrollBarAlwaysOff);
}

WebPage::~WebPage()
{
    downloadHandler->deleteLater();
}

QString WebPage::userAgentForUrl(const QUrl&) const
{
    return QString::fromLatin1(UserAgent);
}

bool WebPage::acceptNavigationRequest(QWebFrame* frame, const QNetworkRequest& request,
                                      NavigationType type)
{
    if (frame == mainFrame()) {
        currentUrl = request.url();
        emit loadingUrl(currentUrl);
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
    qDebug().noquote() << QString("%1 - Page alert: %2").arg(Helpers::now(), msg);
}

bool WebPage::javaScriptConfirm(QWebFrame*, const QString& msg)
{
    qDebug().noquote() << QString("%1 - Page confirm answered false: %2").arg(Helpers::now(), msg);
    return false;
}

bool WebPage::javaScriptPrompt(QWebFrame*, const QString& msg, const QString&, QString* result)
{
    // false is the engine's "cancelled": the script sees null.
    if (result)
        result->clear();
    qDebug().noquote() << QString("%1 - Page prompt answered null: %2").arg(Helpers::now(), msg);
    return false;
}

QString WebPage::chooseFile(QWebFrame*, const QString&)
{
    return FileDialog::chooseUploadFile(mainWindow);
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
        qDebug() << "HTTP ERROR";
        emit responseError(false);
    } else {
        emit responseError(true);
    }
    reply->deleteLater();
}

void WebPage::handleUnsupportedContent(QNetworkReply* reply)
{
    qDebug() << "WebPage::UnsupportedContent";
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
        downloadHandler->start(reply);
        return;
    }
    if (reply->url() == currentUrl)
        mainFrame()->setHtml("<html><body>An error occurred while loading page.</body></html>",
                             reply->url());
    reply->deleteLater();
}

} // namespace Tessal
