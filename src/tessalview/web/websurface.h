#ifndef TESSAL_WEBSURFACE_H
#define TESSAL_WEBSURFACE_H

#include <QString>
#include <QUrl>
#include <QVariant>
#include <QWidget>

#include <functional>

namespace Tessal
{

class DownloadHandler;
class NetworkAccessManager;

// The one place where the kiosk meets its web engine. The window, the error
// page and its retry, the screen saver and the USB handling only ever talk to
// this surface; each engine (QtWebKit, QtWebEngine) provides one
// implementation in its own library, chosen when the tree is configured.
class WebSurface : public QWidget
{
    Q_OBJECT
public:
    // What the surface needs from the rest of the kiosk: the network access
    // manager (the device's login, the request log, the first-request
    // report), the download handler that saves to the USB drive, and the
    // parent of the upload dialog.
    struct Services {
        NetworkAccessManager* network = nullptr;
        DownloadHandler* downloads = nullptr;
        QWidget* dialogParent = nullptr;
    };

    // Made by the chosen engine's library.
    static WebSurface* create(const Services& services, QWidget* parent = nullptr);
    // "webkit" or "webengine".
    static QString engineName();
    // Once, before the first surface: what a page stores lives in memory for
    // the run and nothing of it reaches the disk. `directory` (the setting
    // kept for compatibility) is not written.
    static void configureStorage(const QString& directory);
    // The user agent every request of a page carries.
    static const char* const UserAgent;

    explicit WebSurface(QWidget* parent = nullptr) : QWidget(parent) {}
    ~WebSurface() override = default;

    virtual void load(const QUrl& url) = 0;
    virtual void stop() = 0;
    virtual void reload() = 0;
    // The address of the page shown, empty before the first load.
    virtual QUrl url() const = 0;
    // The address of the last main-frame navigation, followed through a
    // load that became a download (the page it came from stays).
    virtual QUrl currentUrl() const = 0;
    // The page's zoom, 1 as the kiosk sets it.
    virtual qreal zoomFactor() const = 0;
    // A built-in page; `baseUrl` empty for a page without an address.
    virtual void setHtml(const QString& html, const QUrl& baseUrl) = 0;
    // A style sheet applied to every page, as a data URL.
    virtual void setUserStyleSheet(const QString& dataUrl) = 0;
    // Runs `script` in the page; `done` gets its result in the GUI thread,
    // at once or later, or never when the page does not answer.
    virtual void runJavaScript(const QString& script,
                               std::function<void(const QVariant&)> done = {}) = 0;
    // The page's text and markup, delivered like runJavaScript's result.
    virtual void toPlainText(std::function<void(const QString&)> done) = 0;
    virtual void toHtml(std::function<void(const QString&)> done) = 0;

    // The filter that sees every mouse and touch event before the page does
    // (the screen saver's): installed on whichever widget takes the input,
    // now and after the engine replaces it.
    virtual void setInputFilter(QObject* filter) = 0;
    // The widget that receives the page's input (for a synthetic tap).
    virtual QWidget* inputWidget() const = 0;

    // Liveness of the page's script engine: the process running it, 0 when
    // it runs in this process (no separate process to end).
    virtual qint64 renderProcessPid() const = 0;
    // Ends the page's render process (no effect where there is none).
    virtual void killRenderProcess() = 0;

signals:
    void loadStarted();
    void loadFinished(bool ok);
    void loadProgress(int percent);
    // A main-frame navigation to `url` was accepted.
    void urlChanged(const QUrl& url);
    // The load under way became a download; the engine reports no end for
    // it, the download handler takes it from here.
    void loadBecameDownload();
    // One request of the page (document or resource) finished; `ok` false
    // when it failed. Cancelled requests are not reported.
    void responseFinished(bool ok);
    // The render process ended (crashed or killed); `reason` for the log.
    void renderProcessEnded(const QString& reason);
};

} // namespace Tessal

#endif
