#ifndef TESSAL_LOGGING_H
#define TESSAL_LOGGING_H

#include <QLoggingCategory>

// The kiosk's log categories, one per subsystem. Their info, warning and
// critical lines are always written; debug lines are off until turned on,
// e.g. QT_LOGGING_RULES="tessal.frontlink.debug=true". main() sets the one
// message pattern that puts the category before each line of these
// categories.
Q_DECLARE_LOGGING_CATEGORY(lcApp)       // "tessal.app": settings, scripts, signals, start-up
Q_DECLARE_LOGGING_CATEGORY(lcFrontLink) // "tessal.frontlink"
Q_DECLARE_LOGGING_CATEGORY(lcModbus)    // "tessal.modbus"
Q_DECLARE_LOGGING_CATEGORY(lcWeb)       // "tessal.web"
Q_DECLARE_LOGGING_CATEGORY(lcUsb)       // "tessal.usb"
Q_DECLARE_LOGGING_CATEGORY(lcUi)        // "tessal.ui"

namespace Tessal
{

// "<category>: <text>" for the kiosk's categories; messages of Qt's default
// category (Qt itself) go out as they are. The text is the line as the kiosk
// always wrote it, its own time stamp ("<time> - ...") included where it has
// one: a message handler (the journal's, a test's) sees exactly that text.
inline const char* logMessagePattern()
{
    return "%{if-category}%{category}: %{endif}%{message}";
}

} // namespace Tessal

#endif
