// The roles file of Modbus/TCP Security: what each role named in a master's
// certificate may do, and the role of a certificate that names none.
//
//   {"default": "viewer",
//    "roles": {"viewer":   {"access": "r"},
//              "operator": {"access": "rw",
//                           "ranges": [{"address": 0, "length": 100}]}}}
//
// "access" is "r", "w", "rw" or "-"; "ranges" (optional) limits the role to
// those registers (and coils); "default" (optional) names one of the roles.
#pragma once

#include <map>
#include <string>

#include "masterrights.h"

// Longest role name taken from a certificate or a roles file.
constexpr size_t MB_MAX_ROLE_LENGTH = 64;
// Largest roles file read.
constexpr long MB_MAX_ROLES_FILE = 64 * 1024;

class CRolesFile
{
public:
    // Reads the file; false with the reason in sError (file name included).
    bool Load(const std::string& sPath, std::string& sError);
    // Reads the JSON text; false with the reason in sError.
    bool Parse(const std::string& sText, std::string& sError);

    // The rights of a role; null when the file does not name it.
    const CMasterRights* Rights(const std::string& sRole) const;
    // The role for a certificate without one; empty when none is named.
    const std::string& DefaultRole() const { return m_sDefault; }
    size_t Size() const { return m_roles.size(); }

private:
    std::map<std::string, CMasterRights> m_roles;
    std::string m_sDefault;
};
