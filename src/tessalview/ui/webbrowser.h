#ifndef TESSAL_WEBBROWSER_H
#define TESSAL_WEBBROWSER_H

#include <QString>

namespace Tessal
{

// What any browser window of the kiosk offers: open an address, reload the
// page it last accepted.
class WebBrowser
{
public:
    virtual ~WebBrowser() = default;
    virtual void openUrl(const QString& url) = 0;
    virtual void reloadUrl() = 0;
};

} // namespace Tessal

#endif
