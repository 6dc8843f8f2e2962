#ifndef TESSAL_WEBENGINESURFACE_H
#define TESSAL_WEBENGINESURFACE_H

#include "websurface.h"

#include <QPointer>

class QWebEngineView;

namespace Tessal
{

class GestureLockdown;
class RequestInterceptor;
class WebPage;

// The kiosk's surface on QtWebEngine: one QWebEngineView whose page runs in
// a render process of its own.
class WebEngineSurface : public WebSurface
{
    Q_OBJECT
public:
    explicit WebEngineSurface(const Services& services, QWidget* parent = nullptr);
    ~WebEngineSurface() override;

    void load(const QUrl& url) override;
    void stop() override;
    void reload() override;
    QUrl url() const override;
    QUrl currentUrl() const override;
    qreal zoomFactor() const override;
    void setHtml(const QString& html, const QUrl& baseUrl) override;
    void setUserStyleSheet(const QString& dataUrl) override;
    void runJavaScript(const QString& script,
                       std::function<void(const QVariant&)> done = {}) override;
    void toPlainText(std::function<void(const QString&)> done) override;
    void toHtml(std::function<void(const QString&)> done) override;
    void setInputFilter(QObject* filter) override;
    QWidget* inputWidget() const override;
    qint64 renderProcessPid() const override;
    void killRenderProcess() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void handleLoadFinished(bool ok);
    void reportLoad(bool ok, const QUrl& url);
    void handleDownload(const QUrl& url);
    void fetchDownload(const QUrl& url);
    void installFilterOnProxy();
    void lockProxy();

    Services services;
    QWebEngineView* view;
    WebPage* page;
    RequestInterceptor* interceptor;
    QPointer<QObject> inputFilter;
    QPointer<QWidget> filteredProxy;
    // Null when the lockdown is off.
    GestureLockdown* lockdown = nullptr;
    QPointer<QWidget> lockedProxy;
    // The load under way was stopped by the kiosk: its end is no failure.
    bool stopping = false;
    // The load under way shows a built-in page, not the device's.
    bool builtInPage = false;
    // The load under way turned into a download.
    bool becameDownload = false;
    // The load under way was a redirect to another origin, refused and
    // loaded afresh: its failed end is no failure.
    bool redirectRefused = false;
};

} // namespace Tessal

#endif
