// Baseline for the kiosk start-up benchmark: the bare cost of a QtWebKit
// window showing a one-line page, with none of the kiosk's own work.
#include <QApplication>
#include <QDateTime>
#include <QDebug>
#include <QScreen>
#include <QTimer>
#include <QWebView>

int main(int argc, char* argv[])
{
    qDebug().noquote() << QDateTime::currentDateTime().toString("yyyy-MM-dd hh:mm:ss.zzz") +
                              " - Running baseline";
    QApplication app(argc, argv);
    QWebView view;
    view.setHtml("<html><body>Waiting for network configuration...</body></html>");
    if (QScreen* screen = QGuiApplication::primaryScreen())
        view.setGeometry(screen->availableGeometry());
    view.show();
    QTimer::singleShot(0, [] {
        qDebug().noquote() << QDateTime::currentDateTime().toString("yyyy-MM-dd hh:mm:ss.zzz") +
                                  " - Main window shown";
    });
    return app.exec();
}
