#ifndef TESSAL_LOGGING_H
#define TESSAL_LOGGING_H

#include <QLoggingCategory>

// The kiosk's log categories, one per subsystem. A line of the kiosk has one
// of two forms, told apart by its message type:
//  - info: an event, written with the kiosk's time stamp in front
//    ("2026-12-09 17:02:11.412 - Main window shown"); the stamp comes from
//    the message pattern, never from the text;
//  - debug: a plain line without a stamp ("UDP listen 127.0.0.1:9876"),
//    written like info unless a QT_LOGGING_RULES rule turns it off.
// Warnings and critical lines are faults, unstamped, always written. Detail
// that is off unless asked for has categories of its own below a subsystem's
// (lcFrames: "tessal.frontlink.frames.debug=true" turns it on).
Q_DECLARE_LOGGING_CATEGORY(lcApp)       // "tessal.app": settings, scripts, signals, start-up
Q_DECLARE_LOGGING_CATEGORY(lcFrontLink) // "tessal.frontlink"
Q_DECLARE_LOGGING_CATEGORY(lcFrames)    // "tessal.frontlink.frames": each frame and section
Q_DECLARE_LOGGING_CATEGORY(lcModbus)    // "tessal.modbus"
Q_DECLARE_LOGGING_CATEGORY(lcWeb)       // "tessal.web"
Q_DECLARE_LOGGING_CATEGORY(lcUsb)       // "tessal.usb"
Q_DECLARE_LOGGING_CATEGORY(lcUi)        // "tessal.ui"

namespace Tessal
{

// One line as the kiosk writes it, without the category: info lines get the
// time stamp "yyyy-MM-dd hh:mm:ss.zzz - " (local time, as Clock::now()).
inline const char* logLinePattern()
{
    return "%{if-info}%{time yyyy-MM-dd hh:mm:ss.zzz} - %{endif}%{message}";
}

// What main() sets: "<category>: " in front of the lines of the kiosk's
// categories; messages of Qt's default category (Qt itself) get none.
inline QString logMessagePattern()
{
    return QStringLiteral("%{if-category}%{category}: %{endif}") + logLinePattern();
}

} // namespace Tessal

#endif
