#include "mainwindow.h"

#include "logging.h"
#include "ui_mainwindow.h"

#include "keyboardpanel.h"
#include "networkaccessmanager.h"
#include "screensaver.h"
#include "settings.h"
#include "systempath.h"
#include "websurface.h"
#include "webview.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QNetworkRequest>
#include <QTextStream>
#include <QTimer>

namespace Tessal
{

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent), ui(new Ui::MainWindow), networkAccessManager(nullptr), webview(nullptr),
      frontTimer(nullptr)
{
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);

    networkAccessManager = new NetworkAccessManager();
    connect(networkAccessManager, &NetworkAccessManager::firstRequestStatus, this,
            &MainWindow::firstRequestStatus);

    WebSurface::configureStorage(Settings::getWebCachePath());

    webview = new WebView(networkAccessManager, this);
    frontTimer = new QTimer(this);
    language = "default";

    connect(webview, &WebView::loadStarted, this, &MainWindow::webViewLoadStarted);
    connect(webview, &WebView::loadFinished, this, &MainWindow::webViewLoadFinished);
    connect(webview, &WebView::loadProgress, this, &MainWindow::webViewloadProgress);
    connect(frontTimer, &QTimer::timeout, this, &MainWindow::watchFrontInterface);
    // The page ignores input while the screen is dark.
    connect(ScreenSaver::instance(), &ScreenSaver::activated, webview, &QWidget::setDisabled);
    connect(ScreenSaver::instance(), &ScreenSaver::activated, this, &MainWindow::screenActivated);
    // A page stopped for taking too long ends the waiting message like a
    // failed first request: the error page takes over.
    connect(webview, &WebView::pageTimedOut, this, [this] { firstRequestStatus(true); });

    setMouseTracking(true);
    ScreenSaver::instance()->activate(true);
    ScreenSaver::instance()->handleMouseMove(this);

    ui->verticalLayout->addWidget(webview);
    webview->hide();

    ui->lblProgress->setText(Settings::getUIMsgWaitingForNetworkConfiguration());
    ui->lblProgress->show();

    frontTimer->setInterval(2000);
    frontTimer->start();

    keyboard = KeyboardPanel::create(this);
    if (keyboard) {
        keyboard->setLanguage(language);
        connect(keyboard, &KeyboardPanel::activeChanged, this, &MainWindow::keyboardActiveChanged);
        // The panel is down, but the page's field keeps its focus, and
        // QtWebEngine 6 brings the panel straight back up for a focused
        // field. Done typing: the field gives up its focus; a touch on a
        // field takes it again.
        connect(keyboard, &KeyboardPanel::typingDone, this, [this](QWidget* window) {
            if (window == this)
                webview->surface()->runJavaScript(
                    "if (document.activeElement) document.activeElement.blur();", nullptr);
        });
    }
}

void MainWindow::keyboardActiveChanged(QWidget* window, bool active)
{
    if (window != this)
        return;
    const int taken = active ? keyboard->takenHeight() : 0;
    ui->verticalLayout->setContentsMargins(0, 0, 0, taken);
    if (!active)
        return;
    // The page learns its smaller viewport a moment later (QtWebEngine
    // resizes it in the render process): scroll now and again on the
    // page's resize.
    webview->surface()->runJavaScript(
        QStringLiteral("(function() {"
                       "  function reveal() {"
                       "    var e = document.activeElement;"
                       "    if (!e || e === document.body) return;"
                       "    if (e.scrollIntoViewIfNeeded) e.scrollIntoViewIfNeeded(true);"
                       "    else e.scrollIntoView({block: 'center'});"
                       "  }"
                       "  reveal();"
                       "  window.addEventListener('resize', function once() {"
                       "    window.removeEventListener('resize', once); reveal(); });"
                       "})();"));
}

MainWindow::~MainWindow()
{
    delete webview;
    webview = nullptr;
    delete networkAccessManager;
    delete ui;
}

QLabel* MainWindow::getLabel() const
{
    return ui->lblProgress;
}

void MainWindow::setDefaultUrl(const QString& url)
{
    defaultUrl = url;
    networkAccessManager->setDeviceUrl(QUrl(url));
    webview->setDefaultUrl(url);
}

void MainWindow::openUrlForce(const QString& url, bool force)
{
    qCDebug(lcUi).noquote() << "MainWindow::openUrlForce " + url;
    QString u = url;
    if (u.isEmpty() && lastUrl.isEmpty())
        displayError(language);
    if (u.isEmpty() && !lastUrl.isEmpty())
        u = lastUrl;

    if ((u != downloadUrl || force) && !u.isEmpty() && u != "0.0.0.0") {
        downloadUrl = u;
        ScreenSaver::instance()->setStopBuzzerServer(downloadUrl);
        webview->surface()->load(QUrl(u));
        lastUrl = u;
    } else {
        qCDebug(lcUi).noquote() << "Can't open url (" << force << ", " << downloadUrl << ")";
    }
}

void MainWindow::setLanguage(const QString& lang)
{
    if (lang == language)
        return;
    qCDebug(lcUi).noquote() << "Set language to" << lang << "(was" << language << ")";
    language = lang;
    networkAccessManager->setLanguage(lang);
    webview->setLanguage(lang);
    if (keyboard)
        keyboard->setLanguage(lang);
}

QString MainWindow::getLanguage()
{
    return language;
}

void MainWindow::displayError(const QString&)
{
    webview->displayError(language);
}

void MainWindow::openUrl(const QString& url)
{
    qCDebug(lcUi).noquote() << "MainWindow::openUrl " + url;
    if (url != downloadUrl && !url.isEmpty() && url != "0.0.0.0") {
        downloadUrl = url;
        ScreenSaver::instance()->setStopBuzzerServer(downloadUrl);
        QTimer::singleShot(0, this, &MainWindow::startDownload);
    } else {
        qCDebug(lcUi).noquote() << "Can't open url (" + downloadUrl + ")";
    }
}

void MainWindow::reloadUrl()
{
    if (!downloadUrl.isEmpty())
        QTimer::singleShot(0, this, &MainWindow::startDownload);
}

void MainWindow::startDownload()
{
    qCDebug(lcUi).noquote() << QString("Downloading %1").arg(downloadUrl);
    networkAccessManager->reset();
    ui->lblProgress->setText(Settings::getUIMsgConnecting());
    ui->lblProgress->show();
    webview->hide();
    webview->loadRequest(QNetworkRequest(QUrl(downloadUrl)));
}

void MainWindow::webViewLoadStarted() {}

void MainWindow::webViewLoadFinished()
{
    // The keyboard is made once the first page is up, while the user looks
    // at it: neither the start nor a unit without a keyboard waits for it.
    if (keyboard)
        QTimer::singleShot(0, keyboard, &KeyboardPanel::load);
}

void MainWindow::webViewloadProgress(int) {}

void MainWindow::firstRequestStatus(bool)
{
    // A failed load is covered by the view's error page.
    webview->show();
    ui->lblProgress->hide();
}

QString MainWindow::frontInterfacePath()
{
    return SystemPath::systemPath("/sys/class/net/" + Settings::getNetFrontIntf() + "/operstate");
}

bool MainWindow::frontInterfaceUp()
{
    const QFileInfo info(frontInterfacePath());
    if (!info.exists() || !info.isFile())
        return false;
    QFile file(info.filePath());
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QTextStream in(&file);
    bool up = false;
    QString line;
    while (in.readLineInto(&line)) {
        if (line.contains("up"))
            up = true;
    }
    return up;
}

void MainWindow::watchFrontInterface()
{
    const bool up = frontInterfaceUp();
    if (up && !loadInfoprev) {
        qCDebug(lcUi) << "Load front connection info page";
        webview->displayInfoFront(language);
    } else if (!up && loadInfoprev) {
        qCDebug(lcUi) << "Reload last page";
        openUrlForce(lastUrl, true);
    }
    loadInfoprev = up;
}

bool MainWindow::showsForeignHost() const
{
    if (defaultUrl.isEmpty())
        return false;
    const QUrl shown = webview->currentUrl();
    return !shown.host().isEmpty() && !networkAccessManager->isDeviceUrl(shown);
}

void MainWindow::screenActivated(bool dark)
{
    if (!dark || !showsForeignHost())
        return;
    qCInfo(lcUi).noquote() << QString("Screen dark on a page of another host (%1), back to %2")
                                  .arg(webview->currentUrl().toString(), defaultUrl);
    openUrlForce(defaultUrl, true);
}

void MainWindow::keyPressEvent(QKeyEvent* event)
{
    // The kiosk has no keyboard use: every key is swallowed.
    event->accept();
}

} // namespace Tessal
