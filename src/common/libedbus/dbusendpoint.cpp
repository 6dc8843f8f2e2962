#include "dbusendpoint.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <syslog.h>
#include <unistd.h>

#include "connection.h"
#include "log.h"
#include "plinthdjson.h"

namespace
{
const char* MOD_DBUS = "dbus ";
const char* MOD_CMD = "plinthd";
const int SEND_CMD_TIMEOUT_MS = 10000;

// Prints a cJSON value minified; the caller frees the text with cJSON_free.
char* PrintMinified(const cJSON* json)
{
    return json != nullptr ? cJSON_PrintUnformatted(json) : nullptr;
}
} // namespace

CDBusEndpoint::CDBusEndpoint(CDBusLoop& loop) : m_loop(loop) {}

CDBusEndpoint::~CDBusEndpoint()
{
    Release();
}

// ---------------------------------------------------------------------------
// Connection set-up and tear-down

int CDBusEndpoint::Init(const char* pszDestination, const char* szInterface, const char* psPath)
{
    m_psPath = psPath != nullptr ? psPath : "";
    m_sInterface = szInterface != nullptr ? szInterface : "";
    m_ProcStatus = ProcStatus_t();

    // libdbus aborts the process on malformed names, so they are checked here.
    if (pszDestination == nullptr || !dbus_validate_bus_name(pszDestination, nullptr) ||
        !dbus_validate_interface(m_sInterface.c_str(), nullptr) ||
        !dbus_validate_path(m_psPath.c_str(), nullptr)) {
        LogWrite(MOD_DBUS, LOG_ERR, "Invalid bus name, interface or object path '%s' '%s' '%s'",
                 pszDestination != nullptr ? pszDestination : "", m_sInterface.c_str(),
                 m_psPath.c_str());
        return RET_ERROR;
    }
    if (m_pDBusConn != nullptr)
        Release();

    DBusError err;
    dbus_error_init(&err);
    m_pDBusConn = dbus_bus_get_private(DBUS_BUS_SYSTEM, &err);
    if (dbus_error_is_set(&err)) {
        LogWrite(MOD_DBUS, LOG_ERR, "dbus_bus_get() %d failed: %s", DBUS_BUS_SYSTEM, err.message);
        dbus_error_free(&err);
        Release();
        return RET_ERROR;
    }
    if (m_pDBusConn == nullptr) {
        LogWrite(MOD_DBUS, LOG_ERR, "Can't open dbus connection %d", DBUS_BUS_SYSTEM);
        return RET_ERROR;
    }
    // libdbus would end the process with _exit(1) when the bus goes away,
    // unlogged and without closing anything; the loop is ended instead.
    dbus_connection_set_exit_on_disconnect(m_pDBusConn, FALSE);
    m_bBusLost = false;

    int iRet =
        dbus_bus_request_name(m_pDBusConn, pszDestination, DBUS_NAME_FLAG_ALLOW_REPLACEMENT, &err);
    if (dbus_error_is_set(&err)) {
        LogWrite(MOD_DBUS, LOG_ERR, "dbus_bus_request_name() %s failed: %s", pszDestination,
                 err.message);
        dbus_error_free(&err);
        Release();
        return RET_ERROR;
    }
    if (iRet <= 0) {
        LogWrite(MOD_DBUS, LOG_ERR, "Can't create destination name '%s' on bus!", pszDestination);
        Release();
        return RET_ERROR;
    }
    if (iRet == DBUS_REQUEST_NAME_REPLY_IN_QUEUE || iRet == DBUS_REQUEST_NAME_REPLY_EXISTS)
        LogWrite(MOD_DBUS, LOG_ERR, "Name '%s' is owned by another process; calls go there",
                 pszDestination);

    m_DBusCtx.conn = m_pDBusConn;
    m_DBusCtx.endpoint = this;
    m_DBusCtx.extra = nullptr;
    m_DBusCtx.watches.clear();

    if (!dbus_connection_set_watch_functions(m_pDBusConn, &CDBusEndpoint::WatchAdd,
                                             &CDBusEndpoint::WatchRemove,
                                             &CDBusEndpoint::WatchToggle, &m_DBusCtx, nullptr)) {
        LogWrite(MOD_DBUS, LOG_ERR, "dbus_connection_set_watch_functions() failed");
        Release();
        return RET_ERROR;
    }
    if (!dbus_connection_add_filter(m_pDBusConn, &CDBusEndpoint::FilterFunction, &m_DBusCtx,
                                    nullptr)) {
        LogWrite(MOD_DBUS, LOG_ERR, "dbus_connection_add_filter() failed");
        Release();
        return RET_ERROR;
    }
    m_bFilterAdded = true;

    DBusObjectPathVTable vtable;
    memset(&vtable, 0, sizeof(vtable));
    vtable.unregister_function = &CDBusEndpoint::PathUnregister;
    vtable.message_function = &CDBusEndpoint::PathMessage;
    if (!dbus_connection_try_register_object_path(m_pDBusConn, m_psPath.c_str(), &vtable,
                                                  &m_DBusCtx, &err)) {
        LogWrite(MOD_DBUS, LOG_ERR, "failed to register object path");
        if (dbus_error_is_set(&err))
            dbus_error_free(&err);
        Release();
        return RET_ERROR;
    }
    m_bPathRegistered = true;
    return RET_OK;
}

void CDBusEndpoint::Release()
{
    if (m_pDBusConn == nullptr)
        return;
    // Dropping the watch functions hands every watch back through WatchRemove,
    // which takes its descriptor out of the wait list.
    dbus_connection_set_watch_functions(m_pDBusConn, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (m_bPathRegistered) {
        if (!dbus_connection_unregister_object_path(m_pDBusConn, m_psPath.c_str()))
            LogWrite(MOD_DBUS, LOG_ERR, "failed to unregister object path %s", m_psPath.c_str());
        m_bPathRegistered = false;
    }
    if (m_bFilterAdded) {
        dbus_connection_remove_filter(m_pDBusConn, &CDBusEndpoint::FilterFunction, &m_DBusCtx);
        m_bFilterAdded = false;
    }
    dbus_connection_close(m_pDBusConn);
    dbus_connection_unref(m_pDBusConn);
    m_pDBusConn = nullptr;
    m_DBusCtx.conn = nullptr;
    m_DBusCtx.extra = nullptr;
    m_DBusCtx.watches.clear();
}

// ---------------------------------------------------------------------------
// Watches: libdbus's descriptors in the loop's wait list

void CDBusEndpoint::SyncWatchDescriptor(int iFD)
{
    while (m_loop.UnwatchDescriptor(iFD) == RET_OK) {
    }
    int iEvents = 0;
    for (DBusWatch* pWatch : m_DBusCtx.watches) {
        if (dbus_watch_get_unix_fd(pWatch) != iFD)
            continue;
        unsigned int uiFlags = dbus_watch_get_flags(pWatch);
        if (uiFlags & DBUS_WATCH_READABLE)
            iEvents |= POLLIN;
        if (uiFlags & DBUS_WATCH_WRITABLE)
            iEvents |= POLLOUT;
    }
    if (iEvents != 0 && m_loop.WatchDescriptor(iFD, static_cast<short>(iEvents)) != RET_OK)
        LogWrite(MOD_DBUS, LOG_ERR, "Can't watch dbus descriptor %d", iFD);
}

dbus_bool_t CDBusEndpoint::WatchAdd(DBusWatch* watch, void* data)
{
    dbus_ctx* pCtx = static_cast<dbus_ctx*>(data);
    if (!dbus_watch_get_enabled(watch))
        return TRUE;
    pCtx->extra = watch;
    bool bKnown = false;
    for (DBusWatch* pWatch : pCtx->watches)
        bKnown = bKnown || pWatch == watch;
    if (!bKnown)
        pCtx->watches.push_back(watch);
    pCtx->endpoint->SyncWatchDescriptor(dbus_watch_get_unix_fd(watch));
    return TRUE;
}

void CDBusEndpoint::WatchRemove(DBusWatch* watch, void* data)
{
    dbus_ctx* pCtx = static_cast<dbus_ctx*>(data);
    bool bKnown = false;
    for (size_t i = 0; i < pCtx->watches.size(); ++i) {
        if (pCtx->watches[i] == watch) {
            pCtx->watches.erase(pCtx->watches.begin() + static_cast<long>(i));
            bKnown = true;
            break;
        }
    }
    if (pCtx->extra == watch)
        pCtx->extra = pCtx->watches.empty() ? nullptr : pCtx->watches.back();
    if (bKnown)
        pCtx->endpoint->SyncWatchDescriptor(dbus_watch_get_unix_fd(watch));
    dbus_watch_set_data(watch, nullptr, nullptr);
}

void CDBusEndpoint::WatchToggle(DBusWatch* watch, void* data)
{
    if (dbus_watch_get_enabled(watch))
        WatchAdd(watch, data);
    else
        WatchRemove(watch, data);
}

bool CDBusEndpoint::Serve(int iFD)
{
    Dispatch();
    std::vector<DBusWatch*> ready;
    for (DBusWatch* pWatch : m_DBusCtx.watches)
        if (dbus_watch_get_unix_fd(pWatch) == iFD)
            ready.push_back(pWatch);
    if (ready.empty())
        return false;

    // Each watch is told what poll saw for its descriptor, limited to what it
    // asked for; errors and hang-ups go to every watch.
    short sEvents = m_loop.ReadyEvents(iFD);
    for (DBusWatch* pWatch : ready) {
        bool bStillWatched = false;
        for (DBusWatch* pKnown : m_DBusCtx.watches)
            bStillWatched = bStillWatched || pKnown == pWatch;
        if (!bStillWatched || !dbus_watch_get_enabled(pWatch))
            continue; // a previous handle removed or disabled it
        unsigned int uiWant = dbus_watch_get_flags(pWatch);
        unsigned int uiFlags = 0;
        if ((sEvents & POLLIN) && (uiWant & DBUS_WATCH_READABLE))
            uiFlags |= DBUS_WATCH_READABLE;
        if ((sEvents & POLLOUT) && (uiWant & DBUS_WATCH_WRITABLE))
            uiFlags |= DBUS_WATCH_WRITABLE;
        if (sEvents & POLLERR)
            uiFlags |= DBUS_WATCH_ERROR;
        if (sEvents & POLLHUP)
            uiFlags |= DBUS_WATCH_HANGUP;
        if (uiFlags == 0)
            continue;
        if (!dbus_watch_handle(pWatch, uiFlags))
            LogWrite(MOD_DBUS, LOG_ERR, "dbus_watch_handle() failed");
    }
    Dispatch();
    return true;
}

int CDBusEndpoint::Dispatch()
{
    if (m_pDBusConn == nullptr)
        return RET_ERROR;
    while (dbus_connection_dispatch(m_pDBusConn) == DBUS_DISPATCH_DATA_REMAINS) {
    }
    return RET_OK;
}

void CDBusEndpoint::Idle()
{
    Dispatch();
    // A connection that broke without the Disconnected message reaching the
    // filter (it is queued by the read that saw the hang-up) ends the same way.
    if (m_pDBusConn != nullptr && !m_bBusLost && !dbus_connection_get_is_connected(m_pDBusConn))
        OnBusLost();
}

void CDBusEndpoint::OnBusLost()
{
    if (m_bBusLost)
        return;
    m_bBusLost = true;
    LogWrite(MOD_DBUS, LOG_ERR, "Lost the connection to the system bus, leaving it and stopping");
    // Nothing can reach the service any more: the loop ends and its owner
    // releases the connection (not here: libdbus may be inside a dispatch of
    // it). The process decides how to exit.
    m_loop.EndLoop();
}

// ---------------------------------------------------------------------------
// Incoming messages

DBusHandlerResult CDBusEndpoint::FilterFunction(DBusConnection*, DBusMessage* message, void* data)
{
    dbus_ctx* pCtx = static_cast<dbus_ctx*>(data);
    // libdbus's own note that the connection broke; seen here so that a
    // derived filter cannot swallow it.
    if (dbus_message_is_signal(message, DBUS_INTERFACE_LOCAL, "Disconnected")) {
        pCtx->endpoint->OnBusLost();
        return DBUS_HANDLER_RESULT_HANDLED;
    }
    return pCtx->endpoint->Filter(message);
}

DBusHandlerResult CDBusEndpoint::PathMessage(DBusConnection*, DBusMessage* message, void* data)
{
    dbus_ctx* pCtx = static_cast<dbus_ctx*>(data);
    if (pCtx->endpoint->PathMessageReceived(message) == RET_OK)
        return DBUS_HANDLER_RESULT_HANDLED;
    // Left to libdbus, which answers an unknown method call with an error
    // instead of leaving the caller to its time-out.
    return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
}

void CDBusEndpoint::PathUnregister(DBusConnection*, void*) {}

int CDBusEndpoint::PathMessageReceived(DBusMessage* message)
{
    if (!dbus_message_is_method_call(message, DBUS_INTERFACE_INTROSPECTABLE, "Introspect"))
        return RET_ERROR;
    if (dbus_message_get_no_reply(message))
        return RET_OK;
    std::string sData = GetIntrospectData();
    const char* pcData = sData.c_str();
    DBusMessage* reply = dbus_message_new_method_return(message);
    if (reply == nullptr)
        return RET_OK;
    if (dbus_message_append_args(reply, DBUS_TYPE_STRING, &pcData, DBUS_TYPE_INVALID)) {
        dbus_connection_send(m_pDBusConn, reply, nullptr);
        dbus_connection_flush(m_pDBusConn);
    }
    dbus_message_unref(reply);
    return RET_OK;
}

DBusHandlerResult CDBusEndpoint::Filter(DBusMessage* message)
{
    if (dbus_message_get_type(message) != DBUS_MESSAGE_TYPE_METHOD_CALL)
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    const char* pcMember = dbus_message_get_member(message);
    if (pcMember == nullptr || strcmp(pcMember, "cmd") != 0)
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    return HandleCmdCall(message);
}

// Sends a reply unless the caller asked for none; flushes the connection.
static void SendReply(DBusConnection* conn, DBusMessage* call, DBusMessage* reply)
{
    if (reply == nullptr)
        return;
    if (!dbus_message_get_no_reply(call)) {
        dbus_connection_send(conn, reply, nullptr);
        dbus_connection_flush(conn);
    }
    dbus_message_unref(reply);
}

DBusHandlerResult CDBusEndpoint::HandleCmdCall(DBusMessage* message)
{
    DBusError err;
    dbus_error_init(&err);
    const char* pcRequest = nullptr;
    if (!dbus_message_get_args(message, &err, DBUS_TYPE_STRING, &pcRequest, DBUS_TYPE_INVALID)) {
        LogWrite(MOD_CMD, LOG_ERR, "spurious InitSerial method");
        if (dbus_error_is_set(&err))
            dbus_error_free(&err);
        // The caller gets an error at once rather than waiting for its time-out.
        SendReply(m_pDBusConn, message,
                  dbus_message_new_error(message, DBUS_ERROR_INVALID_ARGS,
                                         "cmd takes one string argument: a JSON text"));
        return DBUS_HANDLER_RESULT_HANDLED;
    }

    LogWrite(MOD_CMD, LOG_INFO, "Request %s", pcRequest);
    int iErr = RET_OK;
    cJSON* jsResult = nullptr;
    cJSON* jsRequest = cJSON_Parse(pcRequest);
    if (jsRequest == nullptr) {
        LogWrite(MOD_CMD, LOG_INFO, "Error decoding JSON %s", pcRequest);
        iErr = DBUS_ERR_JSON;
    } else {
        cJSON* jsCmd = cJSON_GetObjectItemCaseSensitive(jsRequest, PLINTHD_KEY_CMD);
        if (!cJSON_IsString(jsCmd) || jsCmd->valuestring == nullptr) {
            LogWrite(MOD_CMD, LOG_ERR, "JSON element 'cmd' is missing in '%s'", pcRequest);
            iErr = DBUS_ERR_JSON_ELEMENT;
        } else {
            LogWrite(MOD_CMD, LOG_DEBUG, "Got cmd %s", jsCmd->valuestring);
            iErr = m_pCommands != nullptr
                       ? m_pCommands->ExecuteCmd(jsCmd->valuestring, jsRequest, jsResult)
                       : DBUS_ERR_UNKNOWN_CMD;
        }
        cJSON_Delete(jsRequest);
    }

    if (jsResult == nullptr) {
        LogWrite(MOD_CMD, LOG_DEBUG, "jsResult is null, iErr=%d", iErr);
        jsResult = cJSON_CreateObject();
        if (jsResult != nullptr) {
            cJSON_AddNumberToObject(jsResult, "err", iErr);
            cJSON_AddStringToObject(jsResult, "info", "");
        }
    } else {
        LogWrite(MOD_CMD, LOG_DEBUG, "jsResult is not null");
    }
    char* pcAnswer = PrintMinified(jsResult);
    cJSON_Delete(jsResult);
    if (pcAnswer == nullptr || !dbus_validate_utf8(pcAnswer, nullptr)) {
        LogWrite(MOD_CMD, LOG_ERR, "Can't build the answer to '%s'", pcRequest);
        SendReply(
            m_pDBusConn, message,
            dbus_message_new_error(message, DBUS_ERROR_NO_MEMORY, "the answer could not be built"));
        cJSON_free(pcAnswer);
        return DBUS_HANDLER_RESULT_HANDLED;
    }
    LogWrite(MOD_CMD, LOG_INFO, "answer is %d '%s'", iErr, pcAnswer);
    if (iErr != RET_OK)
        LogWrite(MOD_CMD, LOG_ERR, "DBusFilter: error is %d", iErr);
    DBusMessage* reply = dbus_message_new_method_return(message);
    const char* pcConst = pcAnswer;
    if (reply != nullptr &&
        !dbus_message_append_args(reply, DBUS_TYPE_STRING, &pcConst, DBUS_TYPE_INVALID)) {
        dbus_message_unref(reply);
        reply = nullptr;
    }
    SendReply(m_pDBusConn, message, reply);
    cJSON_free(pcAnswer);
    return DBUS_HANDLER_RESULT_HANDLED;
}

// ---------------------------------------------------------------------------
// What every service's commands do in common

int CDBusEndpoint::CmdGetStatus(cJSON*& jsonResult)
{
    jsonResult = m_pCommands != nullptr ? m_pCommands->GetJsonStatus() : nullptr;
    if (jsonResult == nullptr)
        jsonResult = cJSON_CreateObject();
    if (jsonResult != nullptr)
        cJSON_AddNumberToObject(jsonResult, "procstate", m_DBUSState);
    return RET_OK;
}

int CDBusEndpoint::CmdSetLogLevel(cJSON* json)
{
    cJSON* jsLevel = cJSON_GetObjectItemCaseSensitive(json, PLINTHD_KEY_LEVEL);
    if (!cJSON_IsNumber(jsLevel))
        return DBUS_ERR_JSON_ELEMENT;
    // valueint is the integer part, saturated to the int range.
    LogSetLevel(jsLevel->valueint);
    return RET_OK;
}

int CDBusEndpoint::CmdDeInit()
{
    m_DBUSState = DBUS_IDLE;
    LogWrite(MOD_CMD, LOG_ERR, "Command deinit received");
    return RET_OK;
}

int CDBusEndpoint::CmdStop()
{
    m_DBUSState = DBUS_STOPPING;
    m_loop.EndLoop();
    LogWrite(MOD_CMD, LOG_ERR, "Command stop received");
    SendStoppedSignal();
    return RET_OK;
}

std::string CDBusEndpoint::GetIntrospectData() const
{
    const std::string sPath = m_psPath.empty() ? DBUS_OBJECT_PATH : m_psPath;
    const std::string sInterface =
        m_sInterface.empty() ? std::string(PLINTHD_INTERFACE) : m_sInterface;
    std::string s = DBUS_INTROSPECT_1_0_XML_DOCTYPE_DECL_NODE;
    s += "<node name=\"" + sPath + "\">";
    s += " <interface name=\"" DBUS_INTERFACE_INTROSPECTABLE "\">";
    s += " <method name=\"Introspect\">";
    s += " <arg name=\"data\" direction=\"out\" type=\"s\"/>";
    s += " </method>";
    s += " </interface>";
    s += " <interface name=\"" + sInterface + "\">";
    s += " <method name=\"cmd\">";
    s += " <arg name=\"params\" direction=\"in\" type=\"s\"/>";
    s += " <arg name=\"result\" direction=\"out\" type=\"s\"/>";
    s += " </method>";
    // "data" and "event" carry what Modbus masters wrote and did.
    for (const char* pcSignal : {"started", "stopped", "status", "data", "event"}) {
        s += " <signal name=\"";
        s += pcSignal;
        s += "\"> <arg name=\"params\" type=\"s\"/> </signal>";
    }
    s += " </interface>";
    s += " </node>\n";
    return s;
}

// ---------------------------------------------------------------------------
// Signals

int CDBusEndpoint::SendJsonSignal(const char* pszName, cJSON* json, bool bLog)
{
    if (m_pDBusConn == nullptr || json == nullptr) {
        cJSON_Delete(json);
        return RET_ERROR;
    }
    char* pcText = PrintMinified(json);
    cJSON_Delete(json);
    const std::string sPath = m_psPath.empty() ? DBUS_OBJECT_PATH : m_psPath;
    DBusMessage* msg = dbus_message_new_signal(sPath.c_str(), m_sInterface.c_str(), pszName);
    if (msg == nullptr || pcText == nullptr) {
        if (bLog)
            LogWrite(MOD_DBUS, LOG_ERR, "Ran out of memory while constructing args");
        if (msg != nullptr)
            dbus_message_unref(msg);
        cJSON_free(pcText);
        return RET_ERROR;
    }
    const char* pcConst = pcText;
    int iResult = RET_OK;
    if (!dbus_message_append_args(msg, DBUS_TYPE_STRING, &pcConst, DBUS_TYPE_INVALID)) {
        if (bLog)
            LogWrite(MOD_DBUS, LOG_ERR, "Ran out of memory while constructing args");
        iResult = RET_ERROR;
    } else if (!dbus_connection_send(m_pDBusConn, msg, nullptr)) {
        if (bLog)
            LogWrite(MOD_DBUS, LOG_ERR, "Ran out of memory while queueing message");
        iResult = RET_ERROR;
    } else {
        // Not flushed: libdbus writes at once what the socket takes, and the
        // watch on the bus socket lets the loop write the rest, so a signal
        // never blocks the thread that sends it.
        if (bLog)
            LogWrite(MOD_DBUS, LOG_INFO, "Message '%s' sent", pszName);
    }
    dbus_message_unref(msg);
    cJSON_free(pcText);
    return iResult;
}

int CDBusEndpoint::SendStatusSignal()
{
    cJSON* json = m_pCommands != nullptr ? m_pCommands->GetJsonStatus() : nullptr;
    if (json == nullptr)
        json = cJSON_CreateObject();
    if (json != nullptr)
        cJSON_AddNumberToObject(json, "procstate", m_DBUSState);
    return SendJsonSignal("status", json, false);
}

int CDBusEndpoint::SendStartedSignal()
{
    cJSON* json = cJSON_CreateObject();
    if (json != nullptr)
        cJSON_AddNumberToObject(json, "started", getpid());
    return SendJsonSignal("started", json, true);
}

int CDBusEndpoint::SendStoppedSignal()
{
    cJSON* json = cJSON_CreateObject();
    if (json != nullptr)
        cJSON_AddNumberToObject(json, "stopped", getpid());
    int iResult = SendJsonSignal("stopped", json, true);
    // The connection closes right after: what is still queued must go now.
    if (m_pDBusConn != nullptr)
        dbus_connection_flush(m_pDBusConn);
    return iResult;
}

// ---------------------------------------------------------------------------
// Outgoing call to another service of the family

int CDBusEndpoint::SendCmd(const char* szServiceName, const char* szInterface, cJSON* cmd,
                           cJSON*& result)
{
    char* pcText = PrintMinified(cmd);
    cJSON_Delete(cmd);
    if (pcText == nullptr) {
        LogWrite(MOD_DBUS, LOG_ERR, "SendCmd: Ran out of memory while constructing args\n");
        return DBUS_ERR_NO_MESSAGE;
    }
    LogWrite(MOD_DBUS, LOG_ERR, "Send command '%s' to %s %s %s\n", pcText,
             szServiceName != nullptr ? szServiceName : "", DBUS_OBJECT_PATH,
             szInterface != nullptr ? szInterface : "");

    DBusMessage* msg = nullptr;
    if (m_pDBusConn != nullptr && szServiceName != nullptr && szInterface != nullptr &&
        dbus_validate_bus_name(szServiceName, nullptr) &&
        dbus_validate_interface(szInterface, nullptr))
        msg = dbus_message_new_method_call(szServiceName, DBUS_OBJECT_PATH, szInterface, "cmd");
    if (msg == nullptr) {
        LogWrite(MOD_DBUS, LOG_ERR, "Can't allocate space for message!\n");
        cJSON_free(pcText);
        return DBUS_ERR_NO_MESSAGE;
    }
    const char* pcConst = pcText;
    if (!dbus_message_append_args(msg, DBUS_TYPE_STRING, &pcConst, DBUS_TYPE_INVALID)) {
        LogWrite(MOD_DBUS, LOG_ERR, "SendCmd: Ran out of memory while constructing args\n");
        dbus_message_unref(msg);
        cJSON_free(pcText);
        return DBUS_ERR_NO_MESSAGE;
    }
    cJSON_free(pcText);

    DBusError err;
    dbus_error_init(&err);
    DBusMessage* reply =
        dbus_connection_send_with_reply_and_block(m_pDBusConn, msg, SEND_CMD_TIMEOUT_MS, &err);
    dbus_message_unref(msg);
    if (dbus_error_is_set(&err)) {
        LogWrite(MOD_DBUS, LOG_ERR,
                 "SendCmd: dbus_connection_send_with_reply_and_block() failed: %s\n", err.message);
        dbus_error_free(&err);
    }
    // No usable answer is a failure: the caller must not take it for success.
    int iResult = RET_ERROR;
    if (reply != nullptr) {
        LogWrite(MOD_DBUS, LOG_DEBUG, "reply received\n");
        const char* pcAnswer = nullptr;
        if (dbus_message_get_args(reply, nullptr, DBUS_TYPE_STRING, &pcAnswer, DBUS_TYPE_INVALID)) {
            LogWrite(MOD_DBUS, LOG_DEBUG, "SendCmd: result=%s\n", pcAnswer);
            result = cJSON_Parse(pcAnswer);
            cJSON* jsErr = cJSON_GetObjectItemCaseSensitive(result, "err");
            if (cJSON_IsNumber(jsErr))
                iResult = jsErr->valueint;
        } else {
            LogWrite(MOD_DBUS, LOG_ERR,
                     "SendCmd: spurious reply (invalid parameter count or type in message)\n");
        }
        dbus_message_unref(reply);
    } else {
        LogWrite(MOD_DBUS, LOG_ERR, "No reply from call\n");
    }
    return iResult;
}
