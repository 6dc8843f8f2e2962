// The kiosk's surface on QtWebEngine 5.15.
#include "engineversion.h"

#include "webpage.h"

#include <QWebEngineCertificateError>
#include <QWebEngineDownloadItem>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScriptCollection>

namespace Tessal
{

namespace
{
// QtWebEngine 5 asks the page through a virtual function, before the load
// goes on.
class CertifyingPage final : public WebPage
{
public:
    using WebPage::WebPage;

protected:
    bool certificateError(const QWebEngineCertificateError& error) override
    {
        return acceptCertificate(error);
    }
};
} // namespace

WebPage* EngineVersion::createPage(const WebSurface::Services& services, QWebEngineProfile* profile,
                                   QObject* parent)
{
    return new CertifyingPage(services, profile, parent);
}

void EngineVersion::declineDownloads(QWebEnginePage* page, QObject* context,
                                     std::function<void(const QUrl&)> handler)
{
    QObject::connect(page->profile(), &QWebEngineProfile::downloadRequested, context,
                     [page, handler](QWebEngineDownloadItem* item) {
                         if (item->page() != page)
                             return;
                         // Answered before this returns, or the engine goes
                         // on with the download.
                         const QUrl url = item->url();
                         item->cancel();
                         handler(url);
                     });
}

void EngineVersion::removeScripts(QWebEngineScriptCollection& scripts, const QString& name)
{
    for (const QWebEngineScript& old : scripts.findScripts(name))
        scripts.remove(old);
}

QString EngineVersion::describe(const QWebEngineCertificateError& error)
{
    return error.errorDescription();
}

} // namespace Tessal
