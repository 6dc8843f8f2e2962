// The "init" document read into a record, one section at a time: the
// interface (protocol, delay and the protocol's object), the tables with
// their zones, and the optional keys. The command that applies it (building
// the register block, opening the interface) is CCommandService's.
#pragma once

#include <cJSON.h>

#include <string>

#include "modbustypes.h"

// What one "init" document asks for.
typedef struct InitDocument_s {
    // The interface and the delay. Filled in by section: the caller starts
    // it as the configuration in force, and what a failed document already
    // named stays in it (the status reports the protocol of the last "init").
    ModbusConfig_t config;
    // The tables in order, and the zones of all tables in order.
    RegZoneList_t tables;
    RegZoneList_t zones;
    // Values of the optional keys go here (read by ParseInitOptions); a
    // document without them leaves their defaults. Those of the "tcp" and
    // "tcppi" objects (connection limits, address lists, TLS) are
    // config.serving.
} InitDocument_t;

// Reads an "init" document into doc. Returns 0, or the error code with sInfo
// the reason; the first failure ends the reading.
int ParseInitRequest(const cJSON* json, InitDocument_t& doc, std::string& sInfo);

// The sections, in the order ParseInitRequest reads them.
// "protocol" (string), "delay" (integer) and "tables" (array) are present.
int CheckInitMembers(const cJSON* json, std::string& sInfo);
// "delay", "protocol" and the protocol's own object ("rtu", "tcp", "tcppi").
int ParseInitInterface(const cJSON* json, ModbusConfig_t& config, std::string& sInfo);
// "tables", each with its optional "zones".
int ParseInitTables(const cJSON* pTables, RegZoneList_t& tables, RegZoneList_t& zones,
                    std::string& sInfo);
// The "zones" of one table.
int ParseInitZones(const cJSON* pZones, RegZoneList_t& zones, std::string& sInfo);
// The optional keys: absent means the default, present but malformed is
// refused with 108 and a reason.
int ParseInitOptions(const cJSON* json, InitDocument_t& doc, std::string& sInfo);
