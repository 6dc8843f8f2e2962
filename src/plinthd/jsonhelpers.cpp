#include "jsonhelpers.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

bool JsonIsInt(const cJSON* pItem)
{
    if (!cJSON_IsNumber(pItem))
        return false;
    double d = pItem->valuedouble;
    return std::isfinite(d) && d == std::floor(d) && d >= INT_MIN && d <= INT_MAX;
}

int JsonInt(const cJSON* pItem)
{
    return static_cast<int>(pItem->valuedouble);
}

bool AccessModeFromString(const char* pszMode, AccessMode_t& eMode)
{
    if (pszMode == nullptr)
        return false;
    if (strcmp(pszMode, "-") == 0) {
        eMode = ACCESS_NO;
    } else if (strcmp(pszMode, "r") == 0) {
        eMode = ACCESS_RO;
    } else if (strcmp(pszMode, "w") == 0) {
        eMode = ACCESS_WO;
    } else if (strcmp(pszMode, "rw") == 0) {
        eMode = ACCESS_RW;
    } else {
        return false;
    }
    return true;
}

int GetRegZoneFromJson(const cJSON* pObj, RegZone_t& zone)
{
    const cJSON* pAddr = cJSON_GetObjectItemCaseSensitive(pObj, "address");
    const cJSON* pLen = cJSON_GetObjectItemCaseSensitive(pObj, "length");
    const cJSON* pMode = cJSON_GetObjectItemCaseSensitive(pObj, "mode");
    if (!cJSON_IsObject(pObj) || !JsonIsInt(pAddr) || !JsonIsInt(pLen) || !cJSON_IsString(pMode)) {
        return 108;
    }
    AccessMode_t eMode;
    if (!AccessModeFromString(pMode->valuestring, eMode)) {
        zone = RegZone_t();
        return 108;
    }
    int iAddr = JsonInt(pAddr);
    int iLen = JsonInt(pLen);
    if (iAddr < 0 || iLen < 0)
        return 108;
    zone.iAddress = iAddr;
    zone.iLength = iLen;
    zone.eMode = eMode;
    return 0;
}

static std::string TakeString(char* psz)
{
    if (psz == nullptr)
        return std::string();
    std::string s(psz);
    cJSON_free(psz);
    return s;
}

std::string JsonPrintMin(const cJSON* pItem)
{
    return TakeString(cJSON_PrintUnformatted(pItem));
}

std::string JsonPrintIndented(const cJSON* pItem)
{
    return TakeString(cJSON_Print(pItem));
}
