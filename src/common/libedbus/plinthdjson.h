// The JSON words of the documents plinthd is sent through its method cmd,
// and of its "getstatus" answer: command names and member keys. The kiosk
// writes the "init" and "setconfig" documents with them, plinthd reads them
// and plinthctl reads the status and builds its own "setconfig" with them.
// Beside plinthdiface.h (names and error codes), so that every end spells a
// word from one place.
#pragma once

// Commands ("cmd").
#define PLINTHD_CMD_START "start"
#define PLINTHD_CMD_INIT "init"
#define PLINTHD_CMD_SETCONFIG "setconfig"
#define PLINTHD_CMD_UNSETCONFIG "unsetconfig"
#define PLINTHD_CMD_GETCONFIG "getconfig"
#define PLINTHD_CMD_GETSTATUS "getstatus"
#define PLINTHD_CMD_DEINIT "deinit"
#define PLINTHD_CMD_STOP "stop"
#define PLINTHD_CMD_SETLOGLEVEL "setloglevel"

// Members of every command document.
#define PLINTHD_KEY_CMD "cmd"

// Members of "init".
#define PLINTHD_KEY_DELAY "delay"
#define PLINTHD_KEY_PROTOCOL "protocol"
#define PLINTHD_KEY_TABLES "tables"
// Protocols, also the key of the interface object.
#define PLINTHD_PROTOCOL_RTU "rtu"
#define PLINTHD_PROTOCOL_TCP "tcp"
#define PLINTHD_PROTOCOL_TCPPI "tcppi"
// Members of the "rtu" interface object.
#define PLINTHD_KEY_DEVID "devid"
#define PLINTHD_KEY_PORT "port"
#define PLINTHD_KEY_BAUD "baud"
#define PLINTHD_KEY_MODE "mode"
// Members of the "tcp" interface object ("port" as above).
#define PLINTHD_KEY_LISTEN "listen"
#define PLINTHD_KEY_CLIENTS "clients"
// Optional members of the "tcp" and "tcppi" objects: seconds a master may
// stay idle (0: for ever), the networks that may connect and those that may
// write (lists of CIDR texts), and the secure port (Modbus/TCP Security).
#define PLINTHD_KEY_IDLETIMEOUT "idletimeout"
#define PLINTHD_KEY_ALLOWCONNECT "allowconnect"
#define PLINTHD_KEY_ALLOWWRITE "allowwrite"
#define PLINTHD_KEY_TLS "tls"
// Members of the "tls" object ("port" as above; file names otherwise).
#define PLINTHD_KEY_CERTIFICATE "certificate"
#define PLINTHD_KEY_KEY "key"
#define PLINTHD_KEY_CA "ca"
#define PLINTHD_KEY_ROLES "roles"
// Members of a table of "init" ("mode" as above): access "r", "w" or "rw",
// and its optional "zones", an array of objects of the same members.
#define PLINTHD_KEY_ADDRESS "address"
#define PLINTHD_KEY_LENGTH "length"
#define PLINTHD_KEY_ZONES "zones"
#define PLINTHD_ACCESS_READ "r"

// Members of "setconfig": "data", an array of {"address", "values"}, and the
// optional "event" (true or false: whether reads and connections are
// signalled). "getconfig" takes "zones" and answers "data".
#define PLINTHD_KEY_DATA "data"
#define PLINTHD_KEY_VALUES "values"
#define PLINTHD_KEY_EVENT "event"

// Member of "setloglevel": the syslog level number.
#define PLINTHD_KEY_LEVEL "level"
