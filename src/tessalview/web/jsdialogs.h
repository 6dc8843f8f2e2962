#ifndef TESSAL_JSDIALOGS_H
#define TESSAL_JSDIALOGS_H

#include <QString>

namespace Tessal
{

// The kiosk's answer to a page's alert, confirm and prompt, whatever the
// engine: nobody is there to answer a dialog, and a modal box would hold the
// page until someone taps it. Each dialog is logged and answered at once.
namespace JsDialogs
{
void alert(const QString& message);
// Always false: the page's script sees "cancel".
bool confirm(const QString& message);
// Always false: the page's script sees null.
bool prompt(const QString& message);
} // namespace JsDialogs

} // namespace Tessal

#endif
