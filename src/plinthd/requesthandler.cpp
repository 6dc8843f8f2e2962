#include "requesthandler.h"

#include <cJSON.h>
#include <modbus/modbus.h>
#include <syslog.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "accessrules.h"
#include "jsonhelpers.h"
#include "log.h"
#include "registerblock.h"
#include "signalqueue.h"
#include "plinthdjson.h"

#define MODNAME "MBSRV "

namespace
{

// Largest quantities of the standard, per function.
constexpr int MB_MAX_READ_BITS = 2000;
constexpr int MB_MAX_READ_REGISTERS = 125;
constexpr int MB_MAX_WRITE_BITS = 1968;
constexpr int MB_MAX_WRITE_REGISTERS = 123;
constexpr int MB_MAX_WR_WRITE_REGISTERS = 121;
// Register and coil addresses are 16-bit: nothing from 65,536 on is reachable.
constexpr long MB_ADDRESS_SPACE = 65536;
// What function 17 reports: the same server id, run indicator (on) and
// identification as libmodbus's own server.
constexpr uint8_t MB_RUN_INDICATOR_ON = 0xFF;
constexpr uint8_t MB_REPORT_SLAVE_ID_BYTE = 180;
const char MB_IDENTIFICATION[] = "LMB" LIBMODBUS_VERSION_STRING;

inline int Word(const uint8_t* p)
{
    return (p[0] << 8) | p[1];
}

inline void PutWord(uint8_t* p, int iValue)
{
    p[0] = static_cast<uint8_t>((iValue >> 8) & 0xFF);
    p[1] = static_cast<uint8_t>(iValue & 0xFF);
}

// Exception 02 when the block passes the end of what is served or of the
// 16-bit address space.
int CheckRange(int iAddr, int iQuantity, int iServed)
{
    long lEnd = static_cast<long>(iAddr) + iQuantity;
    if (lEnd > iServed || lEnd > MB_ADDRESS_SPACE)
        return MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS;
    return 0;
}

} // namespace

CRequestHandler::CRequestHandler(CRegisterBlock& regs, CSignalQueue& signals)
    : m_regs(regs), m_signals(signals)
{
}

int CRequestHandler::Check(const uint8_t* pPdu, int iLen, int iBits, int iRegisters)
{
    const int iFunc = pPdu[0];
    switch (iFunc) {
    case MODBUS_FC_READ_COILS:
    case MODBUS_FC_READ_DISCRETE_INPUTS:
    case MODBUS_FC_READ_HOLDING_REGISTERS:
    case MODBUS_FC_READ_INPUT_REGISTERS: {
        const bool bBits = iFunc <= MODBUS_FC_READ_DISCRETE_INPUTS;
        if (iLen != 5)
            return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
        int iQuantity = Word(pPdu + 3);
        if (iQuantity < 1 || iQuantity > (bBits ? MB_MAX_READ_BITS : MB_MAX_READ_REGISTERS))
            return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
        return CheckRange(Word(pPdu + 1), iQuantity, bBits ? iBits : iRegisters);
    }
    case MODBUS_FC_WRITE_SINGLE_COIL: {
        if (iLen != 5)
            return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
        int iValue = Word(pPdu + 3);
        if (iValue != 0x0000 && iValue != 0xFF00)
            return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
        return CheckRange(Word(pPdu + 1), 1, iBits);
    }
    case MODBUS_FC_WRITE_SINGLE_REGISTER:
        if (iLen != 5)
            return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
        return CheckRange(Word(pPdu + 1), 1, iRegisters);
    case MODBUS_FC_WRITE_MULTIPLE_COILS:
    case MODBUS_FC_WRITE_MULTIPLE_REGISTERS: {
        const bool bBits = iFunc == MODBUS_FC_WRITE_MULTIPLE_COILS;
        if (iLen < 6)
            return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
        int iQuantity = Word(pPdu + 3);
        int iBytes = pPdu[5];
        if (iQuantity < 1 || iQuantity > (bBits ? MB_MAX_WRITE_BITS : MB_MAX_WRITE_REGISTERS) ||
            iBytes != (bBits ? (iQuantity + 7) / 8 : 2 * iQuantity) || iLen != 6 + iBytes)
            return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
        return CheckRange(Word(pPdu + 1), iQuantity, bBits ? iBits : iRegisters);
    }
    case MODBUS_FC_REPORT_SLAVE_ID:
        return iLen == 1 ? 0 : MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
    case MODBUS_FC_MASK_WRITE_REGISTER:
        if (iLen != 7)
            return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
        return CheckRange(Word(pPdu + 1), 1, iRegisters);
    case MODBUS_FC_WRITE_AND_READ_REGISTERS: {
        if (iLen < 10)
            return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
        int iReadQuantity = Word(pPdu + 3);
        int iWriteQuantity = Word(pPdu + 7);
        int iBytes = pPdu[9];
        if (iReadQuantity < 1 || iReadQuantity > MB_MAX_READ_REGISTERS || iWriteQuantity < 1 ||
            iWriteQuantity > MB_MAX_WR_WRITE_REGISTERS || iBytes != 2 * iWriteQuantity ||
            iLen != 10 + iBytes)
            return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
        int iCode = CheckRange(Word(pPdu + 1), iReadQuantity, iRegisters);
        return iCode != 0 ? iCode : CheckRange(Word(pPdu + 5), iWriteQuantity, iRegisters);
    }
    default:
        // Function 7, 8 and the other serial-line diagnostics, file records,
        // FIFO reads, encapsulated transport and anything unknown.
        return MODBUS_EXCEPTION_ILLEGAL_FUNCTION;
    }
}

int CRequestHandler::Handle(const MbRequest_t& request, uint8_t* pAnswer, bool& bException)
{
    bException = false;
    if (request.pPdu == nullptr || request.iPduLen < 1)
        return 0;
    const uint8_t* pPdu = request.pPdu;
    // A master's rights come first: a function it may not use is refused
    // whatever its addresses.
    int iCode = request.pRights ? request.pRights->Refusal(pPdu, request.iPduLen) : 0;
    if (iCode == 0)
        iCode = m_regs.IsBuilt() ? Check(pPdu, request.iPduLen, MB_BIT_COUNT, m_regs.Length())
                                 : MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE;
    if (iCode != 0) {
        bException = true;
        // Bit 7 marks the answer as an exception; a function code that has
        // it already keeps it.
        pAnswer[0] = static_cast<uint8_t>(pPdu[0] | 0x80);
        pAnswer[1] = static_cast<uint8_t>(iCode);
        LogWrite(MODNAME, LOG_DEBUG, "Exception %d for function %02X\n", iCode, pPdu[0]);
        // Reported as before; a refused write changed nothing.
        PostProcess(request, false);
        return 2;
    }
    if (pPdu[0] == MODBUS_FC_WRITE_AND_READ_REGISTERS) {
        // The write comes first, and the access rules with it, so the read
        // part answers what the registers hold afterwards, as a later read
        // would.
        uint16_t* pRegisters = m_regs.Mapping()->tab_registers;
        const int iWriteAddr = Word(pPdu + 5);
        const int iWriteQuantity = Word(pPdu + 7);
        for (int i = 0; i < iWriteQuantity; i++)
            pRegisters[iWriteAddr + i] = static_cast<uint16_t>(Word(pPdu + 10 + 2 * i));
        PostProcess(request, true);
        const int iReadAddr = Word(pPdu + 1);
        const int iReadQuantity = Word(pPdu + 3);
        pAnswer[0] = MODBUS_FC_WRITE_AND_READ_REGISTERS;
        pAnswer[1] = static_cast<uint8_t>(2 * iReadQuantity);
        for (int i = 0; i < iReadQuantity; i++)
            PutWord(pAnswer + 2 + 2 * i, pRegisters[iReadAddr + i]);
        return 2 + 2 * iReadQuantity;
    }
    int iLen = Execute(pPdu, pAnswer);
    PostProcess(request, true);
    return iLen;
}

int CRequestHandler::Execute(const uint8_t* pPdu, uint8_t* pAnswer)
{
    modbus_mapping_t* pMap = m_regs.Mapping();
    const int iFunc = pPdu[0];
    // Function 17 is the function code alone: the address exists for the
    // others only (Check() saw their length).
    const int iAddr = iFunc == MODBUS_FC_REPORT_SLAVE_ID ? 0 : Word(pPdu + 1);
    pAnswer[0] = static_cast<uint8_t>(iFunc);
    switch (iFunc) {
    case MODBUS_FC_READ_COILS:
    case MODBUS_FC_READ_DISCRETE_INPUTS: {
        const uint8_t* pBits =
            iFunc == MODBUS_FC_READ_COILS ? pMap->tab_bits : pMap->tab_input_bits;
        const int iQuantity = Word(pPdu + 3);
        const int iBytes = (iQuantity + 7) / 8;
        pAnswer[1] = static_cast<uint8_t>(iBytes);
        memset(pAnswer + 2, 0, static_cast<size_t>(iBytes));
        for (int i = 0; i < iQuantity; i++) {
            if (pBits[iAddr + i])
                pAnswer[2 + i / 8] |= static_cast<uint8_t>(1 << (i % 8));
        }
        return 2 + iBytes;
    }
    case MODBUS_FC_READ_HOLDING_REGISTERS:
    case MODBUS_FC_READ_INPUT_REGISTERS: {
        const uint16_t* pRegs = iFunc == MODBUS_FC_READ_HOLDING_REGISTERS
                                    ? pMap->tab_registers
                                    : pMap->tab_input_registers;
        const int iQuantity = Word(pPdu + 3);
        pAnswer[1] = static_cast<uint8_t>(2 * iQuantity);
        for (int i = 0; i < iQuantity; i++)
            PutWord(pAnswer + 2 + 2 * i, pRegs[iAddr + i]);
        return 2 + 2 * iQuantity;
    }
    case MODBUS_FC_WRITE_SINGLE_COIL:
        pMap->tab_bits[iAddr] = Word(pPdu + 3) == 0xFF00 ? 1 : 0;
        memcpy(pAnswer, pPdu, 5);
        return 5;
    case MODBUS_FC_WRITE_SINGLE_REGISTER:
        pMap->tab_registers[iAddr] = static_cast<uint16_t>(Word(pPdu + 3));
        memcpy(pAnswer, pPdu, 5);
        return 5;
    case MODBUS_FC_WRITE_MULTIPLE_COILS: {
        const int iQuantity = Word(pPdu + 3);
        for (int i = 0; i < iQuantity; i++)
            pMap->tab_bits[iAddr + i] = (pPdu[6 + i / 8] >> (i % 8)) & 1;
        memcpy(pAnswer, pPdu, 5);
        return 5;
    }
    case MODBUS_FC_WRITE_MULTIPLE_REGISTERS: {
        const int iQuantity = Word(pPdu + 3);
        for (int i = 0; i < iQuantity; i++)
            pMap->tab_registers[iAddr + i] = static_cast<uint16_t>(Word(pPdu + 6 + 2 * i));
        memcpy(pAnswer, pPdu, 5);
        return 5;
    }
    case MODBUS_FC_REPORT_SLAVE_ID: {
        const size_t uiIdent = sizeof(MB_IDENTIFICATION) - 1;
        pAnswer[2] = MB_REPORT_SLAVE_ID_BYTE;
        pAnswer[3] = MB_RUN_INDICATOR_ON;
        memcpy(pAnswer + 4, MB_IDENTIFICATION, uiIdent);
        pAnswer[1] = static_cast<uint8_t>(2 + uiIdent);
        return 4 + static_cast<int>(uiIdent);
    }
    case MODBUS_FC_MASK_WRITE_REGISTER: {
        const int iAnd = Word(pPdu + 3);
        const int iOr = Word(pPdu + 5);
        uint16_t& usReg = pMap->tab_registers[iAddr];
        usReg = static_cast<uint16_t>((usReg & iAnd) | (iOr & ~iAnd));
        memcpy(pAnswer, pPdu, 7);
        return 7;
    }
    default:
        // Check() lets no other function through.
        pAnswer[0] = static_cast<uint8_t>(iFunc | 0x80);
        pAnswer[1] = MODBUS_EXCEPTION_ILLEGAL_FUNCTION;
        return 2;
    }
}

void CRequestHandler::PostProcess(const MbRequest_t& request, bool bWritten)
{
    // The log line shows eight bytes from the function code on, 0xFF past
    // the end of what was received.
    uint8_t aby[8];
    memset(aby, 0xFF, sizeof(aby));
    memcpy(aby, request.pPdu, std::min<size_t>(static_cast<size_t>(request.iPduLen), sizeof(aby)));
    const int iFunc = aby[0];
    // Per-query lines are debug output: at a higher level every poll of
    // every master would reach the system log.
    if (request.bRtu) {
        LogWrite(MODNAME, LOG_DEBUG,
                 "Reply query (len=%d, func=%02X) dev=%d, dev=%02X, %02X %02X %02X %02X %02X %02X "
                 "%02X %02X\n",
                 request.iAduLen, iFunc, request.iUnit, request.iUnit, aby[0], aby[1], aby[2],
                 aby[3], aby[4], aby[5], aby[6], aby[7]);
    } else {
        LogWrite(MODNAME, LOG_DEBUG,
                 "Reply query (len=%d, func=%02X), %02X %02X %02X %02X %02X %02X %02X %02X\n",
                 request.iAduLen, iFunc, aby[0], aby[1], aby[2], aby[3], aby[4], aby[5], aby[6],
                 aby[7]);
    }
    // Address and quantity must have been received, not taken from the fill.
    if (request.iPduLen < 5)
        return;
    const uint8_t* pPdu = request.pPdu;
    const int iAddr = Word(pPdu + 1);
    const int iQuantity = Word(pPdu + 3);
    switch (iFunc) {
    case MODBUS_FC_READ_HOLDING_REGISTERS:
    case MODBUS_FC_READ_INPUT_REGISTERS:
        ReportRead(iAddr, iQuantity);
        break;
    case MODBUS_FC_WRITE_SINGLE_REGISTER:
    // Mask write changes one register too; without the access rules a master
    // could change read-only registers with it.
    case MODBUS_FC_MASK_WRITE_REGISTER:
        ReportWrite(iAddr, 1, bWritten);
        break;
    case MODBUS_FC_WRITE_MULTIPLE_REGISTERS:
        ReportWrite(iAddr, iQuantity, bWritten);
        break;
    case MODBUS_FC_WRITE_AND_READ_REGISTERS:
        // Read address and quantity, then write address and quantity; the
        // write is executed before the read.
        if (request.iPduLen >= 9) {
            ReportWrite(Word(pPdu + 5), Word(pPdu + 7), bWritten);
            ReportRead(iAddr, iQuantity);
        }
        break;
    default:
        break;
    }
}

void CRequestHandler::ReportRead(int iAddr, int iLen)
{
    LogWrite(MODNAME, LOG_DEBUG, "Query: Read register, addr=%d, len=%d\n", iAddr, iLen);
    if (!m_bEvents)
        return;
    cJSON* pEvent = cJSON_CreateObject();
    cJSON* pRead = cJSON_AddObjectToObject(pEvent, "mbread");
    cJSON_AddNumberToObject(pRead, PLINTHD_KEY_ADDRESS, iAddr);
    cJSON_AddNumberToObject(pRead, PLINTHD_KEY_LENGTH, iLen);
    cJSON_AddStringToObject(pEvent, "type", "mbread");
    SendEventSignal(pEvent);
    cJSON_Delete(pEvent);
}

void CRequestHandler::ReportWrite(int iAddr, int iLen, bool bWritten)
{
    LogWrite(MODNAME, LOG_DEBUG, "Query: write register, addr=%d, len=%d\n", iAddr, iLen);
    // A refused write reached no register: applying the rules would copy the
    // Modbus side of a "w" register over the controller's value.
    int iVisited =
        bWritten
            ? m_regs.ApplyMasterWrite(iAddr, iLen)
            : static_cast<int>(std::max<long long>(
                  0, std::min<long long>(iLen, static_cast<long long>(m_regs.Length()) - iAddr)));
    if (iVisited > 0) {
        RegZone_t zone;
        zone.iAddress = iAddr;
        zone.iLength = iVisited;
        SendDataSignal(zone);
    }
}

void CRequestHandler::ReportClient(const char* pszType, const TcpClient_t& client)
{
    if (!m_bEvents)
        return;
    cJSON* pEvent = cJSON_CreateObject();
    cJSON* pClient = cJSON_AddObjectToObject(pEvent, "tcpclient");
    cJSON_AddStringToObject(pClient, "ip", client.sIp.c_str());
    cJSON_AddNumberToObject(pClient, PLINTHD_KEY_PORT, client.iPort);
    cJSON_AddStringToObject(pEvent, "type", pszType);
    SendEventSignal(pEvent);
    cJSON_Delete(pEvent);
}

void CRequestHandler::SendDataSignal(const RegZone_t& zone)
{
    LogWrite("plinthd", LOG_DEBUG, "SendModbusDataSignal");
    if (!m_signals.Wanted())
        return;
    // Sent after every master write, so the text is written directly (in the
    // indented form of JsonPrintIndented) rather than built as a JSON tree.
    std::string sText = "[\n\t{\n\t\t\"address\": ";
    sText += std::to_string(zone.iAddress);
    sText += ",\n\t\t\"values\": ";
    if (zone.iLength <= 0) {
        sText += "[]";
    } else {
        sText += "\n\t\t[";
        for (int i = 0; i < zone.iLength; i++) {
            sText += "\n\t\t\t";
            sText += std::to_string(m_regs.BackendValue(static_cast<long long>(zone.iAddress) + i));
            if (i + 1 < zone.iLength)
                sText += ',';
        }
        sText += "\n\t\t]";
    }
    sText += "\n\t}\n]";
    m_signals.Send("data", std::move(sText), "Message 'modbus data' sent");
}

void CRequestHandler::SendEventSignal(const cJSON* pEvent)
{
    LogWrite("plinthd", LOG_DEBUG, "SendModbusEventSignal");
    if (m_signals.Wanted())
        m_signals.Send("event", JsonPrintIndented(pEvent), "Message 'modbus event' sent");
}
