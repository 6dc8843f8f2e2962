#include "logging.h"

Q_LOGGING_CATEGORY(lcApp, "tessal.app", QtInfoMsg)
Q_LOGGING_CATEGORY(lcFrontLink, "tessal.frontlink", QtInfoMsg)
Q_LOGGING_CATEGORY(lcModbus, "tessal.modbus", QtInfoMsg)
Q_LOGGING_CATEGORY(lcWeb, "tessal.web", QtInfoMsg)
Q_LOGGING_CATEGORY(lcUsb, "tessal.usb", QtInfoMsg)
Q_LOGGING_CATEGORY(lcUi, "tessal.ui", QtInfoMsg)
