#include "webenginesurface.h"

#include "downloadhandler.h"
#include "engineversion.h"
#include "gesturelockdown.h"
#include "logging.h"
#include "networkaccessmanager.h"
#include "requestinterceptor.h"
#include "webpage.h"

#include <QChildEvent>
#include <QDebug>
#include <QNetworkCookieJar>
#include <QNetworkReply>
#include <QTimer>
#include <QVBoxLayout>
#include <QWebEngineCookieStore>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineSettings>
#include <QWebEngineView>

#include <csignal>
#include <sys/types.h>

namespace Tessal
{

int engineProcessPrepared();
void appendChromiumFlag(const QByteArray& flag);

const char* const WebSurface::UserAgent = "Tessal TessalView/2.0 WebKit";

namespace
{
// The kiosk's one profile, off the record: web storage (localStorage,
// IndexedDB, the Cache API), cookies and the engine's own state live in the
// browser process's memory for the life of the process. A page that stores
// without bound fills memory, which the service's memory limit bounds, never
// the unit's flash, and nothing a page stored is found by the next run.
QWebEngineProfile* kioskProfile()
{
    static QWebEngineProfile* profile = nullptr;
    static const int prepared = engineProcessPrepared();
    Q_UNUSED(prepared);
    if (profile)
        return profile;
    const bool lockdown = GestureLockdown::enabled();
    if (lockdown) {
        // Read when the engine starts, with the first profile: no pinch
        // zoom, and no history swipe on an overscroll. A page cannot undo
        // either.
        appendChromiumFlag("--disable-pinch");
        appendChromiumFlag("--overscroll-history-navigation=0");
    }
    profile = new QWebEngineProfile();
    // The device's pages are live: every load asks the device, as with
    // QtWebKit, which kept no HTTP cache. A cache, even one in memory, would
    // answer a page (or a redirect) from earlier in the run without the
    // device being asked.
    profile->setHttpCacheType(QWebEngineProfile::NoCache);
    profile->setHttpUserAgent(QString::fromLatin1(WebSurface::UserAgent));
    QWebEngineSettings* settings = profile->settings();
    settings->setAttribute(QWebEngineSettings::AutoLoadIconsForPage, false);
    settings->setAttribute(QWebEngineSettings::TouchIconsEnabled, false);
    settings->setAttribute(QWebEngineSettings::ShowScrollBars, false);
    // A failed page shows the kiosk's own error page, not the engine's.
    settings->setAttribute(QWebEngineSettings::ErrorPageEnabled, false);
    settings->setAttribute(QWebEngineSettings::FocusOnNavigationEnabled, true);
    // The built-in pages show their pictures from the image directory.
    settings->setAttribute(QWebEngineSettings::LocalContentCanAccessFileUrls, true);

    // The engine reports no failed sub-resource (a missing image, style
    // sheet or script): the page tells, through its console, which the
    // kiosk reads.
    QWebEngineScript watcher;
    watcher.setName(QStringLiteral("tessal-resource-watcher"));
    watcher.setInjectionPoint(QWebEngineScript::DocumentCreation);
    watcher.setWorldId(QWebEngineScript::ApplicationWorld);
    watcher.setRunsOnSubFrames(true);
    watcher.setSourceCode(QString("window.addEventListener('error', function(e) {"
                                  "  var t = e.target;"
                                  "  if (!t || t === window) return;"
                                  "  var u = t.src || t.href || '';"
                                  "  if (u) console.info('%1' + u);"
                                  "}, true);")
                              .arg(QString::fromLatin1(WebPage::ResourceFailedTag)));
    profile->scripts()->insert(watcher);

    if (lockdown) {
        QWebEngineScript rules;
        rules.setName(QStringLiteral("tessal-gesture-lockdown"));
        rules.setInjectionPoint(QWebEngineScript::DocumentCreation);
        rules.setWorldId(QWebEngineScript::ApplicationWorld);
        rules.setRunsOnSubFrames(true);
        rules.setSourceCode(GestureLockdown::pageScript());
        profile->scripts()->insert(rules);
    }
    return profile;
}
} // namespace

WebSurface* WebSurface::create(const Services& services, QWidget* parent)
{
    return new WebEngineSurface(services, parent);
}

QString WebSurface::engineName()
{
    return QStringLiteral("webengine");
}

void WebSurface::configureStorage(const QString& directory)
{
    // Off the record, the engine writes nothing of a page: there is nothing
    // to put into the directory.
    Q_UNUSED(directory);
}

WebEngineSurface::WebEngineSurface(const Services& services, QWidget* parent)
    : WebSurface(parent), services(services), view(new QWebEngineView(this)),
      page(EngineVersion::createPage(services, kioskProfile(), view)),
      interceptor(new RequestInterceptor(services.network, this))
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(view);
    view->setPage(page);
    view->setContextMenuPolicy(Qt::NoContextMenu);
    page->setUrlRequestInterceptor(interceptor);
    view->installEventFilter(this);
    if (GestureLockdown::enabled()) {
        lockdown = new GestureLockdown(this);
        lockdown->watch(view);
        lockProxy();
    }

    connect(page, &QWebEnginePage::loadStarted, this, [this] {
        stopping = false;
        becameDownload = false;
        emit loadStarted();
    });
    connect(page, &QWebEnginePage::loadProgress, this, &WebSurface::loadProgress);
    connect(page, &QWebEnginePage::loadFinished, this, &WebEngineSurface::handleLoadFinished);
    connect(page, &WebPage::loadingUrl, this, [this](const QUrl& url) {
        builtInPage = false;
        emit urlChanged(url);
    });
    connect(page, &WebPage::resourceFailed, this, [this](const QUrl& url) {
        if (builtInPage)
            return;
        this->services.network->noteFinished(url, true, QStringLiteral("the resource failed"));
        qCDebug(lcWeb) << "HTTP ERROR";
        emit responseFinished(false);
    });
    connect(page, &QWebEnginePage::renderProcessTerminated, this,
            [this](QWebEnginePage::RenderProcessTerminationStatus status, int exitCode) {
                QString reason;
                switch (status) {
                case QWebEnginePage::NormalTerminationStatus:
                    reason = QStringLiteral("ended");
                    break;
                case QWebEnginePage::AbnormalTerminationStatus:
                    reason = QStringLiteral("failed");
                    break;
                case QWebEnginePage::CrashedTerminationStatus:
                    reason = QStringLiteral("crashed");
                    break;
                case QWebEnginePage::KilledTerminationStatus:
                    reason = QStringLiteral("killed");
                    break;
                }
                emit renderProcessEnded(QString("%1, exit code %2").arg(reason).arg(exitCode));
            });
    connect(page, &WebPage::foreignRedirectRefused, this, [this](const QUrl& url) {
        // The refused navigation ends as a failed load, which is no failure
        // of the device: the page is loaded afresh. Queued: the engine is
        // still deciding on the redirect.
        redirectRefused = true;
        QTimer::singleShot(0, this, [this, url] { load(url); });
    });
    connect(interceptor, &RequestInterceptor::foreignRedirectBlocked, this,
            [this](const QUrl& url, bool mainFrame) {
                if (!mainFrame)
                    return;
                redirectRefused = true;
                // Queued: the engine is still inside the redirect.
                QTimer::singleShot(0, this, [this, url] { load(url); });
            });
    // The engine would write the file itself, leave its partial file behind
    // on a full drive and never finish: the kiosk declines it and fetches
    // the file itself.
    EngineVersion::declineDownloads(page, this, [this](const QUrl& url) { handleDownload(url); });
    // The download is fetched again by the kiosk: it needs the page's
    // cookies (a device's session) for that.
    QWebEngineCookieStore* cookies = page->profile()->cookieStore();
    connect(cookies, &QWebEngineCookieStore::cookieAdded, this, [this](const QNetworkCookie& c) {
        this->services.network->cookieJar()->insertCookie(c);
    });
    connect(cookies, &QWebEngineCookieStore::cookieRemoved, this, [this](const QNetworkCookie& c) {
        this->services.network->cookieJar()->deleteCookie(c);
    });
}

WebEngineSurface::~WebEngineSurface()
{
    // The page goes before the view and its profile's signals stop here.
    disconnect(page->profile(), nullptr, this, nullptr);
    delete view;
}

void WebEngineSurface::handleLoadFinished(bool ok)
{
    emit loadFinished(ok);
    if (stopping) {
        stopping = false;
        return;
    }
    if (builtInPage || page->url().scheme() == QLatin1String("data"))
        return;
    if (redirectRefused) {
        // The refused navigation ends before the fresh load starts: one end
        // is forgiven, never a later one.
        redirectRefused = false;
        if (!ok)
            return;
    }
    const QUrl url = page->getCurrentUrl();
    if (ok) {
        reportLoad(true, url);
        return;
    }
    // A navigation that turns into a download ends as a failed load, and the
    // download may be announced just after: the verdict waits for it.
    QTimer::singleShot(200, this, [this, url] {
        if (becameDownload)
            return;
        reportLoad(false, url);
    });
}

void WebEngineSurface::reportLoad(bool ok, const QUrl& url)
{
    services.network->noteFinished(url, !ok, ok ? QString() : QStringLiteral("the page failed"));
    if (!ok)
        qCDebug(lcWeb) << "HTTP ERROR";
    emit responseFinished(ok);
}

void WebEngineSurface::handleDownload(const QUrl& url)
{
    qCDebug(lcWeb).noquote() << "WebPage::UnsupportedContent";
    becameDownload = true;
    emit loadBecameDownload();
    // The page the link was on stays, and stays the kiosk's current page.
    if (page->getCurrentUrl() == url && page->url() != url)
        page->setCurrentUrl(page->url());
    fetchDownload(url);
}

void WebEngineSurface::fetchDownload(const QUrl& url)
{
    if (!services.network->mayDownload(url))
        return;
    QNetworkRequest request(url);
    request.setRawHeader("User-Agent", UserAgent);
    QNetworkReply* reply = services.network->get(request);
    QPointer<DownloadHandler> handler = services.downloads;
    auto started = std::make_shared<bool>(false);
    auto begin = [reply, handler, started] {
        if (*started)
            return;
        *started = true;
        QObject::disconnect(reply, nullptr, nullptr, nullptr);
        if (handler)
            handler->start(reply);
        else
            reply->deleteLater();
    };
    connect(reply, &QNetworkReply::metaDataChanged, this, begin);
    connect(reply, &QNetworkReply::finished, this, [reply, started, begin] {
        if (*started)
            return;
        if (reply->error() != QNetworkReply::NoError &&
            !reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid()) {
            qCInfo(lcWeb).noquote() << QString("Download of '%1' failed: %2")
                                           .arg(reply->url().toString(), reply->errorString());
            *started = true;
            reply->deleteLater();
            return;
        }
        begin();
    });
}

void WebEngineSurface::load(const QUrl& url)
{
    builtInPage = false;
    page->load(url);
}

void WebEngineSurface::stop()
{
    stopping = true;
    page->triggerAction(QWebEnginePage::Stop);
}

void WebEngineSurface::reload()
{
    builtInPage = false;
    page->triggerAction(QWebEnginePage::Reload);
}

QUrl WebEngineSurface::url() const
{
    if (builtInPage)
        return QUrl();
    return page->url();
}

qreal WebEngineSurface::zoomFactor() const
{
    return page->zoomFactor();
}

QUrl WebEngineSurface::currentUrl() const
{
    return page->getCurrentUrl();
}

void WebEngineSurface::setHtml(const QString& html, const QUrl& baseUrl)
{
    builtInPage = true;
    // The built-in pages name their pictures by file URL, which only a page
    // of the local machine may show.
    page->setHtml(html, baseUrl.isEmpty() ? QUrl(QStringLiteral("file:///")) : baseUrl);
}

void WebEngineSurface::setUserStyleSheet(const QString& dataUrl)
{
    QWebEngineScript style;
    style.setName(QStringLiteral("tessal-user-style"));
    style.setInjectionPoint(QWebEngineScript::DocumentReady);
    style.setWorldId(QWebEngineScript::ApplicationWorld);
    style.setRunsOnSubFrames(true);
    style.setSourceCode(QString("(function(){var l = document.createElement('link');"
                                "l.rel = 'stylesheet'; l.href = '%1';"
                                "(document.head || document.documentElement).appendChild(l);})();")
                            .arg(dataUrl));
    EngineVersion::removeScripts(page->scripts(), style.name());
    page->scripts().insert(style);
}

void WebEngineSurface::runJavaScript(const QString& script,
                                     std::function<void(const QVariant&)> done)
{
    if (done)
        page->runJavaScript(script, [done](const QVariant& v) { done(v); });
    else
        page->runJavaScript(script);
}

void WebEngineSurface::toPlainText(std::function<void(const QString&)> done)
{
    page->toPlainText([done](const QString& text) { done(text); });
}

void WebEngineSurface::toHtml(std::function<void(const QString&)> done)
{
    page->toHtml([done](const QString& text) { done(text); });
}

void WebEngineSurface::setInputFilter(QObject* filter)
{
    inputFilter = filter;
    view->installEventFilter(filter);
    installFilterOnProxy();
}

void WebEngineSurface::installFilterOnProxy()
{
    // The view's mouse and touch go to a child widget the engine creates
    // (and may replace), its focus proxy: the filter goes there.
    QWidget* proxy = view->focusProxy();
    if (!inputFilter || !proxy || proxy == filteredProxy)
        return;
    proxy->installEventFilter(inputFilter);
    proxy->setMouseTracking(true);
    filteredProxy = proxy;
}

void WebEngineSurface::lockProxy()
{
    // The keys and the wheel go to the focus proxy too.
    QWidget* proxy = view->focusProxy();
    if (!lockdown || !proxy || proxy == lockedProxy)
        return;
    lockdown->watch(proxy);
    lockedProxy = proxy;
}

bool WebEngineSurface::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == view && event->type() == QEvent::ChildAdded) {
        QTimer::singleShot(0, this, &WebEngineSurface::installFilterOnProxy);
        QTimer::singleShot(0, this, &WebEngineSurface::lockProxy);
    }
    return WebSurface::eventFilter(watched, event);
}

QWidget* WebEngineSurface::inputWidget() const
{
    QWidget* proxy = view->focusProxy();
    return proxy ? proxy : view;
}

qint64 WebEngineSurface::renderProcessPid() const
{
    return page->renderProcessPid();
}

void WebEngineSurface::killRenderProcess()
{
    const qint64 pid = page->renderProcessPid();
    if (pid > 0)
        ::kill(pid_t(pid), SIGKILL);
}

} // namespace Tessal
