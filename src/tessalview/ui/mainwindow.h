#ifndef TESSAL_MAINWINDOW_H
#define TESSAL_MAINWINDOW_H

#include "frontlinktarget.h"
#include "webbrowser.h"

#include <QFileSystemWatcher>
#include <QMainWindow>
#include <QString>

class QKeyEvent;
class QLabel;
class QTimer;

namespace Ui
{
class MainWindow;
}

namespace Tessal
{

class KeyboardPanel;
class NetworkAccessManager;
class WebView;

// The kiosk's one frameless full-screen window: a message label and the web
// view. It owns the network access manager, watches the front connector and
// receives the front link's calls.
class MainWindow : public QMainWindow, public WebBrowser, public FrontLinkTarget
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // Front link entry points.
    void setDefaultUrl(const QString& url) override;
    void openUrlForce(const QString& url, bool force) override;
    void setLanguage(const QString& lang) override;
    QString getLanguage() override;
    void displayError(const QString& lang) override;

    // Browser interface.
    void openUrl(const QString& url) override;
    void reloadUrl() override;

    NetworkAccessManager* getNetworkAccessManager() const { return networkAccessManager; }
    WebView* getWebView() const { return webview; }
    // The on-screen keyboard; null when it is off.
    KeyboardPanel* getKeyboard() const { return keyboard; }
    QLabel* getLabel() const;
    QString getDownloadUrl() const { return downloadUrl; }
    QString getLastUrl() const { return lastUrl; }
    QString getDefaultUrl() const { return defaultUrl; }

    // The operational-state file of the front connector's interface.
    static QString frontInterfacePath();
    // True when that file is a readable regular file with a line saying "up".
    static bool frontInterfaceUp();
    // True when the page shown (or loading) belongs to a host other than the
    // device's.
    bool showsForeignHost() const;

public slots:
    void startDownload();
    void webViewLoadStarted();
    void webViewLoadFinished();
    void webViewloadProgress(int progress);
    void firstRequestStatus(bool error);
    void watchFrontInterface();
    // The screen went dark (true) or lit up: a page of another host is left
    // for the device's start page when the screen goes dark.
    void screenActivated(bool dark);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private slots:
    // The keyboard came up or went down in `window`: the page gives up the
    // panel's height, and the field being edited is scrolled into sight.
    void keyboardActiveChanged(QWidget* window, bool active);

private:
    Ui::MainWindow* ui;
    QString downloadUrl;
    QFileSystemWatcher fwatcher;
    QString lastUrl;
    QString defaultUrl;
    NetworkAccessManager* networkAccessManager;
    WebView* webview;
    KeyboardPanel* keyboard = nullptr;
    QTimer* frontTimer;
    QString language;
    // Last observed state of the front connector.
    bool loadInfoprev = false;
};

} // namespace Tessal

#endif
