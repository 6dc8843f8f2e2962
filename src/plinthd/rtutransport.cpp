#include "rtutransport.h"

#include <cJSON.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/timerfd.h>
#include <syslog.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "log.h"
#include "plinthdiface.h"
#include "requesthandler.h"
#include "waitlist.h"

#define MODNAME "MBSRV "

namespace
{

// Above this rate the silences are fixed, so that a fast line does not ask
// for pauses shorter than a receiver can measure.
constexpr int MB_RTU_FIXED_TIMING_BAUD = 19200;
constexpr long MB_RTU_FIXED_T15_US = 750;
constexpr long MB_RTU_FIXED_T35_US = 1750;

long long MonotonicNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

} // namespace

CRtuTransport::CRtuTransport(CWaitList& waitList, CRequestHandler& handler, ModbusStat_t& stat)
    : m_waitList(waitList), m_handler(handler), m_stat(stat)
{
}

CRtuTransport::~CRtuTransport()
{
    Close();
}

RtuTiming_t CRtuTransport::Timing(int iBaud, int iDataBits, char cParity, int iStopBits)
{
    RtuTiming_t timing;
    if (iBaud <= 0)
        iBaud = 9600;
    const char cLower = static_cast<char>(tolower(static_cast<unsigned char>(cParity)));
    const int iBits = 1 + iDataBits + (cLower == 'e' || cLower == 'o' ? 1 : 0) + iStopBits;
    timing.lCharUs = (static_cast<long>(iBits) * 1000000L + iBaud - 1) / iBaud;
    if (iBaud > MB_RTU_FIXED_TIMING_BAUD) {
        timing.lT15Us = MB_RTU_FIXED_T15_US;
        timing.lT35Us = MB_RTU_FIXED_T35_US;
    } else {
        timing.lT15Us = (static_cast<long>(iBits) * 1500000L + iBaud - 1) / iBaud;
        timing.lT35Us = (static_cast<long>(iBits) * 3500000L + iBaud - 1) / iBaud;
    }
    return timing;
}

uint16_t CRtuTransport::Crc16(const uint8_t* pData, int iLen)
{
    uint16_t usCrc = 0xFFFF;
    for (int i = 0; i < iLen; i++) {
        usCrc ^= pData[i];
        for (int b = 0; b < 8; b++)
            usCrc = (usCrc & 1) ? static_cast<uint16_t>((usCrc >> 1) ^ 0xA001)
                                : static_cast<uint16_t>(usCrc >> 1);
    }
    return usCrc;
}

int CRtuTransport::Open(const ModbusRtuConfig_t& cfg)
{
    if (m_pCtx != nullptr)
        return DBUS_ERR_INVALID_STATE;
    // The library only knows the upper-case parity letters.
    char cParity = static_cast<char>(toupper(static_cast<unsigned char>(cfg.cParity)));
    m_pCtx =
        modbus_new_rtu(cfg.sDevice.c_str(), cfg.iBaudrate, cParity, cfg.iDataBits, cfg.iStopBits);
    if (m_pCtx == nullptr) {
        LogWrite(MODNAME, LOG_ERR, "Failed to allocate to open Modbus RTU: %s",
                 modbus_strerror(errno));
        return MBSRV_ERR_OPEN;
    }
    m_iUnit = cfg.iMbDevId < 1 ? 1 : cfg.iMbDevId;
    int iSlaveRet = modbus_set_slave(m_pCtx, m_iUnit);
    if (iSlaveRet != 0)
        LogWrite(MODNAME, LOG_DEBUG, "Unable to set slav ID %s", modbus_strerror(errno));

    if (modbus_connect(m_pCtx) != 0) {
        LogWrite(MODNAME, LOG_ERR, "Unable to connect %s\n", modbus_strerror(errno));
        return MBSRV_ERR_OPEN;
    }
    m_iFD = modbus_get_socket(m_pCtx);

    // RS-485 mode can only be set on an open port; a port without RS-485
    // support (a USB adapter, a pseudo-terminal) stays in RS-232 mode. The
    // driver then switches the line's direction for each answer.
    int iMode = modbus_rtu_get_serial_mode(m_pCtx);
    if (iMode >= 0) {
        LogWrite(MODNAME, LOG_INFO, "Current serial mode %d", iMode);
    } else {
        LogWrite(MODNAME, LOG_DEBUG, "Unable to get RS-485 mode %s", modbus_strerror(errno));
    }
    if (modbus_rtu_set_serial_mode(m_pCtx, MODBUS_RTU_RS485) != 0)
        LogWrite(MODNAME, LOG_DEBUG, "Unable to set RS-485 mode %s", modbus_strerror(errno));

    int iFlags = 0;
    if (ioctl(m_iFD, TIOCMGET, &iFlags) == 0) {
        iFlags &= ~TIOCM_DTR;
        ioctl(m_iFD, TIOCMSET, &iFlags);
    }
    // Bytes are taken as they come; the loop never waits on the port.
    fcntl(m_iFD, F_SETFL, fcntl(m_iFD, F_GETFL) | O_NONBLOCK);
    m_iTimerFD = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (m_iTimerFD < 0) {
        LogWrite(MODNAME, LOG_ERR, "Unable to create the frame timer: %s", strerror(errno));
        return MBSRV_ERR_OPEN;
    }
    m_timing = Timing(cfg.iBaudrate, cfg.iDataBits, cfg.cParity, cfg.iStopBits);
    m_sDevice = cfg.sDevice;
    m_client = ClientStat_t();
    m_client.llSince = static_cast<long long>(time(nullptr));
    m_iFrameLen = 0;
    m_bOverflow = m_bBroken = m_bPaused = false;
    m_waitList.Watch(m_iFD, POLLIN);
    m_waitList.Watch(m_iTimerFD, POLLIN);
    LogWrite(MODNAME, LOG_DEBUG, "modbus RTU init done");
    return iSlaveRet;
}

void CRtuTransport::Close()
{
    if (m_iTimerFD >= 0) {
        m_waitList.Unwatch(m_iTimerFD);
        close(m_iTimerFD);
        m_iTimerFD = -1;
    }
    if (m_iFD >= 0)
        m_waitList.Unwatch(m_iFD);
    if (m_pCtx != nullptr) {
        modbus_close(m_pCtx);
        modbus_free(m_pCtx);
        m_pCtx = nullptr;
    }
    m_iFD = -1;
    m_iFrameLen = 0;
}

void CRtuTransport::Unwatch()
{
    if (m_iFD >= 0)
        m_waitList.Unwatch(m_iFD);
}

bool CRtuTransport::Serve(int iFD)
{
    if (m_pCtx == nullptr || iFD < 0)
        return false;
    if (iFD == m_iFD) {
        ReadLine();
        return true;
    }
    if (iFD == m_iTimerFD) {
        OnTimer();
        return true;
    }
    return false;
}

bool CRtuTransport::ReadLine()
{
    bool bGot = false;
    uint8_t abyChunk[MB_RTU_MAX_ADU];
    for (;;) {
        ssize_t n = read(m_iFD, abyChunk, sizeof(abyChunk));
        if (n <= 0)
            break;
        bGot = true;
        // Bytes after a pause longer than t1.5 (but shorter than t3.5, or the
        // frame would have ended) belong to a broken frame.
        if (m_iFrameLen > 0 && m_bPaused)
            m_bBroken = true;
        m_bPaused = false;
        for (ssize_t i = 0; i < n; i++) {
            if (m_iFrameLen < MB_RTU_MAX_ADU)
                m_abyFrame[m_iFrameLen++] = abyChunk[i];
            else
                m_bOverflow = true;
        }
        m_client.ullBytesIn += static_cast<uint64_t>(n);
    }
    if (bGot) {
        m_llLastReadNs = MonotonicNs();
        ArmTimer(m_timing.lT15Us);
    }
    return bGot;
}

void CRtuTransport::OnTimer()
{
    uint64_t ullExpired = 0;
    if (read(m_iTimerFD, &ullExpired, sizeof(ullExpired)) != sizeof(ullExpired))
        return;
    // Bytes that arrived meanwhile continue the frame. The time of the last
    // read is never earlier than the last byte's arrival, so finding the
    // port empty here proves a silence at least as long as the timer's.
    if (ReadLine() || m_iFrameLen == 0)
        return;
    if (!m_bPaused) {
        m_bPaused = true;
        ArmTimer(m_timing.lT35Us);
        return;
    }
    EndFrame();
}

void CRtuTransport::ArmTimer(long lDelayUs)
{
    long long llDue = m_llLastReadNs + static_cast<long long>(lDelayUs) * 1000LL;
    itimerspec due;
    memset(&due, 0, sizeof(due));
    due.it_value.tv_sec = static_cast<time_t>(llDue / 1000000000LL);
    due.it_value.tv_nsec = static_cast<long>(llDue % 1000000000LL);
    timerfd_settime(m_iTimerFD, TFD_TIMER_ABSTIME, &due, nullptr);
}

void CRtuTransport::EndFrame()
{
    uint8_t abyFrame[MB_RTU_MAX_ADU];
    const int iLen = m_iFrameLen;
    const bool bBroken = m_bBroken, bOverflow = m_bOverflow;
    memcpy(abyFrame, m_abyFrame, static_cast<size_t>(iLen));
    m_iFrameLen = 0;
    m_bBroken = m_bOverflow = m_bPaused = false;
    if (bBroken || bOverflow) {
        m_stat.ErrorRx++;
        LogWrite(MODNAME, LOG_WARNING, "RTU frame of %d bytes %s, discarded\n", iLen,
                 bBroken ? "with a pause inside" : "too long");
        return;
    }
    HandleFrame(abyFrame, iLen);
}

void CRtuTransport::HandleFrame(const uint8_t* pFrame, int iLen)
{
    if (iLen < 4) {
        m_stat.ErrorRx++;
        LogWrite(MODNAME, LOG_WARNING, "RTU frame of %d bytes too short, discarded\n", iLen);
        return;
    }
    const uint16_t usCrc = static_cast<uint16_t>(pFrame[iLen - 2] | (pFrame[iLen - 1] << 8));
    if (Crc16(pFrame, iLen - 2) != usCrc) {
        m_stat.ErrorRx++;
        LogWrite(MODNAME, LOG_WARNING, "RTU frame with a bad CRC, dropped\n");
        return;
    }
    const int iUnit = pFrame[0];
    if (iUnit != m_iUnit && iUnit != MODBUS_BROADCAST_ADDRESS) {
        // Another unit's request or answer: nothing to wait for.
        LogWrite(MODNAME, LOG_DEBUG, "RTU frame for unit %d ignored\n", iUnit);
        return;
    }
    m_stat.ValidRx++;
    m_client.uiRequests++;
    MbRequest_t request;
    request.iUnit = iUnit;
    request.pPdu = pFrame + 1;
    request.iPduLen = iLen - 3;
    request.iAduLen = iLen;
    request.bRtu = true;
    uint8_t abyRsp[1 + MB_MAX_ANSWER_PDU];
    bool bException = false;
    const int iAnswer = m_handler.Handle(request, abyRsp + 1, bException);
    if (bException)
        m_client.uiExceptions++;
    // A broadcast is never answered.
    if (iAnswer < 1 || iUnit == MODBUS_BROADCAST_ADDRESS || m_pCtx == nullptr)
        return;
    abyRsp[0] = static_cast<uint8_t>(iUnit);
    // libmodbus adds the CRC and drives the line.
    int iSent = modbus_send_raw_request(m_pCtx, abyRsp, iAnswer + 1);
    if (iSent > 0) {
        m_stat.ValidTx++;
        m_client.ullBytesOut += static_cast<uint64_t>(iSent);
    } else {
        m_stat.ErrorTx++;
        LogWrite(MODNAME, LOG_WARNING, "Reply error %s\n", modbus_strerror(errno));
    }
}

void CRtuTransport::AddClientToStatus(cJSON* pArray) const
{
    cJSON* pClient = cJSON_CreateObject();
    cJSON_AddStringToObject(pClient, "device", m_sDevice.c_str());
    cJSON_AddNumberToObject(pClient, "requests", m_client.uiRequests);
    cJSON_AddNumberToObject(pClient, "exceptions", m_client.uiExceptions);
    cJSON_AddNumberToObject(pClient, "bytesin", static_cast<double>(m_client.ullBytesIn));
    cJSON_AddNumberToObject(pClient, "bytesout", static_cast<double>(m_client.ullBytesOut));
    cJSON_AddNumberToObject(pClient, "since", static_cast<double>(m_client.llSince));
    cJSON_AddItemToArray(pArray, pClient);
}
