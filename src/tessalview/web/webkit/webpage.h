#ifndef TESSAL_WEBKIT_WEBPAGE_H
#define TESSAL_WEBKIT_WEBPAGE_H

#include "websurface.h"

#include <QUrl>
#include <QWebPage>

class QNetworkReply;

namespace Tessal
{

// The QtWebKit page of the kiosk: every request goes through the kiosk's
// NetworkAccessManager, every finished request is reported as success or
// failure, and content the engine cannot show becomes a download.
class WebPage : public QWebPage
{
    Q_OBJECT
public:
    WebPage(const WebSurface::Services& services, QObject* parent = nullptr);
    // The manager outlives the page: it forgets the page's judgement.
    ~WebPage() override;

    QUrl getCurrentUrl() const { return currentUrl; }
    // The kiosk loads a page itself: its navigation (and the redirects on
    // the way) gets the device's login, whatever page is shown now.
    void startKioskLoad() { kioskLoad = true; }
    // The engine's back and forward actions, which its keys (backspace
    // outside a field among them) trigger, do nothing. A page's own history
    // calls still work.
    void blockHistoryActions() { historyActionsBlocked = true; }
    void triggerAction(WebAction action, bool checked = false) override;

signals:
    void loadingUrl(QUrl url);
    void responseError(bool noerr);
    void loadBecameDownload();

public slots:
    void handleUnsupportedContent(QNetworkReply* reply);
    void httpResponseFinished(QNetworkReply* reply);

protected:
    bool acceptNavigationRequest(QWebFrame* frame, const QNetworkRequest& request,
                                 NavigationType type) override;
    QString chooseFile(QWebFrame* frame, const QString& suggestedFile) override;
    QString userAgentForUrl(const QUrl& url) const override;
    // A link that became a download ends its page load with "interrupted by
    // policy change": the page the link was on stays, not the engine's
    // error page for it.
    bool extension(Extension extension, const ExtensionOption* option = nullptr,
                   ExtensionReturn* output = nullptr) override;
    // A kiosk has nobody to answer a dialog, and a modal box would hold the
    // page (and every reload behind it) until someone taps it: the page's
    // dialogs are logged and answered at once, nothing is shown.
    void javaScriptAlert(QWebFrame* frame, const QString& msg) override;
    bool javaScriptConfirm(QWebFrame* frame, const QString& msg) override;
    bool javaScriptPrompt(QWebFrame* frame, const QString& msg, const QString& defaultValue,
                          QString* result) override;

private:
    // The address a frame is navigating to, and who started that (empty
    // for the kiosk), kept on the frame.
    static const char* const NavigationProperty;
    static const char* const InitiatorProperty;

    // The engine's code for a load that turned into something else, a
    // download (WebKitErrorFrameLoadInterruptedByPolicyChange).
    static constexpr int FrameLoadInterruptedByPolicyChange = 102;

    WebSurface::Services services;
    QUrl currentUrl;
    bool kioskLoad = false;
    bool historyActionsBlocked = false;
};

} // namespace Tessal

#endif
