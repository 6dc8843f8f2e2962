#include "logging.h"

#include "frontlinkthread.h"
#include "keyboardpanel.h"
#include "listenaddress.h"
#include "mainwindow.h"
#include "rotatedscreen.h"
#include "screensaver.h"
#include "servicenotifier.h"
#include "settings.h"
#include "stopsignals.h"
#include "webview.h"

#include <QApplication>
#include <QCursor>
#include <QDebug>
#include <QScreen>
#include <QTimer>

using namespace Tessal;

namespace Tessal
{
// The one main window, while it exists.
MainWindow* main_window = nullptr;
} // namespace Tessal

int main(int argc, char* argv[])
{
    // The one message pattern: the category in front of each line of the
    // kiosk's categories, the time stamp in front of each event line.
    // QT_MESSAGE_PATTERN, when set, takes precedence.
    qSetMessagePattern(logMessagePattern());
    const int answered = Settings::answerHelpOrVersion(argc, argv);
    if (answered >= 0)
        return answered;
    qCInfo(lcApp).noquote() << "Running TessalView on embedded platform";
    qCDebug(lcApp) << "Running on ARM";
    qCDebug(lcApp) << "Running on linux";

    // Qt picks its input method while the application object is made: the
    // on-screen keyboard's setting is read before, and again with the rest.
    KeyboardPanel::prepareFromSettings();

    QApplication app(argc, argv);
    // The service manager stops the kiosk with SIGTERM (and a console with
    // SIGINT): both end the event loop so the shut-down below runs.
    StopSignals::catchSignals();
    // Toolkit options are already taken out of the argument list here.
    Settings::loadWithCommandLine(QApplication::arguments());
    RunMarker::begin();

    if (Settings::getUIHideCursor())
        QApplication::setOverrideCursor(QCursor(Qt::BlankCursor));

    main_window = new MainWindow();
    // A unit mounted on its side or upside down: the window is drawn, and
    // touched, through a turned view.
    RotatedScreen* turned = nullptr;
    if (const int degrees = RotatedScreen::degreesFromSetting(Settings::getUIRotation()))
        turned = new RotatedScreen(main_window, degrees);
    QWidget* const screenWindow = turned ? static_cast<QWidget*>(turned) : main_window;
    ScreenSaver::instance()->install();
    QObject::connect(main_window->getWebView(), &WebView::urlChanged,
                     [](const QUrl& url) { RunMarker::setPage(url.toString()); });

    const QString listenAddress =
        chooseListenAddress(Settings::getNetUdpAddr(), Settings::getNetUdpIntf());

    // The front link runs beside the window: its calls into the window are
    // queued to the GUI thread.
    auto* frontLink = new FrontLinkThread(listenAddress, Settings::getNetUdpPort(), main_window);
    frontLink->start();
    // Served off the GUI thread: a page script that never returns must not
    // keep the kiosk from stopping.
    StopSignals stopSignals;
    stopSignals.start();

    // Without a window manager nobody maximises the window: give it the
    // whole screen ourselves.
    if (QScreen* screen = QGuiApplication::primaryScreen())
        screenWindow->setGeometry(screen->availableGeometry());
    screenWindow->showMaximized();
    // Nor does anyone give it the input: the on-screen keyboard types into
    // the active window's focused field.
    screenWindow->activateWindow();
    ServiceNotifier notifier;
    // Runs once the event loop has taken over: the waiting screen is up.
    QTimer::singleShot(0, &notifier, [&notifier] {
        qCInfo(lcApp).noquote() << "Main window shown";
        notifier.ready();
    });
    const int status = app.exec();

    notifier.stopping();
    stopSignals.stop();
    frontLink->stop();
    delete frontLink;
    ScreenSaver::instance()->uninstall();
    delete turned;
    delete main_window;
    main_window = nullptr;
    RunMarker::end();
    qCInfo(lcApp).noquote() << "TessalView stopped";
    return status;
}
