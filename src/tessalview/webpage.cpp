#include "webpage.h"

#ifdef TESSAL_HAVE_USB
#include "downloadhandler.h"
#include "filedialog.h"
#endif
#include "mainwindow.h"
#include "networkaccessmanager.h"

#include <QDebug>
#include <QNetworkReply>
#include <QWebFrame>

namespace Tessal
{

const char* const WebPage::UserAgent = "Tessal TessalView/2.0 WebKit";

WebPage::WebPage(MainWindow* mainWindow, QObject* parent)
    : QWebPage(parent), mainWindow(mainWindow), downloadHandler(nullptr)
{
#ifdef TESSAL_HAVE_USB
    downloadHandler = new DownloadHandler(mainWindow);
#endif
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
#ifdef TESSAL_HAVE_USB
    downloadHandler->deleteLater();
#endif
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

QString WebPage::chooseFile(QWebFrame*, const QString&)
{
#ifdef TESSAL_HAVE_USB
    return FileDialog::chooseUploadFile(mainWindow);
#else
    return QString();
#endif
}

void WebPage::httpResponseFinished(QNetworkReply* reply)
{
    if (!reply)
        return;
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
#ifdef TESSAL_HAVE_USB
        // The handler owns the reply from here and releases it when done.
        downloadHandler->start(reply);
#else
        qDebug().noquote() << "Downloads are not available, dropping " + reply->url().toString();
        reply->abort();
        reply->deleteLater();
#endif
        return;
    }
    if (reply->url() == currentUrl)
        mainFrame()->setHtml("<html><body>An error occurred while loading page.</body></html>",
                             reply->url());
    reply->deleteLater();
}

} // namespace Tessal
