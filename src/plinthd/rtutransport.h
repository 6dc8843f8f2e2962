// Modbus RTU on a serial line: libmodbus opens the port and sets RS-485
// mode; the frames themselves are cut by silence on the line, as the serial
// line standard delimits them. A frame ends after 3.5 character times
// without a byte; a pause longer than 1.5 character times inside a frame
// breaks it, and it is discarded. A frame with a bad CRC is dropped and
// counted; one for another unit is ignored at once, without waiting for
// that unit's answer (which is just another frame for another unit).
#pragma once

#include <modbus/modbus.h>

#include <cstdint>
#include <string>

#include "modbustypes.h"

class CRequestHandler;
class CWaitList;
struct cJSON;

// Largest RTU frame: address, PDU (253), CRC (2).
constexpr int MB_RTU_MAX_ADU = 256;

// The silences of the serial line for a character format, in microseconds.
typedef struct RtuTiming_s {
    long lCharUs = 0; // one character on the line
    long lT15Us = 0;  // the longest pause allowed inside a frame
    long lT35Us = 0;  // the silence that ends a frame
} RtuTiming_t;

class CRtuTransport
{
public:
    CRtuTransport(CWaitList& waitList, CRequestHandler& handler, ModbusStat_t& stat);
    ~CRtuTransport();
    CRtuTransport(const CRtuTransport&) = delete;
    CRtuTransport& operator=(const CRtuTransport&) = delete;

    // Character time, t1.5 and t3.5 for a baud rate and character format
    // (start bit, data bits, parity bit when parity is 'e' or 'o', stop
    // bits). Above 19200 Bd t1.5 and t3.5 are fixed at 750 us and 1750 us.
    static RtuTiming_t Timing(int iBaud, int iDataBits, char cParity, int iStopBits);
    // CRC-16 of the RTU frame (polynomial 0xA001 reflected, initial 0xFFFF).
    static uint16_t Crc16(const uint8_t* pData, int iLen);

    // Opens the port as configured; 0, 299 when it cannot be opened, -1 when
    // the library refused the unit id (as the opening always reported it),
    // 110 while open already.
    int Open(const ModbusRtuConfig_t& cfg);
    void Close();
    bool IsOpen() const { return m_pCtx != nullptr; }
    int FD() const { return m_iFD; }

    // Serves a ready descriptor (the port or the frame timer); false when
    // iFD is not ours.
    bool Serve(int iFD);
    // Stops watching a port that hung up (an unplugged adapter).
    void Unwatch();

    // Handles one whole frame as received (address, PDU, CRC): checks the
    // CRC and the unit, answers through the port. Used by the framing and
    // directly by tests.
    void HandleFrame(const uint8_t* pFrame, int iLen);

    // The line's one entry for the status "clients".
    void AddClientToStatus(cJSON* pArray) const;

private:
    // Reads what the port holds; false when nothing came.
    bool ReadLine();
    void OnTimer();
    // Arms the frame timer iDelayUs after the last byte read.
    void ArmTimer(long lDelayUs);
    void EndFrame();

    CWaitList& m_waitList;
    CRequestHandler& m_handler;
    ModbusStat_t& m_stat;
    modbus_t* m_pCtx = nullptr;
    int m_iFD = -1;
    int m_iTimerFD = -1;
    int m_iUnit = 1;
    std::string m_sDevice;
    RtuTiming_t m_timing;
    ClientStat_t m_client;

    // The frame being received.
    uint8_t m_abyFrame[MB_RTU_MAX_ADU];
    int m_iFrameLen = 0;
    bool m_bOverflow = false; // more bytes than a frame can hold
    bool m_bBroken = false;   // a pause longer than t1.5 inside it
    bool m_bPaused = false;   // t1.5 of silence seen since the last byte
    long long m_llLastReadNs = 0;
};
