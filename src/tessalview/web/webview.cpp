#include "webview.h"

#include "downloadhandler.h"
#include "logging.h"
#include "networkaccessmanager.h"
#include "pagewatchdog.h"
#include "screensaver.h"
#include "settings.h"
#include "websurface.h"

#include <QDebug>
#include <QFileInfo>
#include <QNetworkReply>
#include <QTimer>
#include <QVBoxLayout>

namespace Tessal
{

namespace
{
const char* const ErrorFallback = "<div style='position:absolute;top:2em;left:2em;'><h1>Can't find "
                                  "the error page</h1><p>Something is wrong... really :(</p></div>";
const char* const InfoFallback = "<div style='position:absolute;top:2em;left:2em;'><h1>Can't find "
                                 "the info page</h1><p>Something is wrong... really :(</p></div>";

// The device and release texts come from the command line; they are shown as
// text, never interpreted as markup.
QString versionText()
{
    return (Settings::getInfoDevice() + " v" + Settings::getInfoRelease()).toHtmlEscaped();
}

bool isRegularFile(const QString& path)
{
    const QFileInfo info(path);
    return info.exists() && info.isFile();
}
} // namespace

WebView::WebView(NetworkAccessManager* network, QWidget* dialogParent, QWidget* parent)
    : QWidget(parent), onDefault(false), language("default"),
      downloadHandler(new DownloadHandler(dialogParent)), currentPage(nullptr), network(network),
      retryTimer(nullptr), pageTimer(nullptr), watchdog(nullptr)
{
    // The probe is held to the device's certificate like the pages.
    if (network)
        network->guardCertificates(&netman);
    WebSurface::Services services;
    services.network = network;
    services.downloads = downloadHandler;
    services.dialogParent = dialogParent;
    currentPage = WebSurface::create(services, this);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(currentPage);
    setMouseTracking(true);
    // The engine's own widget takes the input, so the filter goes there.
    currentPage->setInputFilter(ScreenSaver::instance()->inputFilter());

    connect(currentPage, &WebSurface::loadStarted, this, &WebView::loadStarted);
    connect(currentPage, &WebSurface::loadFinished, this, &WebView::loadFinished);
    connect(currentPage, &WebSurface::loadProgress, this, &WebView::loadProgress);
    connect(currentPage, &WebSurface::urlChanged, this, &WebView::urlChanged);
    connect(currentPage, &WebSurface::responseFinished, this, &WebView::handleLoadFinished);

    // No text of any page can be selected.
    customCss = "data:text/css;charset=utf-8;base64," +
                QString::fromLatin1(QByteArray("body { -webkit-user-select: none; }").toBase64());
    currentPage->setUserStyleSheet(customCss);

    retryTimer = new QTimer(this);
    int retrySeconds = Settings::getNetRetryTimeout();
    if (retrySeconds == 0) {
        // A zero period would probe a dead device in a busy loop.
        qCDebug(lcWeb).noquote() << "RetryTimeout of 0 s, using 15 s";
        retrySeconds = 15;
    }
    retryTimer->setInterval(retrySeconds * 1000);
    retryTimer->setSingleShot(true);
    connect(retryTimer, &QTimer::timeout, this, &WebView::handleRetryTimer);

    // A server that answers a byte now and then would keep a page loading
    // (and the unit on its waiting message) for as long as it likes: a page
    // not finished within the retry period is a failed load.
    pageTimer = new QTimer(this);
    pageTimer->setSingleShot(true);
    pageTimer->setInterval(retryTimer->interval());
    connect(pageTimer, &QTimer::timeout, this, &WebView::handlePageTimeout);
    connect(currentPage, &WebSurface::loadStarted, pageTimer, QOverload<>::of(&QTimer::start));
    connect(currentPage, &WebSurface::loadFinished, pageTimer, &QTimer::stop);
    // A link or frame that turns into a download ends its load without a
    // loadFinished: stopping the page then would pull the download's load
    // from under the engine and show the error page for a page that is fine.
    connect(currentPage, &WebSurface::loadBecameDownload, pageTimer, &QTimer::stop);

    // In verbose mode the end of each page load is logged, built-in pages
    // aside: the time from start to the device's page shown can be read off.
    connect(currentPage, &WebSurface::loadFinished, this, [this](bool ok) {
        const QUrl shown = currentPage->url();
        if (Settings::isLogVerbose() && ok && !shown.isEmpty() && !shown.isLocalFile())
            qCInfo(lcWeb).noquote() << QString("[PAGE] Page '%1' loaded").arg(shown.toString());
    });

    // A page that no longer answers, or whose process died, is replaced by
    // the device's page; the window itself keeps running throughout.
    watchdog = new PageWatchdog(currentPage, this);
    connect(currentPage, &WebSurface::loadStarted, watchdog, &PageWatchdog::restart);
    connect(watchdog, &PageWatchdog::pageEnded, this,
            [this](qint64, qint64 silentMs) { silentPageMs = silentMs; });
    connect(currentPage, &WebSurface::renderProcessEnded, this, &WebView::handleRenderProcessEnded);
}

void WebView::handleRenderProcessEnded(const QString& reason)
{
    const QUrl target = defaultUrl.isEmpty() ? initialUrl : defaultUrl;
    if (silentPageMs >= 0) {
        qCInfo(lcWeb).noquote() << QString("Page not answering for %1 ms: render process ended, "
                                           "back to '%2'")
                                       .arg(silentPageMs)
                                       .arg(target.toString());
    } else {
        qCInfo(lcWeb).noquote()
            << QString("Render process %1: back to '%2'").arg(reason, target.toString());
    }
    silentPageMs = -1;
    watchdog->restart();
    pageTimer->stop();
    // A load started inside the engine's report of the ended process never
    // finishes: it is queued.
    QTimer::singleShot(0, this, [this, target] {
        if (!target.isEmpty())
            loadUrl(target);
    });
}

WebView::~WebView()
{
    // The surface goes first: its page may still hand a reply over. What it
    // reports while it goes (QtWebKit ends the load under way) is no
    // business of this half-destroyed view.
    disconnect(currentPage, nullptr, this, nullptr);
    disconnect(currentPage, nullptr, pageTimer, nullptr);
    disconnect(currentPage, nullptr, watchdog, nullptr);
    delete currentPage;
    currentPage = nullptr;
    downloadHandler->deleteLater();
}

QUrl WebView::currentUrl() const
{
    return currentPage->currentUrl();
}

void WebView::handlePageTimeout()
{
    qCInfo(lcWeb).noquote() << QString("Page '%1' not loaded within %2 s, stopped")
                                   .arg(currentPage->currentUrl().toString())
                                   .arg(pageTimer->interval() / 1000);
    // Stopping cancels the page's requests; cancelled requests are no
    // failure of their own, so the failure is reported here.
    currentPage->stop();
    emit pageTimedOut();
    handleLoadFinished(false);
}

void WebView::setDefaultUrl(const QString& url)
{
    defaultUrl = QUrl(url);
}

void WebView::setLanguage(const QString& lang)
{
    if (lang == language)
        return;
    qCDebug(lcWeb).noquote() << "wv: Set language to" << lang << "(was" << language << ")";
    language = lang;
}

void WebView::loadRequest(const QNetworkRequest& request)
{
    qCDebug(lcWeb) << "WebView::loadRequest";
    initialUrl = request.url();
    currentPage->load(request.url());
}

void WebView::loadUrl(const QUrl& url)
{
    initialUrl = url;
    qCDebug(lcWeb).noquote() << "WebView::loadUrl() " + url.toString();
    currentPage->load(url);
}

void WebView::reloadUrl()
{
    qCDebug(lcWeb).noquote() << "WebView::reloadUrl() " + initialUrl.toString();
    currentPage->load(initialUrl);
}

QUrl WebView::url() const
{
    const QUrl loaded = currentPage->url();
    return loaded.isEmpty() ? initialUrl : loaded;
}

void WebView::downloadRequested(QNetworkRequest) {}

void WebView::handleLoadFinished(bool ok)
{
    if (ok)
        return;
    qCDebug(lcWeb) << "WebView::handleLoadFinished() -> fail";
    onDefault = false;
    // The error page of a failed load always comes from the "default" folder.
    displayError("default");
    // A second failure keeps the first expiry.
    if (!retryTimer->isActive())
        retryTimer->start();
}

void WebView::handleRetryTimer()
{
    qCDebug(lcWeb) << "WebView::handleRetryTimer()";
    tryload(initialUrl);
}

void WebView::tryload(const QUrl&)
{
    if (onDefault) {
        qCDebug(lcWeb) << "onDefault";
        if (!retryTimer->isActive())
            retryTimer->start();
        return;
    }
    connect(&netman, &QNetworkAccessManager::finished, this, &WebView::tryloadFinished,
            Qt::UniqueConnection);
    onDefault = true;
    QNetworkRequest request(defaultUrl);
    // A device that accepts the connection but never answers would hold the
    // probe (and with it the retry cycle) for ever: a probe silent for one
    // retry period ends as failed, and the timer re-arms.
    request.setTransferTimeout(retryTimer->interval());
    // A device that asks for a login must be able to answer the probe too;
    // the probe gets it on the terms of the pages.
    const QByteArray credentials = network ? network->credentialsFor(defaultUrl) : QByteArray();
    if (!credentials.isEmpty())
        request.setRawHeader("Authorization", credentials);
    // A failed page load starts a new cycle while an older probe may still
    // wait for a silent device: that probe is superseded and released, not
    // left open for ever.
    if (QNetworkReply* stale = probeReply) {
        probeReply = nullptr;
        stale->abort();
    }
    probeReply = netman.get(request);
    // Nor may a device that trickles its answer byte by byte hold it: a
    // probe not finished within the retry period is a failed probe.
    QTimer::singleShot(retryTimer->interval(), probeReply.data(), [reply = probeReply.data()] {
        if (!reply->isFinished())
            reply->abort();
    });
}

void WebView::tryloadFinished(QNetworkReply* reply)
{
    if (!reply)
        return;
    reply->deleteLater();
    if (reply != probeReply)
        return; // a superseded probe: released above, it decides nothing
    probeReply = nullptr;
    if (reply->error() != QNetworkReply::NoError) {
        if (!retryTimer->isActive())
            retryTimer->start();
    } else {
        loadUrl(reply->url());
        onDefault = false;
    }
}

QString WebView::HtmlContent(const QString& body, const QString& left, const QString& right)
{
    return "<html><head><style>html, body, div {margin:0; padding:0;}</style></head><body><div "
           "style='width:800px;height:480px'>" +
           body + "<div style='position:absolute;bottom:1em;left:1em;width:266px;'>" + left +
           "</div><div style='position:absolute;bottom:1em;right:2em;width:266px;text-align:"
           "right;'>" +
           right + "</div><div/></body></html>";
}

QString WebView::imageBody(const QString& lang, const QString& name, const QString& fallback)
{
    const QString dir = Settings::getUIErrorImagePath();
    qCDebug(lcWeb).noquote() << dir + "/" + lang;
    QString image;
    if (isRegularFile(dir + "/" + lang + "/" + name))
        image = dir + "/" + lang + "/" + name;
    else if (isRegularFile(dir + "/default/" + name))
        image = dir + "/default/" + name;
    else
        return fallback;
    // The path is percent-encoded: a quote, '#' or blank in the configured
    // directory must neither end the style attribute nor cut the URL.
    return "<div style='position:absolute;background-image:url(\"file://localhost" +
           QString::fromLatin1(QUrl::toPercentEncoding(image, "/")) +
           "\");width:800px;height:480px;'></div>";
}

void WebView::displayError(const QString& lang)
{
    qCDebug(lcWeb).noquote() << "wv: Load error page (" << lang << ")";
    const QString body = imageBody(lang, "error.png", ErrorFallback);
    currentPage->setHtml(HtmlContent(body, "", versionText()), QUrl());
}

void WebView::displayInfoFront(const QString& lang)
{
    qCDebug(lcWeb).noquote() << "ws: Load info page (" << lang << ")";
    const QString body = imageBody(lang, "front.png", InfoFallback);
    currentPage->setHtml(HtmlContent(body, "", versionText()), QUrl());
}

} // namespace Tessal
