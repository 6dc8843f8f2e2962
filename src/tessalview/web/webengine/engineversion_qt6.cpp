// The kiosk's surface on QtWebEngine 6.
#include "engineversion.h"

#include "webpage.h"

#include <QWebEngineCertificateError>
#include <QWebEngineDownloadRequest>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScriptCollection>

namespace Tessal
{

WebPage* EngineVersion::createPage(const WebSurface::Services& services, QWebEngineProfile* profile,
                                   QObject* parent)
{
    auto* page = new WebPage(services, profile, parent);
    // QtWebEngine 6 signals the error; the answer is given before the slot
    // returns (an error left unanswered is refused).
    QObject::connect(page, &QWebEnginePage::certificateError, page,
                     [page](QWebEngineCertificateError error) {
                         if (page->acceptCertificate(error))
                             error.acceptCertificate();
                         else
                             error.rejectCertificate();
                     });
    return page;
}

void EngineVersion::declineDownloads(QWebEnginePage* page, QObject* context,
                                     std::function<void(const QUrl&)> handler)
{
    QObject::connect(page->profile(), &QWebEngineProfile::downloadRequested, context,
                     [page, handler](QWebEngineDownloadRequest* request) {
                         if (request->page() != page)
                             return;
                         // Answered before this returns, or the engine goes
                         // on with the download.
                         const QUrl url = request->url();
                         request->cancel();
                         handler(url);
                     });
}

void EngineVersion::removeScripts(QWebEngineScriptCollection& scripts, const QString& name)
{
    for (const QWebEngineScript& old : scripts.find(name))
        scripts.remove(old);
}

QString EngineVersion::describe(const QWebEngineCertificateError& error)
{
    return error.description();
}

} // namespace Tessal
