#include "plinthdfuzzentry.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "log.h"
#include "modbusserverthread.h"

namespace
{

void DropLogLine(int, const char*) {}

// A server thread that is never started: commands run on the caller's
// thread, and opening an interface takes /dev/null instead of a port or a
// serial device.
class FuzzServer : public CModBusServerThread
{
public:
    FuzzServer() { LogSetSink(DropLogLine); }

    std::string RunCommand(const char* pszText)
    {
        cJSON* pRequest = cJSON_Parse(pszText);
        if (pRequest == nullptr)
            return "{}";
        cJSON* pCmd = cJSON_GetObjectItemCaseSensitive(pRequest, "cmd");
        cJSON* pResult = nullptr;
        int iErr = 108;
        if (cJSON_IsString(pCmd))
            iErr = ExecuteCmd(pCmd->valuestring, pRequest, pResult);
        cJSON_Delete(pRequest);
        if (pResult == nullptr) {
            pResult = cJSON_CreateObject();
            cJSON_AddNumberToObject(pResult, "err", iErr);
        }
        if (!cJSON_IsObject(pResult))
            abort();
        char* psz = cJSON_PrintUnformatted(pResult);
        std::string s = psz ? psz : "";
        cJSON_free(psz);
        cJSON_Delete(pResult);
        return s;
    }

    // Back to a fresh idle daemon.
    void Reset()
    {
        CloseModbus();
        m_regs.ReleaseAccess();
        m_DBUSState = DBUS_IDLE;
        m_bEnableEvent = false;
        m_mbConfig = ModbusConfig_t();
        m_mbStat = ModbusStat_t();
        LogSetLevel(6);
    }

    // Serves the given bytes as one master's traffic, on TCP or RTU.
    void Serve(bool bRtu, const uint8_t* data, size_t size)
    {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
            abort();
        if (size > 0 && write(sv[1], data, size) != static_cast<ssize_t>(size))
            abort();
        shutdown(sv[1], SHUT_WR);
        if (bRtu) {
            if (m_mbFD >= 0)
                close(m_mbFD);
            modbus_set_socket(m_pmbCtx, sv[0]);
            m_mbFD = sv[0];
            // Serve until the end of the input is reached.
            for (int i = 0; i < 64; i++) {
                ServeRtuQuery();
                if (rc == -1)
                    break;
            }
        } else {
            TcpClient_t client;
            client.sIp = "127.0.0.1";
            client.iPort = 50000;
            AddClient(sv[0], client);
            for (int i = 0; i < 64 && Connection(sv[0]) != nullptr; i++)
                ServeConnection(*Connection(sv[0]));
            DropClient(sv[0]);
        }
        close(sv[1]);
    }

    void CheckAccessRules() const
    {
        const CRegisterBlock& regs = Registers();
        for (int a = 0; a < regs.Length(); a++) {
            uint16_t usModbus = regs.ModbusValue(a), usBackend = regs.BackendValue(a);
            switch (regs.Access(a)) {
            case ACCESS_RO:
            case ACCESS_RW:
                if (usModbus != usBackend)
                    abort();
                break;
            case ACCESS_WO:
                if (usModbus != 0 && usModbus != usBackend)
                    abort();
                break;
            default:
                if (usModbus != 0)
                    abort();
                break;
            }
        }
    }

protected:
    int OpenFake()
    {
        if (m_pmbCtx != nullptr)
            return 110;
        m_pmbCtx = m_mbConfig.eType == MBTYPE_RTU ? modbus_new_rtu("/dev/null", 9600, 'N', 8, 1)
                                                  : modbus_new_tcp("127.0.0.1", 1502);
        if (m_pmbCtx == nullptr)
            return MBSRV_ERR_OPEN;
        m_mbFD = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (m_mbConfig.eType == MBTYPE_RTU) {
            modbus_set_socket(m_pmbCtx, m_mbFD);
            modbus_set_slave(m_pmbCtx, m_mbConfig.rtu.iMbDevId < 1 ? 1 : m_mbConfig.rtu.iMbDevId);
        }
        modbus_set_byte_timeout(m_pmbCtx, 0, 1000);
        modbus_set_indication_timeout(m_pmbCtx, 0, 1000);
        modbus_set_response_timeout(m_pmbCtx, 0, 1000);
        return 0;
    }
    int InitMbRtu() override { return OpenFake(); }
    int InitMbTcp() override { return OpenFake(); }
    int InitMbTcpPI() override { return OpenFake(); }
};

FuzzServer& Server()
{
    static FuzzServer* s_pServer = new FuzzServer();
    return *s_pServer;
}

} // namespace

int plinthdFuzzCmd(const uint8_t* data, size_t size)
{
    FuzzServer& server = Server();
    std::string sInput(reinterpret_cast<const char*>(data), size);
    size_t pos = 0;
    size_t uiReplies = 0;
    for (int i = 0; i < 8 && pos <= sInput.size(); i++) {
        size_t end = sInput.find('\n', pos);
        if (end == std::string::npos)
            end = sInput.size();
        std::string sCmd = sInput.substr(pos, end - pos);
        uiReplies += server.RunCommand(sCmd.c_str()).size();
        pos = end + 1;
    }
    server.Reset();
    return uiReplies > 0 ? 0 : 0;
}

int plinthdFuzzQuery(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    FuzzServer& server = Server();
    bool bRtu = data[0] & 1;
    std::string sInit =
        std::string(R"({"cmd":"init","protocol":")") + (bRtu ? "rtu" : "tcp") +
        R"(","delay":0,"rtu":{"devid":1,"baud":9600,"port":"/dev/null","mode":"8N1"},"tcp":{"listen":"","port":1502},)"
        R"("tables":[{"address":0,"length":100,"mode":"rw","zones":[{"address":10,"length":10,"mode":"r"},)"
        R"({"address":20,"length":10,"mode":"w"},{"address":30,"length":10,"mode":"-"}]}]})";
    if (server.RunCommand(sInit.c_str()) != R"({"err":0,"info":""})")
        abort();
    std::string sSet = R"({"cmd":"setconfig","event":true,"data":[{"address":0,"values":[)";
    for (int i = 0; i < 100; i++)
        sSet += (i ? "," : "") + std::to_string(1000 + i);
    sSet += "]}]}";
    server.RunCommand(sSet.c_str());

    server.Serve(bRtu, data + 1, size - 1);
    server.CheckAccessRules();
    server.ProcessModbusQuery(data + 1, static_cast<int>(size - 1));
    server.CheckAccessRules();
    server.Reset();
    return 0;
}
