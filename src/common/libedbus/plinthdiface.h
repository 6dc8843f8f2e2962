// The daemon's D-Bus interface as its peers see it: names, object path and
// the "err" codes of its JSON replies. plinthd, the D-Bus service thread and
// plinthctl all take them from here, so a code or a name is defined once.
#pragma once

// Bus name owned by plinthd, its object path and interface.
#define PLINTHD_BUS_NAME "vox.tessal.plinthd"
#define PLINTHD_OBJECT_PATH "/vox/tessal"
#define PLINTHD_INTERFACE "vox.tessal.modbusserver"
// The one method: a JSON command text in, a JSON reply text out.
#define PLINTHD_METHOD_CMD "cmd"

// Object path used by signals of the family and by outgoing calls.
#define DBUS_OBJECT_PATH PLINTHD_OBJECT_PATH

// Every "err" code of the daemon's JSON replies and status, in one place:
// the command layer's codes and the daemon's own codes of "init". 0 is
// success. The numbers are what peers see and keep their values.
enum PlinthdErr_t {
    MBSRV_ERR_MAPPING =
        -1, // "init": the register mapping could not be allocated, or the RTU unit id was refused
    DBUS_ERR_OK = 0,              // done
    DBUS_ERR_JSON = 106,          // the request text is not valid JSON
    DBUS_ERR_UNKNOWN_CMD = 107,   // unknown command
    DBUS_ERR_JSON_ELEMENT = 108,  // a required element is missing or of the wrong type
    DBUS_ERR_NO_MESSAGE = 109,    // an outgoing message or a buffer could not be allocated
    DBUS_ERR_INVALID_STATE = 110, // the command is not allowed in the current state
    MBSRV_ERR_OPEN = 299,         // "init": the library context or the port could not be opened
};

// A short name of an "err" code for log lines and messages; "unknown" for
// a number that is none of the above.
inline const char* PlinthdErrName(int iErr)
{
    switch (iErr) {
    case MBSRV_ERR_MAPPING:
        return "mapping or unit id refused";
    case DBUS_ERR_OK:
        return "ok";
    case DBUS_ERR_JSON:
        return "invalid JSON";
    case DBUS_ERR_UNKNOWN_CMD:
        return "unknown command";
    case DBUS_ERR_JSON_ELEMENT:
        return "missing or invalid element";
    case DBUS_ERR_NO_MESSAGE:
        return "out of memory";
    case DBUS_ERR_INVALID_STATE:
        return "invalid state";
    case MBSRV_ERR_OPEN:
        return "interface cannot be opened";
    default:
        return "unknown";
    }
}
