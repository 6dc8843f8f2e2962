#include "logging.h"

// Every level of the subsystems' categories is on; QT_LOGGING_RULES may
// turn some off. The per-frame detail is off until a rule turns it on.
Q_LOGGING_CATEGORY(lcApp, "tessal.app")
Q_LOGGING_CATEGORY(lcFrontLink, "tessal.frontlink")
Q_LOGGING_CATEGORY(lcFrames, "tessal.frontlink.frames", QtInfoMsg)
Q_LOGGING_CATEGORY(lcModbus, "tessal.modbus")
Q_LOGGING_CATEGORY(lcWeb, "tessal.web")
Q_LOGGING_CATEGORY(lcUsb, "tessal.usb")
Q_LOGGING_CATEGORY(lcUi, "tessal.ui")
