#ifndef TESSAL_WEBENGINE_WEBPAGE_H
#define TESSAL_WEBENGINE_WEBPAGE_H

#include "websurface.h"

#include <QUrl>
#include <QWebEnginePage>

class QWebEngineCertificateError;

namespace Tessal
{

// The QtWebEngine page of the kiosk: follows the main frame's navigation,
// answers the page's dialogs and file fields the kiosk's way, never answers
// a login challenge, and reports failed sub-resources, which the engine
// itself does not signal.
class WebPage : public QWebEnginePage
{
    Q_OBJECT
public:
    WebPage(const WebSurface::Services& services, QWebEngineProfile* profile,
            QObject* parent = nullptr);

    QUrl getCurrentUrl() const { return currentUrl; }
    void setCurrentUrl(const QUrl& url) { currentUrl = url; }

    // Whether the load goes on despite the certificate error: only for the
    // device's own certificate, with the pinned fingerprint.
    bool acceptCertificate(const QWebEngineCertificateError& error);

    // What the page's watcher script prints when a resource failed.
    static const char* const ResourceFailedTag;

signals:
    void loadingUrl(const QUrl& url);
    void resourceFailed(const QUrl& url);
    // A main-frame redirect from the device to another host was refused
    // before it was followed; the page is to be loaded afresh.
    void foreignRedirectRefused(const QUrl& url);

protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override;
    QStringList chooseFiles(FileSelectionMode mode, const QStringList& oldFiles,
                            const QStringList& acceptedMimeTypes) override;
    void javaScriptAlert(const QUrl& securityOrigin, const QString& msg) override;
    bool javaScriptConfirm(const QUrl& securityOrigin, const QString& msg) override;
    bool javaScriptPrompt(const QUrl& securityOrigin, const QString& msg,
                          const QString& defaultValue, QString* result) override;
    void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel level, const QString& message,
                                  int lineNumber, const QString& sourceID) override;

private:
    WebSurface::Services services;
    QUrl currentUrl;
};

} // namespace Tessal

#endif
