// Configuration and register records of the Modbus server.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "servinglimits.h"

enum ModbusType_t { MBTYPE_UNDEF = 0, MBTYPE_RTU = 1, MBTYPE_TCP = 2, MBTYPE_TCP_PI = 3 };

// Access as seen from the Modbus master: "r" may be read, "w" may be written.
enum AccessMode_t { ACCESS_NO = 0, ACCESS_RO = 1, ACCESS_WO = 2, ACCESS_RW = 3 };

typedef struct ModbusRtuConfig_s {
    int iMbDevId = 0;
    std::string sDevice;
    int iBaudrate = 0;
    int iDataBits = 0;
    char cParity = 0; // 'n', 'e' or 'o'
    int iStopBits = 0;
} ModbusRtuConfig_t;

typedef struct ModbusTcpConfig_s {
    std::string sListen;
    int iPort = 0;
    int iClients = 0; // not used: the connection limit is serving.iMaxClients
} ModbusTcpConfig_t;

typedef struct ModbusTcpPiConfig_s {
    std::string sListen;
    std::string sService;
    int iClients = 0;
} ModbusTcpPiConfig_t;

typedef struct ModbusConfig_s {
    ModbusType_t eType = MBTYPE_UNDEF;
    int iDelay = 0;
    ModbusRtuConfig_t rtu;
    ModbusTcpConfig_t tcp;
    ModbusTcpPiConfig_t tcppi;
    ServingConfig_t serving; // TCP and TCP-PI: connection limits, access rules, TLS
} ModbusConfig_t;

typedef struct RegZone_s {
    int iAddress = 0;
    int iLength = 0;
    AccessMode_t eMode = ACCESS_NO;
} RegZone_t;

typedef std::vector<RegZone_t> RegZoneList_t;

// Traffic counters. A unit serves for years: the counters wrap round at 2^32
// instead of overflowing a signed type.
typedef struct ModbusStat_s {
    uint32_t ValidRx = 0;
    uint32_t ValidTx = 0;
    uint32_t ErrorRx = 0;
    uint32_t ErrorTx = 0;
} ModbusStat_t;

typedef struct TcpClient_s {
    std::string sIp;
    int iPort = 0;
} TcpClient_t;

typedef struct Mapping_s {
    uint8_t* pBits = nullptr;
    uint16_t* pRegister = nullptr;
} Mapping_t;

// The largest register range the daemon serves.
constexpr int MB_MAX_RANGE = 1000000;
// Coils and discrete inputs served beside the registers.
constexpr int MB_BIT_COUNT = 16;

// What one master did since it connected (TCP) or since the port was opened
// (RTU). Counters wrap round at 2^32 like the server's own.
typedef struct ClientStat_s {
    uint32_t uiRequests = 0;   // requests answered or refused
    uint32_t uiExceptions = 0; // of them, answered with an exception
    uint64_t ullBytesIn = 0;   // bytes received
    uint64_t ullBytesOut = 0;  // bytes of answers sent
    long long llSince = 0;     // wall-clock seconds of the connection or opening
} ClientStat_t;
