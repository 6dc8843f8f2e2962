#pragma once
// A D-Bus service thread as a daemon builds it: Init opens the pipe, joins
// the bus, relaxes the signal mask and announces itself with "started".
// Pipe messages let a test run work on the service's own thread.

#include <atomic>
#include <string>

#include "dbusthread.h"
#include "log.h"
#include "privatebus.h"

class ServiceThread : public DBusThread
{
public:
    enum {
        CMD_SEND_STATUS = CMD_FIRST_USER,
        CMD_SEND_BIG_SIGNAL, // queues a large signal without flushing
        CMD_CALL_PEER,       // SendCmd to the service named in peerName
    };

    explicit ServiceThread(std::string sName = kService) : m_sName(std::move(sName)) {}
    ~ServiceThread() override { Stop(); }

    int Init() override
    {
        int iResult = CPipeThread::Init();
        if (iResult != RET_OK)
            return iResult;
        if (InitDBus(m_sName.c_str(), kInterface, kPath) != RET_OK) {
            LogWrite("plinthd", 3, "Can't init dbus");
            return RET_ERROR;
        }
        AppInit();
        SendStartedSignal();
        return RET_OK;
    }

    int DispatchMessage(Msg_t* pMsg) override
    {
        switch (pMsg->Header.usCmd) {
        case CMD_SEND_STATUS:
            SendStatusSignal();
            return RET_OK;
        case CMD_SEND_BIG_SIGNAL:
            QueueBigSignal(reinterpret_cast<MsgInfo_t*>(pMsg)->ulInfo);
            return RET_OK;
        case CMD_CALL_PEER: {
            cJSON* result = nullptr;
            peerResult =
                SendCmd(peerName.c_str(), kInterface, cJSON_Parse(peerRequest.c_str()), result);
            char* pc = result != nullptr ? cJSON_PrintUnformatted(result) : nullptr;
            peerAnswer = pc != nullptr ? pc : "";
            cJSON_free(pc);
            cJSON_Delete(result);
            peerDone = true;
            return RET_OK;
        }
        default:
            return DBusThread::DispatchMessage(pMsg);
        }
    }

    // Stops the loop from the test thread and joins it.
    void Shutdown()
    {
        SendCmd(CMD_STOP, 0, 0);
        Stop();
    }

    std::string peerName;
    std::string peerRequest;
    std::string peerAnswer;
    std::atomic<int> peerResult{-99};
    std::atomic<bool> peerDone{false};

private:
    // A signal larger than the socket buffer: libdbus writes what it can and
    // asks for the rest through a writable watch.
    void QueueBigSignal(size_t len)
    {
        std::string s(len, 'a');
        DBusMessage* msg = dbus_message_new_signal(kPath, kInterface, "status");
        const char* pc = s.c_str();
        dbus_message_append_args(msg, DBUS_TYPE_STRING, &pc, DBUS_TYPE_INVALID);
        dbus_connection_send(m_pDBusConn, msg, nullptr);
        dbus_message_unref(msg);
    }

    std::string m_sName;
};
