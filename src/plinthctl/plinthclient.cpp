#include "plinthclient.h"

#include "plinthdiface.h"

#include <chrono>
#include <cstring>

namespace
{

// Longest single wait inside libdbus, so a stop request is seen quickly.
const int SLICE_MS = 200;

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point tEnd)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(tEnd - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

std::string ErrorText(const DBusError& err)
{
    std::string s = err.name ? err.name : "unknown error";
    if (err.message && *err.message)
        s += std::string(": ") + err.message;
    return s;
}

} // namespace

bool IsBusString(const std::string& sText)
{
    if (sText.find('\0') != std::string::npos)
        return false;
    return dbus_validate_utf8(sText.c_str(), nullptr);
}

CPlinthClient::~CPlinthClient()
{
    if (m_pConn != nullptr) {
        dbus_connection_close(m_pConn);
        dbus_connection_unref(m_pConn);
    }
}

int CPlinthClient::Connect()
{
    DBusError err;
    dbus_error_init(&err);
    m_pConn = dbus_bus_get_private(DBUS_BUS_SYSTEM, &err);
    if (m_pConn == nullptr) {
        m_sError = "system bus not reachable: " + ErrorText(err);
        dbus_error_free(&err);
        return CTL_EXIT_ABSENT;
    }
    // A lost bus is reported like any other failure, never by libdbus
    // ending the process.
    dbus_connection_set_exit_on_disconnect(m_pConn, FALSE);
    return CTL_EXIT_OK;
}

int CPlinthClient::Call(const std::string& sJson, int iTimeoutMs, std::string& sReply)
{
    m_bNameMissing = false;
    DBusMessage* pMsg = dbus_message_new_method_call(PLINTHD_BUS_NAME, PLINTHD_OBJECT_PATH,
                                                     PLINTHD_INTERFACE, PLINTHD_METHOD_CMD);
    const char* pszText = sJson.c_str();
    if (pMsg == nullptr ||
        !dbus_message_append_args(pMsg, DBUS_TYPE_STRING, &pszText, DBUS_TYPE_INVALID)) {
        if (pMsg != nullptr)
            dbus_message_unref(pMsg);
        m_sError = "the call could not be built (out of memory)";
        return CTL_EXIT_REFUSED;
    }
    // Starting the daemon is the start script's decision, not the bus's.
    dbus_message_set_auto_start(pMsg, FALSE);

    DBusError err;
    dbus_error_init(&err);
    DBusMessage* pReply =
        dbus_connection_send_with_reply_and_block(m_pConn, pMsg, iTimeoutMs, &err);
    dbus_message_unref(pMsg);
    if (pReply == nullptr) {
        int iExit = CTL_EXIT_REFUSED;
        if (dbus_error_has_name(&err, DBUS_ERROR_SERVICE_UNKNOWN) ||
            dbus_error_has_name(&err, DBUS_ERROR_NAME_HAS_NO_OWNER)) {
            m_sError = std::string(PLINTHD_BUS_NAME " is not on the bus (") + ErrorText(err) + ")";
            m_bNameMissing = true;
            iExit = CTL_EXIT_ABSENT;
        } else if (dbus_error_has_name(&err, DBUS_ERROR_NO_REPLY) ||
                   dbus_error_has_name(&err, DBUS_ERROR_TIMEOUT) ||
                   dbus_error_has_name(&err, DBUS_ERROR_TIMED_OUT)) {
            m_sError =
                "no answer within " + std::to_string(iTimeoutMs) + " ms (" + ErrorText(err) + ")";
            iExit = CTL_EXIT_TIMEOUT;
        } else if (dbus_error_has_name(&err, DBUS_ERROR_DISCONNECTED)) {
            m_sError = "connection to the system bus lost (" + ErrorText(err) + ")";
            iExit = CTL_EXIT_ABSENT;
        } else {
            m_sError = ErrorText(err);
        }
        dbus_error_free(&err);
        return iExit;
    }

    const char* pszReply = nullptr;
    int iExit = CTL_EXIT_OK;
    if (dbus_message_get_args(pReply, &err, DBUS_TYPE_STRING, &pszReply, DBUS_TYPE_INVALID)) {
        sReply = pszReply;
    } else {
        m_sError = "the reply is not one string (" + ErrorText(err) + ")";
        dbus_error_free(&err);
        iExit = CTL_EXIT_REFUSED;
    }
    dbus_message_unref(pReply);
    return iExit;
}

int CPlinthClient::NameHasOwner()
{
    DBusError err;
    dbus_error_init(&err);
    dbus_bool_t bHas = dbus_bus_name_has_owner(m_pConn, PLINTHD_BUS_NAME, &err);
    if (dbus_error_is_set(&err)) {
        m_sError = "cannot ask the bus: " + ErrorText(err);
        dbus_error_free(&err);
        return -1;
    }
    return bHas ? 1 : 0;
}

bool CPlinthClient::AddMatch(const std::string& sRule)
{
    DBusError err;
    dbus_error_init(&err);
    dbus_bus_add_match(m_pConn, sRule.c_str(), &err);
    if (dbus_error_is_set(&err)) {
        m_sError = "cannot subscribe on the bus: " + ErrorText(err);
        dbus_error_free(&err);
        return false;
    }
    return true;
}

int CPlinthClient::WaitName(bool bOwned, int iTimeoutMs)
{
    const Clock::time_point tEnd = Clock::now() + std::chrono::milliseconds(iTimeoutMs);
    // Subscribed before asking, so a change in between is not missed.
    if (!AddMatch("type='signal',sender='" DBUS_SERVICE_DBUS "',interface='" DBUS_INTERFACE_DBUS
                  "',member='NameOwnerChanged',arg0='" PLINTHD_BUS_NAME "'"))
        return CTL_EXIT_ABSENT;
    int iHas = NameHasOwner();
    if (iHas < 0)
        return CTL_EXIT_ABSENT;
    bool bNow = iHas == 1;
    while (bNow != bOwned) {
        const int iLeft = RemainingMs(tEnd);
        if (iLeft == 0)
            return CTL_EXIT_TIMEOUT;
        if (!dbus_connection_read_write(m_pConn, iLeft < SLICE_MS ? iLeft : SLICE_MS)) {
            m_sError = "connection to the system bus lost";
            return CTL_EXIT_ABSENT;
        }
        while (DBusMessage* pMsg = dbus_connection_pop_message(m_pConn)) {
            const char* pszName = nullptr;
            const char* pszOld = nullptr;
            const char* pszNew = nullptr;
            if (dbus_message_is_signal(pMsg, DBUS_INTERFACE_DBUS, "NameOwnerChanged") &&
                dbus_message_get_args(pMsg, nullptr, DBUS_TYPE_STRING, &pszName, DBUS_TYPE_STRING,
                                      &pszOld, DBUS_TYPE_STRING, &pszNew, DBUS_TYPE_INVALID) &&
                std::strcmp(pszName, PLINTHD_BUS_NAME) == 0)
                bNow = *pszNew != '\0';
            dbus_message_unref(pMsg);
        }
    }
    return CTL_EXIT_OK;
}

int CPlinthClient::Watch(const std::function<bool(const char*, const char*)>& onSignal,
                         volatile const int* pbStop, int iTimeoutMs)
{
    const Clock::time_point tEnd = Clock::now() + std::chrono::milliseconds(iTimeoutMs);
    if (!AddMatch("type='signal',sender='" PLINTHD_BUS_NAME "',path='" PLINTHD_OBJECT_PATH
                  "',interface='" PLINTHD_INTERFACE "'"))
        return CTL_EXIT_ABSENT;
    for (;;) {
        while (DBusMessage* pMsg = dbus_connection_pop_message(m_pConn)) {
            const char* pszText = nullptr;
            bool bGoOn = true;
            if (dbus_message_get_type(pMsg) == DBUS_MESSAGE_TYPE_SIGNAL &&
                dbus_message_has_interface(pMsg, PLINTHD_INTERFACE) &&
                dbus_message_get_args(pMsg, nullptr, DBUS_TYPE_STRING, &pszText, DBUS_TYPE_INVALID))
                bGoOn = onSignal(dbus_message_get_member(pMsg), pszText);
            dbus_message_unref(pMsg);
            if (!bGoOn)
                return CTL_EXIT_OK;
        }
        if (pbStop != nullptr && *pbStop)
            return CTL_EXIT_OK;
        int iSlice = SLICE_MS;
        if (iTimeoutMs >= 0) {
            const int iLeft = RemainingMs(tEnd);
            if (iLeft == 0)
                return CTL_EXIT_TIMEOUT;
            if (iLeft < iSlice)
                iSlice = iLeft;
        }
        if (!dbus_connection_read_write(m_pConn, iSlice)) {
            m_sError = "connection to the system bus lost";
            return CTL_EXIT_ABSENT;
        }
    }
}
