#include "jsonhelpers.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "plinthdiface.h"
#include "plinthdjson.h"

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
    } else if (strcmp(pszMode, PLINTHD_ACCESS_READ) == 0) {
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
    const cJSON* pAddr = cJSON_GetObjectItemCaseSensitive(pObj, PLINTHD_KEY_ADDRESS);
    const cJSON* pLen = cJSON_GetObjectItemCaseSensitive(pObj, PLINTHD_KEY_LENGTH);
    const cJSON* pMode = cJSON_GetObjectItemCaseSensitive(pObj, PLINTHD_KEY_MODE);
    if (!cJSON_IsObject(pObj) || !JsonIsInt(pAddr) || !JsonIsInt(pLen) || !cJSON_IsString(pMode)) {
        return DBUS_ERR_JSON_ELEMENT;
    }
    AccessMode_t eMode;
    if (!AccessModeFromString(pMode->valuestring, eMode)) {
        zone = RegZone_t();
        return DBUS_ERR_JSON_ELEMENT;
    }
    int iAddr = JsonInt(pAddr);
    int iLen = JsonInt(pLen);
    if (iAddr < 0 || iLen < 0)
        return DBUS_ERR_JSON_ELEMENT;
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

// Appends pItem at nesting level iDepth: every opening brace or bracket on a
// line of its own, one member or element per line, one tab per level, a colon
// and one blank after each member name, a comma after all but the last entry.
// Listeners (scripts, SCADA gateways) may read these texts line by line, so
// the layout is fixed here rather than left to cJSON_Print, which keeps
// "[{" on one line, puts a tab after the colon and short arrays on one line.
static void AppendIndented(const cJSON* pItem, int iDepth, std::string& sOut)
{
    const bool bObject = cJSON_IsObject(pItem);
    if (!bObject && !cJSON_IsArray(pItem)) {
        sOut += TakeString(cJSON_PrintUnformatted(pItem));
        return;
    }
    if (pItem->child == nullptr) {
        sOut += bObject ? "{}" : "[]";
        return;
    }
    sOut += bObject ? '{' : '[';
    for (const cJSON* pChild = pItem->child; pChild != nullptr; pChild = pChild->next) {
        sOut += '\n';
        sOut.append(static_cast<size_t>(iDepth) + 1, '\t');
        if (bObject) {
            cJSON* pName = cJSON_CreateString(pChild->string ? pChild->string : "");
            sOut += TakeString(cJSON_PrintUnformatted(pName));
            cJSON_Delete(pName);
            sOut += ": ";
            if ((cJSON_IsObject(pChild) || cJSON_IsArray(pChild)) && pChild->child != nullptr) {
                sOut += '\n';
                sOut.append(static_cast<size_t>(iDepth) + 1, '\t');
            }
        }
        AppendIndented(pChild, iDepth + 1, sOut);
        if (pChild->next != nullptr)
            sOut += ',';
    }
    sOut += '\n';
    sOut.append(static_cast<size_t>(iDepth), '\t');
    sOut += bObject ? '}' : ']';
}

std::string JsonPrintIndented(const cJSON* pItem)
{
    std::string sOut;
    if (pItem != nullptr)
        AppendIndented(pItem, 0, sOut);
    return sOut;
}
