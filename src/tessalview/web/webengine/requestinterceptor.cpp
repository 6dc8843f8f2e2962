#include "requestinterceptor.h"

#include "logging.h"
#include "networkaccessmanager.h"
#include "settings.h"

#include <QDebug>

#include <utility>

namespace Tessal
{

RequestInterceptor::RequestInterceptor(NetworkAccessManager* network, QObject* parent)
    : QWebEngineUrlRequestInterceptor(parent), network(network)
{
}

QString RequestInterceptor::typeName(int resourceType)
{
    static const std::pair<int, const char*> names[] = {
        {QWebEngineUrlRequestInfo::ResourceTypeMainFrame, "main frame"},
        {QWebEngineUrlRequestInfo::ResourceTypeSubFrame, "frame"},
        {QWebEngineUrlRequestInfo::ResourceTypeStylesheet, "style sheet"},
        {QWebEngineUrlRequestInfo::ResourceTypeScript, "script"},
        {QWebEngineUrlRequestInfo::ResourceTypeImage, "image"},
        {QWebEngineUrlRequestInfo::ResourceTypeFontResource, "font"},
        {QWebEngineUrlRequestInfo::ResourceTypeXhr, "xhr"},
        {QWebEngineUrlRequestInfo::ResourceTypeFavicon, "favicon"},
        {QWebEngineUrlRequestInfo::ResourceTypeMedia, "media"},
    };
    for (const auto& [type, name] : names)
        if (type == resourceType)
            return QLatin1String(name);
    return QStringLiteral("other");
}

bool RequestInterceptor::startedByDevice(const QWebEngineUrlRequestInfo& info) const
{
    // Who asks decides, not only where it goes: a page of another origin
    // that makes the kiosk fetch the device (an image, a script's fetch, a
    // frame, a form) gets no login of ours, whatever credentials mode it
    // asked for. A top-level load the kiosk starts itself has no initiator.
    const QUrl initiator = info.initiator();
    if (info.resourceType() == QWebEngineUrlRequestInfo::ResourceTypeMainFrame &&
        initiator.isEmpty())
        return true;
    return network->isDeviceUrl(initiator);
}

void RequestInterceptor::interceptRequest(QWebEngineUrlRequestInfo& info)
{
    const QUrl url = info.requestUrl();
    const int type = info.resourceType();
    const bool mainFrame = type == QWebEngineUrlRequestInfo::ResourceTypeMainFrame;
    // A kiosk shows no icons; a device without one would only log failures.
    if (type == QWebEngineUrlRequestInfo::ResourceTypeFavicon) {
        info.block(true);
        return;
    }
    network->noteStarted(info.requestMethod(), url, typeName(type));

    if (!Settings::getLogin().isEmpty() && !network->isDeviceUrl(url) &&
        info.navigationType() == QWebEngineUrlRequestInfo::NavigationTypeRedirect &&
        (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"))) {
        // The engine keeps the headers of the request it redirects, the
        // device's login included, and an empty value does not remove it:
        // the redirected request never leaves. A page is loaded afresh.
        qCInfo(lcWeb).noquote() << QString("Redirect to '%1' stopped: it would carry the "
                                           "device's login to another host")
                                       .arg(url.toString());
        info.block(true);
        emit foreignRedirectBlocked(url, mainFrame);
        return;
    }
    if (startedByDevice(info)) {
        const QByteArray credentials = network->credentialsFor(url);
        if (!credentials.isEmpty())
            info.setHttpHeader("Authorization", credentials);
    } else if (Settings::isLogVerbose() && network->isDeviceUrl(url)) {
        qCInfo(lcWeb).noquote() << QString("No login on '%1': started by '%2'")
                                       .arg(url.toString(), info.initiator().toString());
    }
    const QByteArray language = network->acceptLanguage();
    if (!language.isEmpty())
        info.setHttpHeader("Accept-Language", language);
}

} // namespace Tessal
