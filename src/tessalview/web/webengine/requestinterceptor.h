#ifndef TESSAL_REQUESTINTERCEPTOR_H
#define TESSAL_REQUESTINTERCEPTOR_H

#include <QWebEngineUrlRequestInterceptor>

#include <functional>

namespace Tessal
{

class NetworkAccessManager;

// Sees every request of the page before it leaves: the device's login goes
// on the requests that the device's own pages send to the device's origin,
// the page language on all of them, and each request is logged.
class RequestInterceptor : public QWebEngineUrlRequestInterceptor
{
    Q_OBJECT
public:
    RequestInterceptor(NetworkAccessManager* network, QObject* parent = nullptr);

    void interceptRequest(QWebEngineUrlRequestInfo& info) override;

    static QString typeName(int resourceType);

signals:
    // A redirect from the device to another host was stopped: the engine
    // would carry the device's login along (a header set here survives a
    // redirect and cannot be removed). A main-frame one is to be loaded
    // afresh, without the login.
    void foreignRedirectBlocked(const QUrl& url, bool mainFrame);

private:
    // The request is the device's own: the kiosk's top-level load, or one
    // that a page of the device's origin started.
    bool startedByDevice(const QWebEngineUrlRequestInfo& info) const;

    NetworkAccessManager* network;
};

} // namespace Tessal

#endif
