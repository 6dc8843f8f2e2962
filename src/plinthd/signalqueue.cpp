#include "signalqueue.h"

#include <dbus/dbus.h>
#include <syslog.h>

#include "log.h"
#include "plinthdiface.h"

#define MODNAME "MBSRV "

CSignalQueue::CSignalQueue(std::function<DBusConnection*()> connection)
    : m_connection(std::move(connection))
{
}

void CSignalQueue::EndRound()
{
    m_bInRound = false;
    for (const Pending_t& signal : m_vPending)
        Emit(signal.pszMember, signal.sText, signal.pszSentLog);
    m_vPending.clear();
}

std::vector<std::string> CSignalQueue::TakePending()
{
    std::vector<std::string> vTexts;
    for (Pending_t& signal : m_vPending)
        vTexts.push_back(std::move(signal.sText));
    m_vPending.clear();
    return vTexts;
}

void CSignalQueue::Send(const char* pszMember, std::string sText, const char* pszSentLog)
{
    if (m_bInRound) {
        // The text is final (it shows the registers as they are now); it
        // goes out once every master served in this round has its answer.
        m_vPending.push_back({pszMember, std::move(sText), pszSentLog});
        return;
    }
    Emit(pszMember, sText, pszSentLog);
}

void CSignalQueue::Emit(const char* pszMember, const std::string& sText, const char* pszSentLog)
{
    DBusConnection* pConn = m_connection();
    if (pConn == nullptr)
        return;
    DBusMessage* pMsg = dbus_message_new_signal(DBUS_OBJECT_PATH, PLINTHD_INTERFACE, pszMember);
    if (pMsg == nullptr) {
        LogWrite(MODNAME, LOG_ERR, "Ran out of memory while queueing message");
        return;
    }
    const char* pszText = sText.c_str();
    if (!dbus_message_append_args(pMsg, DBUS_TYPE_STRING, &pszText, DBUS_TYPE_INVALID)) {
        LogWrite(MODNAME, LOG_ERR, "Ran out of memory while constructing args");
    } else if (!dbus_connection_send(pConn, pMsg, nullptr)) {
        LogWrite(MODNAME, LOG_ERR, "Ran out of memory while queueing message");
    } else {
        // Queued, not flushed: libdbus writes what the socket takes at once
        // and the loop writes the rest when the bus socket is writable, so a
        // slow listener never holds up the masters.
        LogWrite(MODNAME, LOG_DEBUG, "%s", pszSentLog);
    }
    dbus_message_unref(pMsg);
}
