#include "helpers.h"
#include "listenaddress.h"
#include "mainwindow.h"
#include "screensaver.h"
#include "settings.h"
#include "udphandler.h"

#include <QApplication>
#include <QCursor>
#include <QDebug>
#include <QScreen>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <unistd.h>

using namespace Tessal;

namespace Tessal
{
// The one main window, while it exists.
MainWindow* main_window = nullptr;
} // namespace Tessal

namespace
{
int signalPipe[2] = {-1, -1};

void onStopSignal(int signo)
{
    const char byte = static_cast<char>(signo);
    // Only async-signal-safe work here; the event loop does the rest.
    [[maybe_unused]] ssize_t n = ::write(signalPipe[1], &byte, 1);
}

// The service manager stops the kiosk with SIGTERM (and a console with
// SIGINT): both end the event loop so the shut-down below runs.
void quitOnStopSignals(QApplication& app)
{
    if (::pipe(signalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app] {
        char byte = 0;
        if (::read(signalPipe[0], &byte, 1) == 1)
            qDebug().noquote() << QString("%1 - Signal %2 received, stopping")
                                      .arg(Helpers::now())
                                      .arg(static_cast<int>(byte));
        app.quit();
    });
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}
} // namespace

int main(int argc, char* argv[])
{
    qDebug().noquote()
        << QString("%1 - Running TessalView on embedded platform").arg(Helpers::now());
    qDebug() << "Running on ARM";
    qDebug() << "Running on linux";

    QApplication app(argc, argv);
    quitOnStopSignals(app);
    // Toolkit options are already taken out of the argument list here.
    Settings::loadWithCommandLine(QApplication::arguments());

    if (Settings::getUIHideCursor())
        QApplication::setOverrideCursor(QCursor(Qt::BlankCursor));

    main_window = new MainWindow();
    ScreenSaver::instance()->install();

    const QString listenAddress =
        chooseListenAddress(Settings::getNetUdpAddr(), Settings::getNetUdpIntf());

    UdpHandler* handler =
        new UdpHandler(listenAddress, Settings::getNetUdpPort(), main_window, nullptr);
    handler->init();

    // Without a window manager nobody maximises the window: give it the
    // whole screen ourselves.
    if (QScreen* screen = QGuiApplication::primaryScreen())
        main_window->setGeometry(screen->availableGeometry());
    main_window->showMaximized();
    // Runs once the event loop has taken over: the waiting screen is up.
    QTimer::singleShot(
        0, [] { qDebug().noquote() << QString("%1 - Main window shown").arg(Helpers::now()); });
    const int status = app.exec();

    handler->stop();
    delete handler;
    ScreenSaver::instance()->uninstall();
    delete main_window;
    main_window = nullptr;
    qDebug().noquote() << QString("%1 - TessalView stopped").arg(Helpers::now());
    return status;
}
