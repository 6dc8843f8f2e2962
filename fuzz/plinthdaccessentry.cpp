// One fuzz input through what the access rules read from outside: the first
// byte chooses the reader, the rest is its input.
//   0: a network text of "allowconnect"/"allowwrite", then addresses matched
//   1: a roles file, then the rights of its roles against request PDUs
//   2: the value of a role extension (DER)
//   3: a whole certificate (DER), its role read as the handshake does
// Aborts when an invariant breaks.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/x509.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "accessrules.h"
#include "masterrights.h"
#include "rolesfile.h"
#include "tlstransport.h"

namespace
{

void FuzzNetwork(const uint8_t* data, size_t size)
{
    // The text ends at the first NUL; what follows are addresses to match.
    const size_t uiText = strnlen(reinterpret_cast<const char*>(data), size);
    CAddressList list;
    const bool bAdded = list.Add(std::string(reinterpret_cast<const char*>(data), uiText));
    if (bAdded != (list.Size() == 1))
        abort();
    const uint8_t* p = data + std::min(size, uiText + 1);
    size_t uiLeft = size - std::min(size, uiText + 1);
    while (uiLeft >= 16) {
        sockaddr_storage addr;
        memset(&addr, 0, sizeof(addr));
        sockaddr_in6* pIn6 = reinterpret_cast<sockaddr_in6*>(&addr);
        pIn6->sin6_family = AF_INET6;
        memcpy(&pIn6->sin6_addr, p, 16);
        const bool bAdmits = list.Admits(addr);
        // An IPv4-mapped address and the IPv4 address are one master.
        if (IN6_IS_ADDR_V4MAPPED(&pIn6->sin6_addr)) {
            sockaddr_storage addr4;
            memset(&addr4, 0, sizeof(addr4));
            sockaddr_in* pIn = reinterpret_cast<sockaddr_in*>(&addr4);
            pIn->sin_family = AF_INET;
            memcpy(&pIn->sin_addr, p + 12, 4);
            if (list.Admits(addr4) != bAdmits)
                abort();
        }
        if (!bAdded && !bAdmits)
            abort(); // a refused text leaves the list open, as it was
        p += 16;
        uiLeft -= 16;
    }
}

void FuzzRoles(const uint8_t* data, size_t size)
{
    CRolesFile roles;
    std::string sError;
    const bool bOk = roles.Parse(std::string(reinterpret_cast<const char*>(data), size), sError);
    if (!bOk && sError.empty())
        abort(); // a refusal always says why
    if (!bOk)
        return;
    if (!roles.DefaultRole().empty() && roles.Rights(roles.DefaultRole()) == nullptr)
        abort();
    static const uint8_t s_pdus[][12] = {{3, 0, 0, 0, 10},
                                         {6, 0, 5, 0, 1},
                                         {16, 0, 0, 0, 2, 4, 0, 1, 0, 2},
                                         {23, 0, 0, 0, 1, 0, 2, 0, 1, 2, 0, 9},
                                         {4, 0xFF, 0xFF, 0, 1},
                                         {17}};
    for (const char* pszRole : {"reader", "writer", "operator", ""}) {
        const CMasterRights* pRights = roles.Rights(pszRole);
        if (pRights == nullptr)
            continue;
        for (const auto& pdu : s_pdus) {
            MbRequest_t request;
            request.pPdu = pdu;
            request.iPduLen = sizeof(pdu);
            const int iCode = pRights->Permit(request, CRequestHandler::Reach(pdu, sizeof(pdu)));
            if (iCode != 0 && iCode != 1)
                abort();
        }
    }
}

void FuzzExtension(const uint8_t* data, size_t size)
{
    std::string sRole;
    const RoleRead_t eRead = ReadRoleExtension(data, size, sRole);
    if ((eRead == ROLE_FOUND) != !sRole.empty() || sRole.size() > MB_MAX_ROLE_LENGTH)
        abort();
}

void FuzzCertificate(const uint8_t* data, size_t size)
{
    const unsigned char* p = data;
    X509* pCert = d2i_X509(nullptr, &p, static_cast<long>(size));
    if (pCert == nullptr)
        return;
    std::string sRole;
    const RoleRead_t eRead = ReadCertificateRole(pCert, sRole);
    if ((eRead == ROLE_FOUND) != !sRole.empty())
        abort();
    X509_free(pCert);
}

} // namespace

int plinthdFuzzAccess(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    switch (data[0] % 4) {
    case 0:
        FuzzNetwork(data + 1, size - 1);
        break;
    case 1:
        FuzzRoles(data + 1, size - 1);
        break;
    case 2:
        FuzzExtension(data + 1, size - 1);
        break;
    default:
        FuzzCertificate(data + 1, size - 1);
        break;
    }
    return 0;
}
