#pragma once

#include <QString>

namespace Tessal
{

// The narrow seam between the front link and the window that shows the
// device's pages. UdpHandler reaches the main window only through these
// entry points, so the kiosk window plugs in here and tests can record the
// calls.
class FrontLinkTarget
{
public:
    virtual ~FrontLinkTarget() = default;

    // Page loaded by "home" and after errors.
    virtual void setDefaultUrl(const QString& url) = 0;
    // Load url now; force reloads even when it is already shown.
    virtual void openUrlForce(const QString& url, bool force) = 0;
    // Page language announced by the device (DevInfo).
    virtual void setLanguage(const QString& lang) = 0;
    virtual QString getLanguage() = 0;
    // Show the connection-error page in the given language.
    virtual void displayError(const QString& lang) = 0;
};

} // namespace Tessal
