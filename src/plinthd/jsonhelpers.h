// Small cJSON helpers shared by the command handlers.
#pragma once

#include <cJSON.h>

#include <string>

#include "modbustypes.h"

// True when pItem is a number with an integral value that fits an int.
bool JsonIsInt(const cJSON* pItem);
// The integer value of an item accepted by JsonIsInt.
int JsonInt(const cJSON* pItem);

// Maps "-", "r", "w", "rw" to the access mode; false for any other word.
bool AccessModeFromString(const char* pszMode, AccessMode_t& eMode);

// Reads "address", "length" and "mode" of a table or zone object. Returns 0, or
// 108 when a member is missing, of the wrong type, an unknown mode, or a
// negative address or length (those would reach outside the register block).
int GetRegZoneFromJson(const cJSON* pObj, RegZone_t& zone);

// Prints minified JSON; empty string when printing fails.
std::string JsonPrintMin(const cJSON* pItem);
// Prints JSON in the indented form of the data and event signals: opening
// braces and brackets on lines of their own, one member or element per line,
// one tab per nesting level, ": " after member names.
std::string JsonPrintIndented(const cJSON* pItem);
