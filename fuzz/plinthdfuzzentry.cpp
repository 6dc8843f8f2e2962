#include "plinthdfuzzentry.h"

#include <cJSON.h>
#include <syslog.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "commandservice.h"
#include "connection.h"
#include "dbusendpoint.h"
#include "modbusserver.h"
#include "log.h"
#include "registerblock.h"
#include "requesthandler.h"
#include "rtutransport.h"
#include "signalqueue.h"
#include "waitlist.h"

namespace
{

void DropLogLine(int, const char*) {}

// The Modbus server with nothing to open: "init" builds the register block
// and opens no port or socket.
class FuzzModbusServer : public CModbusServer
{
public:
    explicit FuzzModbusServer(CWaitList& waitList)
        : CModbusServer(waitList, []() -> DBusConnection* { return nullptr; })
    {
    }

protected:
    int InitMbRtu() override { return 0; }
    int InitMbTcp() override { return 0; }
    int InitMbTcpPI() override { return 0; }
};

// A loop that watches nothing and never runs: the endpoint is never
// connected.
class NoLoop : public CDBusLoop, public CWaitList
{
public:
    int WatchDescriptor(int, short) override { return RET_OK; }
    int UnwatchDescriptor(int) override { return RET_ERROR; }
    short ReadyEvents(int) const override { return 0; }
    void EndLoop() override {}
    void Watch(int, short) override {}
    void Unwatch(int) override {}
};

// The daemon's parts as its thread puts them together, without the thread
// and the bus: commands run on the caller's thread through the same table.
class FuzzServer
{
public:
    FuzzServer()
    {
        LogSetSink(DropLogLine);
        m_dbus.SetCommands(&m_commands);
    }

    std::string RunCommand(const char* pszText)
    {
        cJSON* pRequest = cJSON_Parse(pszText);
        if (pRequest == nullptr)
            return "{}";
        cJSON* pCmd = cJSON_GetObjectItemCaseSensitive(pRequest, "cmd");
        cJSON* pResult = nullptr;
        int iErr = DBUS_ERR_JSON_ELEMENT;
        if (cJSON_IsString(pCmd))
            iErr = m_commands.ExecuteCmd(pCmd->valuestring, pRequest, pResult);
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
        m_server.CloseModbus();
        m_server.Registers().ReleaseAccess();
        m_dbus.SetState(DBUS_IDLE);
        m_server.Handler().EnableEvents(false);
        m_server.Config() = ModbusConfig_t();
        m_server.Stat() = ModbusStat_t();
        LogSetLevel(LOG_INFO);
    }

private:
    NoLoop m_loop;
    CDBusEndpoint m_dbus{m_loop};
    FuzzModbusServer m_server{m_loop};
    CCommandService m_commands{m_dbus, m_server};
};

FuzzServer& Server()
{
    static FuzzServer* s_pServer = new FuzzServer();
    return *s_pServer;
}

class NoWaitList : public CWaitList
{
public:
    void Watch(int, short) override {}
    void Unwatch(int) override {}
};

// The register block, handler and an RTU transport that is never opened
// (so it answers nothing), built once like the daemon's.
struct QueryRig {
    CRegisterBlock regs;
    CSignalQueue signals{[]() -> DBusConnection* { return nullptr; }};
    CRequestHandler handler{regs, signals};
    NoWaitList waitList;
    ModbusStat_t stat;
    CRtuTransport rtu{waitList, handler, stat};

    QueryRig()
    {
        LogSetSink(DropLogLine);
        RegZoneList_t tables(1), zones(3);
        tables[0] = {0, 100, ACCESS_RW};
        zones[0] = {10, 10, ACCESS_RO};
        zones[1] = {20, 10, ACCESS_WO};
        zones[2] = {30, 10, ACCESS_NO};
        std::string sInfo;
        if (regs.Build(100, tables, zones, sInfo) != 0)
            abort();
    }

    // Back to the controller's values 1000..1099 on the backend.
    void Fill()
    {
        cJSON* pValues = cJSON_CreateArray();
        for (int i = 0; i < 100; i++)
            cJSON_AddItemToArray(pValues, cJSON_CreateNumber(1000 + i));
        regs.StoreValues(0, pValues);
        cJSON_Delete(pValues);
    }

    void CheckAccessRules() const
    {
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

    void Handle(int iUnit, const uint8_t* pPdu, int iLen, bool bRtu)
    {
        MbRequest_t request;
        request.iUnit = iUnit;
        request.pPdu = pPdu;
        request.iPduLen = iLen;
        request.iAduLen = iLen + (bRtu ? 3 : 7);
        request.bRtu = bRtu;
        uint8_t abyAnswer[MB_MAX_ANSWER_PDU];
        memset(abyAnswer, 0xA5, sizeof(abyAnswer));
        bool bException = false;
        int iAnswer = handler.Handle(request, abyAnswer, bException);
        if (iLen < 1) {
            if (iAnswer != 0)
                abort();
            return;
        }
        if (iAnswer < 2 || iAnswer > MB_MAX_ANSWER_PDU)
            abort();
        // An exception is the function with bit 7 set and a code 1 to 4.
        if (bException && (iAnswer != 2 || abyAnswer[0] != (pPdu[0] | 0x80) || abyAnswer[1] < 1 ||
                           abyAnswer[1] > 4))
            abort();
        if (!bException && abyAnswer[0] != pPdu[0])
            abort();
    }
};

QueryRig& Rig()
{
    static QueryRig* s_pRig = new QueryRig();
    return *s_pRig;
}

} // namespace

int plinthdFuzzCmd(const uint8_t* data, size_t size)
{
    FuzzServer& server = Server();
    std::string sInput(reinterpret_cast<const char*>(data), size);
    size_t pos = 0;
    for (int i = 0; i < 8 && pos <= sInput.size(); i++) {
        size_t end = sInput.find('\n', pos);
        if (end == std::string::npos)
            end = sInput.size();
        std::string sCmd = sInput.substr(pos, end - pos);
        server.RunCommand(sCmd.c_str());
        pos = end + 1;
    }
    server.Reset();
    return 0;
}

int plinthdFuzzQuery(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    QueryRig& rig = Rig();
    const bool bRtu = data[0] & 1;
    rig.handler.EnableEvents((data[0] & 2) == 0);
    rig.Fill();
    rig.signals.BeginRound();
    const uint8_t* p = data + 1;
    size_t uiLeft = size - 1;
    if (bRtu) {
        rig.rtu.HandleFrame(p, static_cast<int>(uiLeft));
        if (uiLeft >= 1)
            rig.Handle(p[0], p + 1, static_cast<int>(uiLeft - 1), true);
    } else {
        // MBAP frames one after the other, cut by their length field.
        for (int i = 0; i < 64 && uiLeft >= 7; i++) {
            size_t uiFrame = 6 + ((p[4] << 8) | p[5]);
            if (uiFrame < 8 || uiFrame > 260 || uiFrame > uiLeft)
                break;
            rig.Handle(p[6], p + 7, static_cast<int>(uiFrame - 7), false);
            p += uiFrame;
            uiLeft -= uiFrame;
        }
    }
    rig.CheckAccessRules();
    // Every signal text the requests raised is JSON, as listeners parse it.
    for (const std::string& sText : rig.signals.TakePending()) {
        cJSON* pJson = cJSON_Parse(sText.c_str());
        if (pJson == nullptr)
            abort();
        cJSON_Delete(pJson);
    }
    rig.signals.EndRound();
    return 0;
}
