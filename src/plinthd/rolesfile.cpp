#include "rolesfile.h"

#include <cJSON.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "jsonhelpers.h"

namespace
{

// Whole numbers only: 1.5 or 1e9 is no register address.
bool IntIn(const cJSON* p, int iMin, int iMax, int& iOut)
{
    if (!JsonIsInt(p))
        return false;
    iOut = JsonInt(p);
    return iOut >= iMin && iOut <= iMax;
}

bool ParseRole(const cJSON* pRole, CMasterRights& rights, std::string& sError)
{
    if (!cJSON_IsObject(pRole)) {
        sError = "is not an object";
        return false;
    }
    const cJSON* pAccess = cJSON_GetObjectItemCaseSensitive(pRole, "access");
    if (!cJSON_IsString(pAccess)) {
        sError = "has no \"access\"";
        return false;
    }
    AccessMode_t eAccess = ACCESS_NO;
    if (!AccessModeFromString(pAccess->valuestring, eAccess)) {
        sError = "has an \"access\" other than \"r\", \"w\", \"rw\" or \"-\"";
        return false;
    }
    std::vector<RegRange_t> vRanges;
    const cJSON* pRanges = cJSON_GetObjectItemCaseSensitive(pRole, "ranges");
    if (pRanges != nullptr) {
        if (!cJSON_IsArray(pRanges) || cJSON_GetArraySize(pRanges) == 0) {
            sError = "has \"ranges\" that is not a list of ranges";
            return false;
        }
        const cJSON* pRange = nullptr;
        cJSON_ArrayForEach(pRange, pRanges)
        {
            int iAddr = 0, iLen = 0;
            if (!cJSON_IsObject(pRange) ||
                !IntIn(cJSON_GetObjectItemCaseSensitive(pRange, "address"), 0, 65535, iAddr) ||
                !IntIn(cJSON_GetObjectItemCaseSensitive(pRange, "length"), 1, 65536, iLen) ||
                iAddr + iLen > 65536) {
                sError = "has a range without \"address\" 0..65535 and \"length\" 1..65536 "
                         "inside the 16-bit address space";
                return false;
            }
            RegRange_t range;
            range.iFirst = iAddr;
            range.iLast = iAddr + iLen - 1;
            vRanges.push_back(range);
        }
    }
    rights = CMasterRights(eAccess == ACCESS_RO || eAccess == ACCESS_RW,
                           eAccess == ACCESS_WO || eAccess == ACCESS_RW, std::move(vRanges));
    return true;
}

} // namespace

bool CRolesFile::Load(const std::string& sPath, std::string& sError)
{
    std::unique_ptr<FILE, int (*)(FILE*)> pFile(fopen(sPath.c_str(), "rb"), fclose);
    if (!pFile) {
        sError = "Roles file '" + sPath + "' cannot be read: " + strerror(errno);
        return false;
    }
    std::string sText;
    char szBuf[4096];
    size_t n = 0;
    while ((n = fread(szBuf, 1, sizeof(szBuf), pFile.get())) > 0) {
        sText.append(szBuf, n);
        if (static_cast<long>(sText.size()) > MB_MAX_ROLES_FILE) {
            sError = "Roles file '" + sPath + "' is larger than 64 KiB";
            return false;
        }
    }
    if (ferror(pFile.get())) {
        sError = "Roles file '" + sPath + "' cannot be read: " + strerror(errno);
        return false;
    }
    std::string sWhy;
    if (!Parse(sText, sWhy)) {
        sError = "Roles file '" + sPath + "': " + sWhy;
        return false;
    }
    return true;
}

bool CRolesFile::Parse(const std::string& sText, std::string& sError)
{
    m_roles.clear();
    m_sDefault.clear();
    // The whole text is the one object: nothing may follow it but blanks.
    const char* pszEnd = nullptr;
    std::unique_ptr<cJSON, void (*)(cJSON*)> pDoc(
        cJSON_ParseWithLengthOpts(sText.data(), sText.size(), &pszEnd, 0), cJSON_Delete);
    if (!pDoc || !cJSON_IsObject(pDoc.get())) {
        sError = "not a JSON object";
        return false;
    }
    for (const char* p = pszEnd; p != nullptr && p < sText.data() + sText.size(); ++p) {
        if (!isspace(static_cast<unsigned char>(*p))) {
            sError = "something follows the JSON object";
            return false;
        }
    }
    const cJSON* pRoles = cJSON_GetObjectItemCaseSensitive(pDoc.get(), "roles");
    if (!cJSON_IsObject(pRoles)) {
        sError = "no \"roles\" object";
        return false;
    }
    const cJSON* pRole = nullptr;
    cJSON_ArrayForEach(pRole, pRoles)
    {
        const std::string sName = pRole->string ? pRole->string : "";
        if (sName.empty() || sName.size() > MB_MAX_ROLE_LENGTH) {
            sError = "a role name is empty or longer than 64 characters";
            m_roles.clear();
            return false;
        }
        if (m_roles.count(sName) != 0) {
            sError = "role '" + sName + "' is named twice";
            m_roles.clear();
            return false;
        }
        CMasterRights rights;
        std::string sWhy;
        if (!ParseRole(pRole, rights, sWhy)) {
            sError = "role '" + sName + "' " + sWhy;
            m_roles.clear();
            return false;
        }
        m_roles.emplace(sName, rights);
    }
    if (m_roles.empty()) {
        sError = "\"roles\" names no role";
        return false;
    }
    const cJSON* pDefault = cJSON_GetObjectItemCaseSensitive(pDoc.get(), "default");
    if (pDefault != nullptr) {
        if (!cJSON_IsString(pDefault) || m_roles.count(pDefault->valuestring) == 0) {
            sError = "\"default\" does not name one of the roles";
            m_roles.clear();
            return false;
        }
        m_sDefault = pDefault->valuestring;
    }
    return true;
}

const CMasterRights* CRolesFile::Rights(const std::string& sRole) const
{
    auto it = m_roles.find(sRole);
    return it == m_roles.end() ? nullptr : &it->second;
}
