#include "servinglimits.h"

#include <sys/resource.h>
#include <syslog.h>

#include <cerrno>
#include <cstring>

#include "jsonhelpers.h"
#include "log.h"
#include "plinthdiface.h"
#include "plinthdjson.h"
#include "tlstransport.h"

namespace
{

// A day: beyond it a time-out is a typo.
constexpr int MB_MAX_IDLE_TIMEOUT_S = 86400;

int ParseNetworks(const cJSON* pParams, const char* pszKey, CAddressList& list, std::string& sInfo)
{
    list.Clear();
    const cJSON* pList = cJSON_GetObjectItemCaseSensitive(pParams, pszKey);
    if (pList == nullptr)
        return 0;
    if (!cJSON_IsArray(pList)) {
        sInfo = std::string("\"") + pszKey + "\" is not a list of networks";
        return DBUS_ERR_JSON_ELEMENT;
    }
    // A list given, even an empty one, admits only what it names.
    list.Restrict();
    const cJSON* pItem = nullptr;
    cJSON_ArrayForEach(pItem, pList)
    {
        if (!cJSON_IsString(pItem) || !list.Add(pItem->valuestring)) {
            const std::string sText = cJSON_IsString(pItem) ? pItem->valuestring : "(not a text)";
            sInfo = std::string("Invalid network in \"") + pszKey + "\": '" + sText.substr(0, 64) +
                    "' (expected a.b.c.d/n or an IPv6 address/n)";
            return DBUS_ERR_JSON_ELEMENT;
        }
    }
    return 0;
}

int ParseTls(const cJSON* pTls, ServingConfig_t& serving, std::string& sInfo)
{
    if (!cJSON_IsObject(pTls)) {
        sInfo = "\"tls\" is not an object";
        return DBUS_ERR_JSON_ELEMENT;
    }
    TlsConfig_t cfg;
    const cJSON* pPort = cJSON_GetObjectItemCaseSensitive(pTls, PLINTHD_KEY_PORT);
    if (pPort != nullptr) {
        if (!JsonIsInt(pPort) || JsonInt(pPort) < 1 || JsonInt(pPort) > 65535) {
            sInfo = "TLS port must be 1..65535";
            return DBUS_ERR_JSON_ELEMENT;
        }
        cfg.iPort = JsonInt(pPort);
    }
    struct {
        const char* pszKey;
        std::string* pValue;
    } files[] = {{PLINTHD_KEY_CERTIFICATE, &cfg.sCertificate},
                 {PLINTHD_KEY_KEY, &cfg.sKey},
                 {PLINTHD_KEY_CA, &cfg.sCa},
                 {PLINTHD_KEY_ROLES, &cfg.sRoles}};
    for (auto& file : files) {
        const cJSON* pItem = cJSON_GetObjectItemCaseSensitive(pTls, file.pszKey);
        if (!cJSON_IsString(pItem) || pItem->valuestring[0] == '\0') {
            sInfo = std::string("TLS \"") + file.pszKey + "\" (a file name) is missing";
            return DBUS_ERR_JSON_ELEMENT;
        }
        *file.pValue = pItem->valuestring;
    }
    serving.pTls = CTlsContext::Create(cfg, sInfo);
    return serving.pTls ? 0 : DBUS_ERR_JSON_ELEMENT;
}

} // namespace

int ParseServingConfig(const cJSON* pParams, ServingConfig_t& serving, std::string& sInfo)
{
    serving = ServingConfig_t();
    const cJSON* pClients = cJSON_GetObjectItemCaseSensitive(pParams, PLINTHD_KEY_CLIENTS);
    if (pClients != nullptr) {
        if (!JsonIsInt(pClients) || JsonInt(pClients) < 0) {
            sInfo = "\"clients\" must be a number of masters, 0 for the default";
            return DBUS_ERR_JSON_ELEMENT;
        }
        if (JsonInt(pClients) > 0)
            serving.iMaxClients = JsonInt(pClients);
    }
    const cJSON* pIdle = cJSON_GetObjectItemCaseSensitive(pParams, PLINTHD_KEY_IDLETIMEOUT);
    if (pIdle != nullptr) {
        if (!JsonIsInt(pIdle) || JsonInt(pIdle) < 0 || JsonInt(pIdle) > MB_MAX_IDLE_TIMEOUT_S) {
            sInfo = "\"idletimeout\" must be seconds 0..86400 (0: off)";
            return DBUS_ERR_JSON_ELEMENT;
        }
        serving.iIdleTimeoutS = JsonInt(pIdle);
    }
    int iErr = ParseNetworks(pParams, PLINTHD_KEY_ALLOWCONNECT, serving.allowConnect, sInfo);
    if (iErr == 0)
        iErr = ParseNetworks(pParams, PLINTHD_KEY_ALLOWWRITE, serving.allowWrite, sInfo);
    if (iErr != 0)
        return iErr;
    const cJSON* pTls = cJSON_GetObjectItemCaseSensitive(pParams, PLINTHD_KEY_TLS);
    if (pTls != nullptr && !cJSON_IsNull(pTls))
        return ParseTls(pTls, serving, sInfo);
    return 0;
}

void RaiseDescriptorLimit()
{
    rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur >= lim.rlim_max)
        return;
    const rlim_t old = lim.rlim_cur;
    lim.rlim_cur = lim.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &lim) != 0) {
        LogWrite("plinthd", LOG_WARNING, "Cannot raise the descriptor limit from %lu: %s",
                 static_cast<unsigned long>(old), strerror(errno));
        return;
    }
    LogWrite("plinthd", LOG_INFO, "Descriptor limit raised from %lu to %lu",
             static_cast<unsigned long>(old), static_cast<unsigned long>(lim.rlim_max));
}
