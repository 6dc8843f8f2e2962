#ifndef TESSAL_ENGINEVERSION_H
#define TESSAL_ENGINEVERSION_H

#include "websurface.h"

#include <QString>
#include <QUrl>

#include <functional>

class QObject;
class QWebEngineCertificateError;
class QWebEnginePage;
class QWebEngineProfile;
class QWebEngineScriptCollection;

namespace Tessal
{

class WebPage;

// Where QtWebEngine 5.15 and QtWebEngine 6 differ in what the kiosk uses:
// each has its own implementation of these, built with the kiosk's Qt. The
// rest of the surface is the same on both.
namespace EngineVersion
{
// A page of the kiosk whose certificate errors WebPage::acceptCertificate
// decides (a virtual function on Qt 5, a signal on Qt 6).
WebPage* createPage(const WebSurface::Services& services, QWebEngineProfile* profile,
                    QObject* parent);

// Every download that `page` asks its profile for is declined (the engine
// writes nothing of it) and its address handed to `handler`, as long as
// `context` lives.
void declineDownloads(QWebEnginePage* page, QObject* context,
                      std::function<void(const QUrl& url)> handler);

// Removes the scripts named `name`.
void removeScripts(QWebEngineScriptCollection& scripts, const QString& name);

// What is wrong with the certificate, in the engine's words.
QString describe(const QWebEngineCertificateError& error);
} // namespace EngineVersion

} // namespace Tessal

#endif
