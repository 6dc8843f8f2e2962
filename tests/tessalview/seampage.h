// A page wired the way the kiosk wires its own, through the web seam: the
// kiosk's network access manager, a download handler that saves to the USB
// drive, and the upload dialog. The same source runs on every engine.
#ifndef TESSAL_SEAMPAGE_H
#define TESSAL_SEAMPAGE_H

#include "downloadhandler.h"
#include "networkaccessmanager.h"
#include "websurface.h"

#include <QList>
#include <QUrl>
#include <QWidget>

#include <memory>

class SeamPage
{
public:
    explicit SeamPage(QWidget* mainWindow) : handler(mainWindow)
    {
        Tessal::WebSurface::Services services;
        services.network = &network;
        services.downloads = &handler;
        services.dialogParent = mainWindow;
        surface.reset(Tessal::WebSurface::create(services, mainWindow));
        surface->resize(800, 480);
        QObject::connect(&handler, &Tessal::DownloadHandler::handled,
                         [this](bool started) { results << started; });
    }

    void load(const QUrl& url) { surface->load(url); }

    Tessal::NetworkAccessManager network;
    Tessal::DownloadHandler handler;
    std::unique_ptr<Tessal::WebSurface> surface;
    QList<bool> results; // what start() returned, per download
};

#endif
