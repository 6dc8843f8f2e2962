#ifndef TESSAL_WEBVIEW_H
#define TESSAL_WEBVIEW_H

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <QWidget>

class QNetworkReply;

namespace Tessal
{

class DownloadHandler;
class NetworkAccessManager;
class PageWatchdog;
class WebSurface;

// The kiosk's browser surface: shows the device's pages, replaces them by the
// built-in error page when a request fails, and probes the device's start
// page on a retry timer until it answers again.
class WebView : public QWidget
{
    Q_OBJECT
public:
    // Pages go through `network`; download and upload dialogs open over
    // `dialogParent` (the window). Neither is owned.
    WebView(NetworkAccessManager* network, QWidget* dialogParent, QWidget* parent = nullptr);
    ~WebView() override;

    void setDefaultUrl(const QString& url);
    void setLanguage(const QString& lang);
    void loadRequest(const QNetworkRequest& request);
    void loadUrl(const QUrl& url);
    void reloadUrl();
    QUrl url() const;

    void displayError(const QString& lang);
    void displayInfoFront(const QString& lang);
    static QString HtmlContent(const QString& body, const QString& left, const QString& right);

    // The body of a built-in page: the image `name` from the language folder
    // under the image directory, else from "default", else `fallback`.
    static QString imageBody(const QString& lang, const QString& name, const QString& fallback);

    // State of the retry machine, for the window and for diagnostics.
    bool isProbing() const { return onDefault; }
    bool isRetryPending() const { return retryTimer->isActive(); }
    int retryRemainingMs() const { return retryTimer->remainingTime(); }
    int retryIntervalMs() const { return retryTimer->interval(); }
    QUrl getDefaultUrl() const { return defaultUrl; }
    QUrl getInitialUrl() const { return initialUrl; }
    QString getLanguage() const { return language; }
    QString getCustomCss() const { return customCss; }
    // The engine's surface: every page operation goes through it.
    WebSurface* surface() const { return currentPage; }
    // The address of the last main-frame navigation.
    QUrl currentUrl() const;
    // A page still loading after this long (the retry period) is a failed
    // load.
    int pageTimeoutMs() const { return pageTimer->interval(); }
    bool isPageTimerRunning() const { return pageTimer->isActive(); }

signals:
    // The page did not finish loading in time and was stopped.
    void pageTimedOut();
    void loadStarted();
    void loadFinished(bool ok);
    void loadProgress(int progress);
    void urlChanged(const QUrl& url);

public slots:
    void downloadRequested(QNetworkRequest request);
    void handleLoadFinished(bool ok);
    void handleRetryTimer();
    void tryloadFinished(QNetworkReply* reply);
    void handlePageTimeout();
    // The page's render process ended (crashed, killed, or ended for not
    // answering): back to the device's page, with a queued load.
    void handleRenderProcessEnded(const QString& reason);

private:
    void tryload(const QUrl& url);

    QString customCss;
    QUrl initialUrl;
    QUrl defaultUrl;
    bool onDefault;
    QString language;
    DownloadHandler* downloadHandler;
    WebSurface* currentPage;
    NetworkAccessManager* network;
    QNetworkAccessManager netman;
    // The probe in flight, if any: only its answer decides the retry cycle.
    QPointer<QNetworkReply> probeReply;
    QTimer* retryTimer;
    // Runs from the start of a page load to its end.
    QTimer* pageTimer;
    PageWatchdog* watchdog;
    // Set when the watchdog ended a silent page: how long it was silent.
    qint64 silentPageMs = -1;
};

} // namespace Tessal

#endif
