#include "requesthandler.h"

#include <cJSON.h>
#include <modbus/modbus.h>
#include <syslog.h>

#include <algorithm>
#include <cstring>
#include <string>

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

// ---------------------------------------------------------------------------
// Checks: 0, or the exception code. iLen is the PDU's length, the function
// code included; iBits and iRegisters are what is served.

int CheckReadBits(const uint8_t* pPdu, int iLen, int iBits, int)
{
    if (iLen != 5)
        return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
    int iQuantity = Word(pPdu + 3);
    if (iQuantity < 1 || iQuantity > MB_MAX_READ_BITS)
        return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
    return CheckRange(Word(pPdu + 1), iQuantity, iBits);
}

int CheckReadRegisters(const uint8_t* pPdu, int iLen, int, int iRegisters)
{
    if (iLen != 5)
        return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
    int iQuantity = Word(pPdu + 3);
    if (iQuantity < 1 || iQuantity > MB_MAX_READ_REGISTERS)
        return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
    return CheckRange(Word(pPdu + 1), iQuantity, iRegisters);
}

int CheckWriteCoil(const uint8_t* pPdu, int iLen, int iBits, int)
{
    if (iLen != 5)
        return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
    int iValue = Word(pPdu + 3);
    if (iValue != 0x0000 && iValue != 0xFF00)
        return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
    return CheckRange(Word(pPdu + 1), 1, iBits);
}

int CheckWriteRegister(const uint8_t* pPdu, int iLen, int, int iRegisters)
{
    if (iLen != 5)
        return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
    return CheckRange(Word(pPdu + 1), 1, iRegisters);
}

int CheckWriteCoils(const uint8_t* pPdu, int iLen, int iBits, int)
{
    if (iLen < 6)
        return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
    int iQuantity = Word(pPdu + 3);
    int iBytes = pPdu[5];
    if (iQuantity < 1 || iQuantity > MB_MAX_WRITE_BITS || iBytes != (iQuantity + 7) / 8 ||
        iLen != 6 + iBytes)
        return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
    return CheckRange(Word(pPdu + 1), iQuantity, iBits);
}

int CheckWriteRegisters(const uint8_t* pPdu, int iLen, int, int iRegisters)
{
    if (iLen < 6)
        return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
    int iQuantity = Word(pPdu + 3);
    int iBytes = pPdu[5];
    if (iQuantity < 1 || iQuantity > MB_MAX_WRITE_REGISTERS || iBytes != 2 * iQuantity ||
        iLen != 6 + iBytes)
        return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
    return CheckRange(Word(pPdu + 1), iQuantity, iRegisters);
}

int CheckReportServerId(const uint8_t*, int iLen, int, int)
{
    return iLen == 1 ? 0 : MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
}

int CheckMaskWrite(const uint8_t* pPdu, int iLen, int, int iRegisters)
{
    if (iLen != 7)
        return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
    return CheckRange(Word(pPdu + 1), 1, iRegisters);
}

int CheckWriteAndRead(const uint8_t* pPdu, int iLen, int, int iRegisters)
{
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

// ---------------------------------------------------------------------------
// Execution of a checked request, in two steps: the write into the Modbus
// side of the block, then (after the access rules were applied to it) the
// answer, built from the registers as they then stand. The function code of
// the answer is set by the caller.

void WriteCoil(modbus_mapping_t* pMap, const uint8_t* pPdu)
{
    pMap->tab_bits[Word(pPdu + 1)] = Word(pPdu + 3) == 0xFF00 ? 1 : 0;
}

void WriteRegister(modbus_mapping_t* pMap, const uint8_t* pPdu)
{
    pMap->tab_registers[Word(pPdu + 1)] = static_cast<uint16_t>(Word(pPdu + 3));
}

void WriteCoils(modbus_mapping_t* pMap, const uint8_t* pPdu)
{
    const int iAddr = Word(pPdu + 1);
    const int iQuantity = Word(pPdu + 3);
    for (int i = 0; i < iQuantity; i++)
        pMap->tab_bits[iAddr + i] = (pPdu[6 + i / 8] >> (i % 8)) & 1;
}

void WriteRegisters(modbus_mapping_t* pMap, const uint8_t* pPdu)
{
    const int iAddr = Word(pPdu + 1);
    const int iQuantity = Word(pPdu + 3);
    for (int i = 0; i < iQuantity; i++)
        pMap->tab_registers[iAddr + i] = static_cast<uint16_t>(Word(pPdu + 6 + 2 * i));
}

void MaskWrite(modbus_mapping_t* pMap, const uint8_t* pPdu)
{
    const int iAnd = Word(pPdu + 3);
    const int iOr = Word(pPdu + 5);
    uint16_t& usReg = pMap->tab_registers[Word(pPdu + 1)];
    usReg = static_cast<uint16_t>((usReg & iAnd) | (iOr & ~iAnd));
}

// The write part of a write-and-read.
void WriteForRead(modbus_mapping_t* pMap, const uint8_t* pPdu)
{
    const int iWriteAddr = Word(pPdu + 5);
    const int iWriteQuantity = Word(pPdu + 7);
    for (int i = 0; i < iWriteQuantity; i++)
        pMap->tab_registers[iWriteAddr + i] = static_cast<uint16_t>(Word(pPdu + 10 + 2 * i));
}

int AnswerBits(const uint8_t* pBits, const uint8_t* pPdu, uint8_t* pAnswer)
{
    const int iAddr = Word(pPdu + 1);
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

int AnswerRegisters(const uint16_t* pRegs, int iAddr, int iQuantity, uint8_t* pAnswer)
{
    pAnswer[1] = static_cast<uint8_t>(2 * iQuantity);
    for (int i = 0; i < iQuantity; i++)
        PutWord(pAnswer + 2 + 2 * i, pRegs[iAddr + i]);
    return 2 + 2 * iQuantity;
}

int AnswerCoils(const modbus_mapping_t* pMap, const uint8_t* pPdu, uint8_t* pAnswer)
{
    return AnswerBits(pMap->tab_bits, pPdu, pAnswer);
}

int AnswerDiscreteInputs(const modbus_mapping_t* pMap, const uint8_t* pPdu, uint8_t* pAnswer)
{
    return AnswerBits(pMap->tab_input_bits, pPdu, pAnswer);
}

int AnswerHoldingRegisters(const modbus_mapping_t* pMap, const uint8_t* pPdu, uint8_t* pAnswer)
{
    return AnswerRegisters(pMap->tab_registers, Word(pPdu + 1), Word(pPdu + 3), pAnswer);
}

int AnswerInputRegisters(const modbus_mapping_t* pMap, const uint8_t* pPdu, uint8_t* pAnswer)
{
    return AnswerRegisters(pMap->tab_input_registers, Word(pPdu + 1), Word(pPdu + 3), pAnswer);
}

// The answer of the writes that echo the request's address and quantity or value.
int AnswerEcho5(const modbus_mapping_t*, const uint8_t* pPdu, uint8_t* pAnswer)
{
    memcpy(pAnswer, pPdu, 5);
    return 5;
}

int AnswerEcho7(const modbus_mapping_t*, const uint8_t* pPdu, uint8_t* pAnswer)
{
    memcpy(pAnswer, pPdu, 7);
    return 7;
}

int AnswerServerId(const modbus_mapping_t*, const uint8_t*, uint8_t* pAnswer)
{
    const size_t uiIdent = sizeof(MB_IDENTIFICATION) - 1;
    pAnswer[2] = MB_REPORT_SLAVE_ID_BYTE;
    pAnswer[3] = MB_RUN_INDICATOR_ON;
    memcpy(pAnswer + 4, MB_IDENTIFICATION, uiIdent);
    pAnswer[1] = static_cast<uint8_t>(2 + uiIdent);
    return 4 + static_cast<int>(uiIdent);
}

// The read part of a write-and-read.
int AnswerWriteAndRead(const modbus_mapping_t* pMap, const uint8_t* pPdu, uint8_t* pAnswer)
{
    return AnswerRegisters(pMap->tab_registers, Word(pPdu + 1), Word(pPdu + 3), pAnswer);
}

// ---------------------------------------------------------------------------
// The function table

typedef struct MbFunction_s {
    uint8_t ucCode;
    MbTable_t eTable;
    // Whether the request is well formed and within what is served.
    int (*pfnCheck)(const uint8_t* pPdu, int iLen, int iBits, int iRegisters);
    // Where the PDU names what it reads and writes: the byte offset of the
    // read address and of the write address, 0 for none, each followed by
    // its quantity unless the write is of one address; and the PDU length
    // that holds them (a refused request is reported from what was
    // received).
    uint8_t ucReadAt;
    uint8_t ucWriteAt;
    bool bWriteOne;
    uint8_t ucReachLen;
    // Its write into the Modbus side; null for a function that writes nothing.
    void (*pfnWrite)(modbus_mapping_t* pMap, const uint8_t* pPdu);
    // Its answer after the function code; returns the answer's length.
    int (*pfnAnswer)(const modbus_mapping_t* pMap, const uint8_t* pPdu, uint8_t* pAnswer);
    // Whether its register reads and writes are reported to the controller
    // (the "data" and "event" signals, the access rules for writes). Mask
    // write changes one register too: without the rules a master could
    // change read-only registers with it.
    bool bReported;
} MbFunction_t;

// Function 7, 8 and the other serial-line diagnostics, file records, FIFO
// reads, encapsulated transport and anything unknown are not here: they are
// answered with exception 01.
constexpr MbFunction_t s_aFunctions[] = {
    {MODBUS_FC_READ_COILS, MB_TABLE_BITS, CheckReadBits, 1, 0, false, 5, nullptr, AnswerCoils,
     false},
    {MODBUS_FC_READ_DISCRETE_INPUTS, MB_TABLE_BITS, CheckReadBits, 1, 0, false, 5, nullptr,
     AnswerDiscreteInputs, false},
    {MODBUS_FC_READ_HOLDING_REGISTERS, MB_TABLE_REGISTERS, CheckReadRegisters, 1, 0, false, 5,
     nullptr, AnswerHoldingRegisters, true},
    {MODBUS_FC_READ_INPUT_REGISTERS, MB_TABLE_REGISTERS, CheckReadRegisters, 1, 0, false, 5,
     nullptr, AnswerInputRegisters, true},
    {MODBUS_FC_WRITE_SINGLE_COIL, MB_TABLE_BITS, CheckWriteCoil, 0, 1, true, 5, WriteCoil,
     AnswerEcho5, false},
    {MODBUS_FC_WRITE_SINGLE_REGISTER, MB_TABLE_REGISTERS, CheckWriteRegister, 0, 1, true, 5,
     WriteRegister, AnswerEcho5, true},
    {MODBUS_FC_WRITE_MULTIPLE_COILS, MB_TABLE_BITS, CheckWriteCoils, 0, 1, false, 5, WriteCoils,
     AnswerEcho5, false},
    {MODBUS_FC_WRITE_MULTIPLE_REGISTERS, MB_TABLE_REGISTERS, CheckWriteRegisters, 0, 1, false, 5,
     WriteRegisters, AnswerEcho5, true},
    {MODBUS_FC_REPORT_SLAVE_ID, MB_TABLE_NONE, CheckReportServerId, 0, 0, false, 1, nullptr,
     AnswerServerId, false},
    {MODBUS_FC_MASK_WRITE_REGISTER, MB_TABLE_REGISTERS, CheckMaskWrite, 0, 1, true, 5, MaskWrite,
     AnswerEcho7, true},
    // The write comes first, and the access rules with it, so the read part
    // answers what the registers hold afterwards, as a later read would.
    {MODBUS_FC_WRITE_AND_READ_REGISTERS, MB_TABLE_REGISTERS, CheckWriteAndRead, 1, 5, false, 9,
     WriteForRead, AnswerWriteAndRead, true},
};
constexpr int FUNCTION_COUNT = static_cast<int>(sizeof(s_aFunctions) / sizeof(s_aFunctions[0]));

// Function code -> table entry + 1 (0: not served), so that finding the
// entry costs one load whatever the code.
struct FunctionIndex_t {
    uint8_t auc[256];
    constexpr FunctionIndex_t() : auc{}
    {
        for (int i = 0; i < FUNCTION_COUNT; i++)
            auc[s_aFunctions[i].ucCode] = static_cast<uint8_t>(i + 1);
    }
};
constexpr FunctionIndex_t s_index;

inline const MbFunction_t* FindFunction(uint8_t ucCode)
{
    const int i = s_index.auc[ucCode];
    return i != 0 ? &s_aFunctions[i - 1] : nullptr;
}

inline MbReach_t ReachOf(const MbFunction_t* pFunction, const uint8_t* pPdu, int iLen)
{
    MbReach_t reach;
    reach.iFunction = pPdu[0];
    if (pFunction == nullptr)
        return reach;
    reach.eTable = pFunction->eTable;
    if (iLen < pFunction->ucReachLen)
        return reach;
    if (pFunction->ucReadAt != 0) {
        const uint8_t* p = pPdu + pFunction->ucReadAt;
        reach.bRead = true;
        reach.read = {Word(p), Word(p + 2)};
    }
    if (pFunction->ucWriteAt != 0) {
        const uint8_t* p = pPdu + pFunction->ucWriteAt;
        reach.bWrite = true;
        reach.write = {Word(p), pFunction->bWriteOne ? 1 : Word(p + 2)};
    }
    return reach;
}

} // namespace

CRequestHandler::CRequestHandler(CRegisterBlock& regs, CSignalQueue& signals)
    : m_regs(regs), m_signals(signals)
{
}

int CRequestHandler::Check(const uint8_t* pPdu, int iLen, int iBits, int iRegisters)
{
    const MbFunction_t* pFunction = FindFunction(pPdu[0]);
    if (pFunction == nullptr)
        return MODBUS_EXCEPTION_ILLEGAL_FUNCTION;
    return pFunction->pfnCheck(pPdu, iLen, iBits, iRegisters);
}

MbReach_t CRequestHandler::Reach(const uint8_t* pPdu, int iLen)
{
    if (pPdu == nullptr || iLen < 1)
        return MbReach_t();
    return ReachOf(FindFunction(pPdu[0]), pPdu, iLen);
}

int CRequestHandler::Handle(const MbRequest_t& request, uint8_t* pAnswer, bool& bException,
                            const CRequestPermit* pPermit)
{
    bException = false;
    if (request.pPdu == nullptr || request.iPduLen < 1)
        return 0;
    const uint8_t* pPdu = request.pPdu;
    const MbFunction_t* pFunction = FindFunction(pPdu[0]);
    const MbReach_t reach = ReachOf(pFunction, pPdu, request.iPduLen);
    const MbReach_t* pReported = pFunction != nullptr && pFunction->bReported ? &reach : nullptr;
    int iCode = 0;
    if (!m_regs.IsBuilt())
        iCode = MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE;
    else if (pFunction == nullptr)
        iCode = MODBUS_EXCEPTION_ILLEGAL_FUNCTION;
    else
        iCode = pFunction->pfnCheck(pPdu, request.iPduLen, MB_BIT_COUNT, m_regs.Length());
    // The one place where a request may be refused for who sent it: it is
    // well formed and within the block, nothing has run yet, and its reach
    // says which table and addresses it would read or write.
    if (iCode == 0 && pPermit != nullptr)
        iCode = pPermit->Permit(request, reach);
    if (iCode != 0) {
        bException = true;
        // Bit 7 marks the answer as an exception; a function code that has
        // it already keeps it.
        pAnswer[0] = static_cast<uint8_t>(pPdu[0] | 0x80);
        pAnswer[1] = static_cast<uint8_t>(iCode);
        LogWrite(MODNAME, LOG_DEBUG, "Exception %d for function %02X\n", iCode, pPdu[0]);
        // Reported as before; a refused write changed nothing.
        PostProcess(request, pReported, false);
        return 2;
    }
    modbus_mapping_t* pMap = m_regs.Mapping();
    if (pFunction->pfnWrite != nullptr)
        pFunction->pfnWrite(pMap, pPdu);
    PostProcess(request, pReported, true);
    pAnswer[0] = pPdu[0];
    return pFunction->pfnAnswer(pMap, pPdu, pAnswer);
}

void CRequestHandler::PostProcess(const MbRequest_t& request, const MbReach_t* pReported,
                                  bool bWritten)
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
    if (pReported == nullptr)
        return;
    // Addresses and quantities as received, not taken from the fill; the
    // write is executed before the read, so it is reported first.
    if (pReported->bWrite)
        ReportWrite(pReported->write.iAddress, pReported->write.iQuantity, bWritten);
    if (pReported->bRead)
        ReportRead(pReported->read.iAddress, pReported->read.iQuantity);
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
