#ifndef TESSAL_WEBKITSURFACE_H
#define TESSAL_WEBKITSURFACE_H

#include "websurface.h"

class QWebView;

namespace Tessal
{

class WebPage;

// The kiosk's surface on QtWebKit: one QWebView, its page running in the GUI
// thread.
class WebKitSurface : public WebSurface
{
    Q_OBJECT
public:
    explicit WebKitSurface(const Services& services, QWidget* parent = nullptr);
    ~WebKitSurface() override;

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
    qint64 renderProcessPid() const override { return 0; }
    void killRenderProcess() override {}

private:
    void applyStyleSheets();

    QWebView* view;
    WebPage* page;
    // The style sheet the kiosk gave, as a data URL.
    QString pageStyleSheet;
    bool lockdown = false;
};

} // namespace Tessal

#endif
