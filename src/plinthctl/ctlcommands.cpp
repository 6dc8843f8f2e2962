#include "ctlcommands.h"

#include "dbuscommand.h"
#include "plinthclient.h"
#include "plinthdiface.h"
#include "plinthdjson.h"

#include <cJSON.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

namespace
{

// A note younger than this keeps a missing daemon, or a missing bus, from
// being reported again.
const time_t ABSENT_REPORT_PERIOD_S = 60;

using JsonPtr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

JsonPtr Parse(const std::string& sText)
{
    return JsonPtr(cJSON_Parse(sText.c_str()), &cJSON_Delete);
}

std::string Print(const cJSON* pJson)
{
    char* psz = cJSON_PrintUnformatted(pJson);
    std::string s = psz != nullptr ? psz : "";
    cJSON_free(psz);
    return s;
}

void PrintLine(const std::string& sText)
{
    std::fwrite(sText.data(), 1, sText.size(), stdout);
    std::fputc('\n', stdout);
}

long Member(const cJSON* pObj, const char* pszKey, long lDefault = 0)
{
    const cJSON* p = cJSON_GetObjectItemCaseSensitive(pObj, pszKey);
    return cJSON_IsNumber(p) ? static_cast<long>(p->valuedouble) : lDefault;
}

std::string MemberText(const cJSON* pObj, const char* pszKey)
{
    const cJSON* p = cJSON_GetObjectItemCaseSensitive(pObj, pszKey);
    return cJSON_IsString(p) ? p->valuestring : "?";
}

std::string UtcNow()
{
    timeval tv;
    gettimeofday(&tv, nullptr);
    tm t;
    gmtime_r(&tv.tv_sec, &t);
    char sz[64];
    std::snprintf(sz, sizeof sz, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", t.tm_year + 1900,
                  t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                  static_cast<long>(tv.tv_usec / 1000));
    return sz;
}

// The exit status a reply stands for.
int ReplyExit(const std::string& sReply)
{
    int iErr = 0;
    return ReplyErr(sReply, iErr) && iErr == DBUS_ERR_OK ? CTL_EXIT_OK : CTL_EXIT_REFUSED;
}

} // namespace

bool ParseNumber(const std::string& sText, long lMin, long lMax, long& lValue)
{
    if (sText.empty())
        return false;
    const bool bHex = sText.size() > 2 && sText[0] == '0' && (sText[1] == 'x' || sText[1] == 'X');
    const char* pszStart = sText.c_str() + (bHex ? 2 : 0);
    // strtol would also take blanks, a sign before 0x, or an octal 010.
    if (*pszStart == '+' || *pszStart == ' ' || (bHex && *pszStart == '-'))
        return false;
    char* pszEnd = nullptr;
    errno = 0;
    long l = std::strtol(pszStart, &pszEnd, bHex ? 16 : 10);
    if (errno != 0 || pszEnd == pszStart || *pszEnd != '\0' || l < lMin || l > lMax)
        return false;
    lValue = l;
    return true;
}

bool ReplyErr(const std::string& sReply, int& iErr)
{
    JsonPtr reply = Parse(sReply);
    const cJSON* pErr = cJSON_GetObjectItemCaseSensitive(reply.get(), "err");
    if (!cJSON_IsObject(reply.get()) || !cJSON_IsNumber(pErr))
        return false;
    iErr = pErr->valueint;
    return true;
}

bool ReadCommandFile(const std::string& sFile, std::string& sText, std::string& sError)
{
    FILE* pFile = std::fopen(sFile.c_str(), "rbe");
    if (pFile == nullptr) {
        sError = "cannot read '" + sFile + "': " + std::strerror(errno);
        return false;
    }
    sText.clear();
    char szBuf[8192];
    size_t n;
    while ((n = std::fread(szBuf, 1, sizeof szBuf, pFile)) > 0)
        sText.append(szBuf, n);
    const bool bFailed = std::ferror(pFile) != 0;
    std::fclose(pFile);
    if (bFailed) {
        sError = "cannot read '" + sFile + "'";
        return false;
    }
    while (!sText.empty() && sText.back() == '\n')
        sText.pop_back();
    if (sText.empty()) {
        sError = "'" + sFile + "' is empty";
        return false;
    }
    if (!IsBusString(sText)) {
        sError = "'" + sFile + "' is not UTF-8 text";
        return false;
    }
    return true;
}

int CCtlCommands::Deliver(const std::string& sJson, std::string& sReply, const std::string& sWhat)
{
    int iExit = m_bConnected ? CTL_EXIT_OK : m_client.Connect();
    if (iExit == CTL_EXIT_OK) {
        m_bConnected = true;
        iExit = m_client.Call(sJson, m_iCallMs, sReply);
    }
    if (iExit != CTL_EXIT_OK)
        m_log.Error(sWhat + m_client.Error());
    return iExit;
}

int CCtlCommands::Cmd(const std::string& sJson)
{
    if (!IsBusString(sJson)) {
        m_log.Error("the command text is not UTF-8");
        return CTL_EXIT_USAGE;
    }
    std::string sReply;
    int iExit = Deliver(sJson, sReply);
    if (iExit != CTL_EXIT_OK)
        return iExit;
    PrintLine(sReply);
    iExit = ReplyExit(sReply);
    if (iExit != CTL_EXIT_OK && m_log.Tagged())
        m_log.Error("command refused: " + sReply);
    return iExit;
}

int CCtlCommands::Init(const std::string& sFile, bool bReinit)
{
    std::string sText;
    std::string sError;
    if (!ReadCommandFile(sFile, sText, sError)) {
        m_log.Error("init file " + sError);
        return CTL_EXIT_USAGE;
    }
    std::string sReply;
    int iExit = Deliver(sText, sReply);
    if (iExit != CTL_EXIT_OK)
        return iExit;
    int iErr = 0;
    if (bReinit && ReplyErr(sReply, iErr) && iErr == DBUS_ERR_INVALID_STATE) {
        // Already serving an earlier configuration: close it, then once more.
        std::string sIgnored;
        iExit = Deliver("{\"" PLINTHD_KEY_CMD "\":\"" PLINTHD_CMD_DEINIT "\"}", sIgnored);
        if (iExit == CTL_EXIT_OK)
            iExit = Deliver(sText, sReply);
        if (iExit != CTL_EXIT_OK)
            return iExit;
    }
    PrintLine(sReply);
    iExit = ReplyExit(sReply);
    if (iExit != CTL_EXIT_OK && m_log.Tagged())
        m_log.Error("init refused: " + sReply);
    return iExit;
}

int CCtlCommands::Status(bool bJson)
{
    std::string sReply;
    int iExit = Deliver("{\"" PLINTHD_KEY_CMD "\":\"" PLINTHD_CMD_GETSTATUS "\"}", sReply);
    if (iExit != CTL_EXIT_OK)
        return iExit;
    JsonPtr status = Parse(sReply);
    const cJSON* pState = cJSON_GetObjectItemCaseSensitive(status.get(), "procstate");
    if (bJson || !cJSON_IsNumber(pState)) {
        PrintLine(sReply);
        return cJSON_IsNumber(pState) ? CTL_EXIT_OK : CTL_EXIT_REFUSED;
    }
    const long lState = static_cast<long>(pState->valuedouble);
    const char* pszState =
        lState >= DBUS_UNKNOWN && lState <= DBUS_STOPPING ? arState[lState] : arState[DBUS_UNKNOWN];
    std::printf("state:      %s (procstate %ld)\n", pszState, lState);
    std::string sProtocol = MemberText(status.get(), PLINTHD_KEY_PROTOCOL);
    if (cJSON_GetObjectItemCaseSensitive(status.get(), PLINTHD_KEY_DEVID) != nullptr)
        sProtocol += ", unit id " + std::to_string(Member(status.get(), PLINTHD_KEY_DEVID));
    std::printf("protocol:   %s\n", sProtocol.c_str());
    const cJSON* pClients = cJSON_GetObjectItemCaseSensitive(status.get(), PLINTHD_KEY_CLIENTS);
    if (cJSON_IsArray(pClients)) {
        std::printf("clients:    %d\n", cJSON_GetArraySize(pClients));
        const cJSON* pClient = nullptr;
        cJSON_ArrayForEach(pClient, pClients)
        {
            // One line per master: who it is, then what it did (a daemon
            // that reports no counters gives the address alone).
            std::string sWho = cJSON_GetObjectItemCaseSensitive(pClient, "device") != nullptr
                                   ? MemberText(pClient, "device")
                                   : MemberText(pClient, "ip") + ":" +
                                         std::to_string(Member(pClient, PLINTHD_KEY_PORT));
            std::string sLine = "            " + sWho;
            if (cJSON_GetObjectItemCaseSensitive(pClient, "requests") != nullptr) {
                char szSince[32] = "?";
                time_t tSince = static_cast<time_t>(Member(pClient, "since"));
                struct tm tmSince;
                if (localtime_r(&tSince, &tmSince) != nullptr)
                    strftime(szSince, sizeof(szSince), "%Y-%m-%d %H:%M:%S", &tmSince);
                sLine += "  " + std::to_string(Member(pClient, "requests")) + " requests, " +
                         std::to_string(Member(pClient, "exceptions")) + " exceptions, " +
                         std::to_string(Member(pClient, "bytesin")) + " B in, " +
                         std::to_string(Member(pClient, "bytesout")) + " B out, since " + szSince;
            }
            // How it came: plain TCP, or TLS with its certificate and role.
            if (cJSON_GetObjectItemCaseSensitive(pClient, "transport") != nullptr) {
                sLine += ", " + MemberText(pClient, "transport");
                if (cJSON_GetObjectItemCaseSensitive(pClient, "subject") != nullptr)
                    sLine += " \"" + MemberText(pClient, "subject") + "\" role \"" +
                             MemberText(pClient, "role") + "\"";
                if (cJSON_IsFalse(cJSON_GetObjectItemCaseSensitive(pClient, "write")))
                    sLine += ", no writes";
            }
            PrintLine(sLine);
        }
    }
    const cJSON* pLimits = cJSON_GetObjectItemCaseSensitive(status.get(), "limits");
    if (cJSON_IsObject(pLimits)) {
        const long lIdle = Member(pLimits, PLINTHD_KEY_IDLETIMEOUT);
        PrintLine("limits:     " + std::to_string(Member(pLimits, "maxclients")) +
                  " masters, idle time-out " +
                  (lIdle > 0 ? std::to_string(lIdle) + " s" : std::string("off")) + ", TLS " +
                  (cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(pLimits, PLINTHD_KEY_TLS))
                       ? "on"
                       : "off") +
                  "; " + std::to_string(Member(pLimits, "evicted")) + " evicted, " +
                  std::to_string(Member(pLimits, "idleclosed")) + " idle closed, " +
                  std::to_string(Member(pLimits, "refused")) + " refused, " +
                  std::to_string(Member(pLimits, "tlsfailed")) + " TLS handshakes failed");
    }
    const cJSON* pStat = cJSON_GetObjectItemCaseSensitive(status.get(), "stat");
    std::printf("requests:   %ld valid, %ld malformed\n", Member(pStat, "rxvalid"),
                Member(pStat, "rxerror"));
    std::printf("answers:    %ld sent, %ld failed\n", Member(pStat, "txvalid"),
                Member(pStat, "txerror"));
    const long lErr = Member(status.get(), "err");
    std::printf("last error: %ld (errno %ld)%s%s\n", lErr, Member(status.get(), "errno"),
                lErr != DBUS_ERR_OK ? ": " : "",
                lErr != DBUS_ERR_OK ? PlinthdErrName(static_cast<int>(lErr)) : "");
    const cJSON* pSw = cJSON_GetObjectItemCaseSensitive(status.get(), "swinfo");
    if (cJSON_IsObject(pSw))
        std::printf("daemon:     %s %s, built %s\n", MemberText(pSw, "name").c_str(),
                    MemberText(pSw, "version").c_str(), MemberText(pSw, "builddate").c_str());
    return CTL_EXIT_OK;
}

int CCtlCommands::Get(long lAddress, long lCount)
{
    const std::string sJson =
        "{\"" PLINTHD_KEY_CMD "\":\"" PLINTHD_CMD_GETCONFIG "\",\"zones\":[{\"address\":" +
        std::to_string(lAddress) + ",\"length\":" + std::to_string(lCount) + ",\"mode\":\"r\"}]}";
    std::string sReply;
    int iExit = Deliver(sJson, sReply);
    if (iExit != CTL_EXIT_OK)
        return iExit;
    JsonPtr reply = Parse(sReply);
    const cJSON* pData = cJSON_GetObjectItemCaseSensitive(reply.get(), PLINTHD_KEY_DATA);
    const cJSON* pValues = cJSON_GetObjectItemCaseSensitive(cJSON_GetArrayItem(pData, 0), "values");
    if (ReplyExit(sReply) != CTL_EXIT_OK || !cJSON_IsArray(pValues)) {
        PrintLine(sReply);
        return CTL_EXIT_REFUSED;
    }
    long lAt = lAddress;
    const cJSON* pValue = nullptr;
    cJSON_ArrayForEach(pValue, pValues)
    {
        const long lValue = cJSON_IsNumber(pValue) ? static_cast<long>(pValue->valuedouble) : 0;
        std::printf("%ld: %ld (0x%04lX)\n", lAt++, lValue, lValue & 0xFFFF);
    }
    return CTL_EXIT_OK;
}

int CCtlCommands::Set(long lAddress, const std::vector<long>& values)
{
    std::string sJson = "{\"" PLINTHD_KEY_CMD "\":\"" PLINTHD_CMD_SETCONFIG "\",\"" PLINTHD_KEY_DATA
                        "\":[{\"" PLINTHD_KEY_ADDRESS "\":" +
                        std::to_string(lAddress) + ",\"" PLINTHD_KEY_VALUES "\":[";
    for (size_t i = 0; i < values.size(); ++i)
        sJson += (i ? "," : "") + std::to_string(values[i]);
    sJson += "]}]}";
    std::string sReply;
    int iExit = Deliver(sJson, sReply);
    if (iExit != CTL_EXIT_OK)
        return iExit;
    iExit = ReplyExit(sReply);
    if (iExit != CTL_EXIT_OK)
        PrintLine(sReply);
    return iExit;
}

int CCtlCommands::Watch(long lCount, int iTimeoutMs, volatile const int* pbStop)
{
    int iExit = m_client.Connect();
    if (iExit != CTL_EXIT_OK) {
        m_log.Error(m_client.Error());
        return iExit;
    }
    long lSeen = 0;
    iExit = m_client.Watch(
        [&](const char* pszMember, const char* pszText) {
            JsonPtr line(cJSON_CreateObject(), &cJSON_Delete);
            cJSON_AddStringToObject(line.get(), "time", UtcNow().c_str());
            cJSON_AddStringToObject(line.get(), "signal", pszMember != nullptr ? pszMember : "");
            // data and event come indented over many lines: one line here.
            cJSON* pParams = cJSON_Parse(pszText);
            if (pParams == nullptr)
                pParams = cJSON_CreateString(pszText);
            cJSON_AddItemToObject(line.get(), "params", pParams);
            PrintLine(Print(line.get()));
            std::fflush(stdout);
            return lCount == 0 || ++lSeen < lCount;
        },
        pbStop, iTimeoutMs);
    if (iExit == CTL_EXIT_TIMEOUT && lCount == 0)
        return CTL_EXIT_OK;
    if (iExit == CTL_EXIT_TIMEOUT)
        m_log.Error(std::to_string(lSeen) + " of " + std::to_string(lCount) + " signals within " +
                    std::to_string(iTimeoutMs) + " ms");
    else if (iExit != CTL_EXIT_OK)
        m_log.Error(m_client.Error());
    return iExit;
}

int CCtlCommands::Wait(bool bOwned, int iTimeoutMs)
{
    int iExit = m_client.Connect();
    if (iExit == CTL_EXIT_OK)
        iExit = m_client.WaitName(bOwned, iTimeoutMs);
    // A time-out is the answer asked for, not a fault to report.
    if (iExit != CTL_EXIT_OK && iExit != CTL_EXIT_TIMEOUT)
        m_log.Error(m_client.Error());
    return iExit;
}

void CCtlCommands::ReportSeldom(const std::string& sLine, const std::string& sNote) const
{
    if (sNote.empty()) {
        m_log.Error(sLine);
        return;
    }
    struct stat st;
    const time_t tNow = time(nullptr);
    // A note from the future (the clock was set back) does not silence
    // the report.
    if (lstat(sNote.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_mtime <= tNow &&
        tNow - st.st_mtime < ABSENT_REPORT_PERIOD_S)
        return;
    m_log.Error(sLine);
    int iFd = open(sNote.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (iFd >= 0) {
        futimens(iFd, nullptr);
        close(iFd);
    }
}

int CCtlCommands::Update(const std::string& sDocument, const std::string& sInitFile,
                         const std::string& sAbsentNote, const std::string& sNoBusNote)
{
    if (!IsBusString(sDocument)) {
        m_log.Error("update not delivered: the document is not UTF-8 text");
        return CTL_EXIT_USAGE;
    }
    std::string sReply;
    int iExit = m_client.Connect();
    if (iExit == CTL_EXIT_OK) {
        m_bConnected = true;
        iExit = m_client.Call(sDocument, m_iCallMs, sReply);
    }
    int iErr = 0;
    if (iExit == CTL_EXIT_OK && ReplyErr(sReply, iErr) && iErr == DBUS_ERR_INVALID_STATE &&
        !sInitFile.empty() && access(sInitFile.c_str(), F_OK) == 0) {
        // The daemon came back without a configuration (a restart, or the
        // bus restarted under it): give it the kiosk's init again, then the
        // update, once.
        std::string sInit;
        std::string sError;
        if (!ReadCommandFile(sInitFile, sInit, sError)) {
            m_log.Error("init not re-delivered: init file " + sError);
        } else {
            std::string sInitReply;
            iExit = m_client.Call(sInit, m_iCallMs, sInitReply);
            int iInitErr = 0;
            // 110 here: someone else configured it meanwhile; the update
            // will tell.
            if (iExit == CTL_EXIT_OK &&
                (!ReplyErr(sInitReply, iInitErr) ||
                 (iInitErr != DBUS_ERR_OK && iInitErr != DBUS_ERR_INVALID_STATE))) {
                m_log.Error("init re-delivery refused: " + sInitReply);
                return CTL_EXIT_REFUSED;
            }
            if (iExit == CTL_EXIT_OK) {
                m_log.Notice("plinthd had no configuration, init re-delivered from " + sInitFile);
                iExit = m_client.Call(sDocument, m_iCallMs, sReply);
            }
        }
    }
    if (iExit == CTL_EXIT_ABSENT && m_client.NameMissing()) {
        ReportSeldom("plinthd is not running, update dropped", sAbsentNote);
        return CTL_EXIT_REFUSED;
    }
    if (iExit == CTL_EXIT_ABSENT) {
        // No bus (or it went away during the call): updates come with every
        // frame, so this is as seldom worth a line as a missing daemon.
        ReportSeldom("update not delivered (status " + std::to_string(iExit) +
                         "): " + m_client.Error(),
                     sNoBusNote);
        return CTL_EXIT_REFUSED;
    }
    if (iExit != CTL_EXIT_OK) {
        m_log.Error("update not delivered (status " + std::to_string(iExit) +
                    "): " + m_client.Error());
        return CTL_EXIT_REFUSED;
    }
    if (ReplyExit(sReply) != CTL_EXIT_OK) {
        m_log.Error("update refused: " + sReply);
        return CTL_EXIT_REFUSED;
    }
    return CTL_EXIT_OK;
}
