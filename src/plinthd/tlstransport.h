// Modbus/TCP Security's side of the TCP transport: the server's TLS context
// (certificate, key, the CA that masters' certificates must chain to, the
// protocol versions), the roles file, the reading of a master's role from
// its certificate, and the listening socket of the secure port. The TLS
// itself is OpenSSL's; the Modbus framing stays the TCP transport's.
#pragma once

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <string>

#include "rolesfile.h"

// The port of Modbus/TCP Security.
constexpr int MB_TLS_DEFAULT_PORT = 802;

// The files of the secure port, as the "init" document names them.
typedef struct TlsConfig_s {
    int iPort = MB_TLS_DEFAULT_PORT;
    std::string sCertificate;
    std::string sKey;
    std::string sCa;
    std::string sRoles;
} TlsConfig_t;

class CTlsContext
{
public:
    // Reads the certificate, key, CA and roles; null with the reason in
    // sError (names the file at fault, never its content).
    static std::shared_ptr<CTlsContext> Create(const TlsConfig_t& cfg, std::string& sError);
    ~CTlsContext();
    CTlsContext(const CTlsContext&) = delete;
    CTlsContext& operator=(const CTlsContext&) = delete;

    SSL_CTX* Ctx() const { return m_pCtx; }
    const CRolesFile& Roles() const { return m_roles; }
    int Port() const { return m_iPort; }

private:
    CTlsContext() = default;
    SSL_CTX* m_pCtx = nullptr;
    CRolesFile m_roles;
    int m_iPort = MB_TLS_DEFAULT_PORT;
};

// The role extension's object identifier.
#define MB_ROLE_OID "1.3.6.1.4.1.50316.802.1"

enum RoleRead_t {
    ROLE_FOUND,   // sRole holds the role
    ROLE_ABSENT,  // the certificate has no role extension
    ROLE_INVALID, // an extension that is not one UTF8String of 1..64 printable characters
};
// The role of a certificate.
RoleRead_t ReadCertificateRole(X509* pCert, std::string& sRole);
// The role from the extension's value: the DER of one UTF8String, nothing
// after it.
RoleRead_t ReadRoleExtension(const uint8_t* pDer, size_t uiLen, std::string& sRole);

// A non-blocking listening socket on node:service (any address when the
// node is empty); -1 with the reason in sError.
int ListenTcp(const std::string& sNode, const std::string& sService, int iBacklog,
              std::string& sError);
