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
#include <QTimer>

using namespace Tessal;

namespace Tessal
{
// The one main window, while it exists.
MainWindow* main_window = nullptr;
} // namespace Tessal

int main(int argc, char* argv[])
{
    qDebug().noquote()
        << QString("%1 - Running TessalView on embedded platform").arg(Helpers::now());
    qDebug() << "Running on ARM";
    qDebug() << "Running on linux";

    QApplication app(argc, argv);
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
    return status;
}
