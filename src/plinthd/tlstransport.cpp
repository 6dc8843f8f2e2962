#include "tlstransport.h"

#include <fcntl.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tlsconnection.h"

namespace
{

std::string OpenSslError()
{
    const std::string sError = OpenSslLastError();
    return sError.empty() ? std::string("unknown error") : sError;
}

// A key with a passphrase cannot be used by a daemon: refused, never asked
// for on a terminal.
int NoPassphrase(char*, int, int, void*)
{
    return 0;
}

bool Readable(const std::string& sPath, const char* pszWhat, std::string& sError)
{
    if (sPath.empty()) {
        sError = std::string("TLS ") + pszWhat + " is missing";
        return false;
    }
    if (access(sPath.c_str(), R_OK) != 0) {
        sError =
            std::string("TLS ") + pszWhat + " '" + sPath + "' cannot be read: " + strerror(errno);
        return false;
    }
    // A pipe or a device would hold the loop (and every master) while it is
    // read: plain files only.
    struct stat st;
    if (stat(sPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        sError = std::string("TLS ") + pszWhat + " '" + sPath + "' is not a plain file";
        return false;
    }
    return true;
}

// Depth 0 is the master's own certificate: once its chain is good, it must
// carry a role the roles file knows, or the file must name a default.
int VerifyMaster(int iOk, X509_STORE_CTX* pStore)
{
    if (!iOk || X509_STORE_CTX_get_error_depth(pStore) != 0)
        return iOk;
    SSL* pSsl =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(pStore, SSL_get_ex_data_X509_STORE_CTX_idx()));
    CTlsSession* pSession = pSsl ? static_cast<CTlsSession*>(SSL_get_app_data(pSsl)) : nullptr;
    if (pSession == nullptr)
        return 0;
    if (!pSession->AdoptRole(X509_STORE_CTX_get_current_cert(pStore))) {
        X509_STORE_CTX_set_error(pStore, X509_V_ERR_APPLICATION_VERIFICATION);
        return 0;
    }
    return 1;
}

} // namespace

std::shared_ptr<CTlsContext> CTlsContext::Create(const TlsConfig_t& cfg, std::string& sError)
{
    if (!Readable(cfg.sCertificate, "certificate", sError) || !Readable(cfg.sKey, "key", sError) ||
        !Readable(cfg.sCa, "CA file", sError) || !Readable(cfg.sRoles, "roles file", sError))
        return nullptr;
    std::shared_ptr<CTlsContext> pTls(new CTlsContext());
    pTls->m_iPort = cfg.iPort;
    if (!pTls->m_roles.Load(cfg.sRoles, sError))
        return nullptr;
    ERR_clear_error();
    SSL_CTX* pCtx = SSL_CTX_new(TLS_server_method());
    if (pCtx == nullptr) {
        sError = "TLS context cannot be made: " + OpenSslError();
        return nullptr;
    }
    pTls->m_pCtx = pCtx;
    SSL_CTX_set_default_passwd_cb(pCtx, NoPassphrase);
    // TLS 1.2 at least; 1.3 is offered as OpenSSL's highest. No
    // renegotiation, no resumption: every connection shows its certificate
    // and its role is read anew, and no session cache grows.
    SSL_CTX_set_min_proto_version(pCtx, TLS1_2_VERSION);
    SSL_CTX_set_options(pCtx, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_TICKET |
                                  SSL_OP_CIPHER_SERVER_PREFERENCE);
    SSL_CTX_set_session_cache_mode(pCtx, SSL_SESS_CACHE_OFF);
    // AES-128-GCM first: as strong as a unit's keys need, and the cheapest
    // per record on processors with AES instructions (and ARMv8's).
    SSL_CTX_set_ciphersuites(
        pCtx, "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256");
    SSL_CTX_set_num_tickets(pCtx, 0);
    SSL_CTX_set_mode(pCtx, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_RELEASE_BUFFERS);
    // A record is read whole with one system call, not header and body
    // apart; the records that come with it wait in OpenSSL's buffer
    // (HasPending), still to be opened.
    SSL_CTX_set_read_ahead(pCtx, 1);
    if (SSL_CTX_use_certificate_chain_file(pCtx, cfg.sCertificate.c_str()) != 1) {
        sError = "TLS certificate '" + cfg.sCertificate + "' cannot be used: " + OpenSslError();
        return nullptr;
    }
    if (SSL_CTX_use_PrivateKey_file(pCtx, cfg.sKey.c_str(), SSL_FILETYPE_PEM) != 1) {
        sError = "TLS key '" + cfg.sKey + "' cannot be used: " + OpenSslError();
        return nullptr;
    }
    if (SSL_CTX_check_private_key(pCtx) != 1) {
        sError = "TLS key '" + cfg.sKey + "' does not belong to the certificate";
        ERR_clear_error();
        return nullptr;
    }
    if (SSL_CTX_load_verify_locations(pCtx, cfg.sCa.c_str(), nullptr) != 1) {
        sError = "TLS CA file '" + cfg.sCa + "' cannot be used: " + OpenSslError();
        return nullptr;
    }
    // Masters are told which CA their certificate must come from.
    STACK_OF(X509_NAME)* pNames = SSL_load_client_CA_file(cfg.sCa.c_str());
    if (pNames != nullptr)
        SSL_CTX_set_client_CA_list(pCtx, pNames);
    ERR_clear_error();
    SSL_CTX_set_verify(pCtx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, VerifyMaster);
    SSL_CTX_set_verify_depth(pCtx, 4);
    return pTls;
}

CTlsContext::~CTlsContext()
{
    if (m_pCtx != nullptr)
        SSL_CTX_free(m_pCtx);
}

RoleRead_t ReadRoleExtension(const uint8_t* pDer, size_t uiLen, std::string& sRole)
{
    sRole.clear();
    if (pDer == nullptr || uiLen == 0 || uiLen > 1024)
        return ROLE_INVALID;
    const unsigned char* p = pDer;
    ASN1_UTF8STRING* pStr = d2i_ASN1_UTF8STRING(nullptr, &p, static_cast<long>(uiLen));
    ERR_clear_error();
    if (pStr == nullptr)
        return ROLE_INVALID;
    RoleRead_t eResult = ROLE_FOUND;
    const int iLen = ASN1_STRING_length(pStr);
    const unsigned char* pData = ASN1_STRING_get0_data(pStr);
    if (p != pDer + uiLen || iLen < 1 || static_cast<size_t>(iLen) > MB_MAX_ROLE_LENGTH) {
        eResult = ROLE_INVALID;
    } else {
        // A role is a name: printable characters, no control bytes to
        // garble a log line. Bytes of multi-byte UTF-8 pass as they are.
        for (int i = 0; i < iLen; i++) {
            if (pData[i] < 0x20 || pData[i] == 0x7F) {
                eResult = ROLE_INVALID;
                break;
            }
        }
    }
    if (eResult == ROLE_FOUND)
        sRole.assign(reinterpret_cast<const char*>(pData), static_cast<size_t>(iLen));
    ASN1_UTF8STRING_free(pStr);
    return eResult;
}

RoleRead_t ReadCertificateRole(X509* pCert, std::string& sRole)
{
    sRole.clear();
    if (pCert == nullptr)
        return ROLE_ABSENT;
    ASN1_OBJECT* pOid = OBJ_txt2obj(MB_ROLE_OID, 1);
    if (pOid == nullptr) {
        ERR_clear_error();
        return ROLE_INVALID;
    }
    const int iIndex = X509_get_ext_by_OBJ(pCert, pOid, -1);
    // A certificate that names two roles is not to be guessed at.
    const bool bTwice = iIndex >= 0 && X509_get_ext_by_OBJ(pCert, pOid, iIndex) >= 0;
    ASN1_OBJECT_free(pOid);
    if (iIndex < 0)
        return ROLE_ABSENT;
    if (bTwice)
        return ROLE_INVALID;
    X509_EXTENSION* pExt = X509_get_ext(pCert, iIndex);
    ASN1_OCTET_STRING* pValue = pExt ? X509_EXTENSION_get_data(pExt) : nullptr;
    if (pValue == nullptr)
        return ROLE_INVALID;
    return ReadRoleExtension(ASN1_STRING_get0_data(pValue),
                             static_cast<size_t>(ASN1_STRING_length(pValue)), sRole);
}

int ListenTcp(const std::string& sNode, const std::string& sService, int iBacklog,
              std::string& sError)
{
    addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* pList = nullptr;
    const int iGai =
        getaddrinfo(sNode.empty() ? nullptr : sNode.c_str(), sService.c_str(), &hints, &pList);
    if (iGai != 0) {
        sError = gai_strerror(iGai);
        return -1;
    }
    int iFD = -1;
    sError = "no address";
    for (addrinfo* pAi = pList; pAi != nullptr; pAi = pAi->ai_next) {
        iFD = socket(pAi->ai_family, pAi->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                     pAi->ai_protocol);
        if (iFD < 0) {
            sError = strerror(errno);
            continue;
        }
        int iOne = 1;
        setsockopt(iFD, SOL_SOCKET, SO_REUSEADDR, &iOne, sizeof(iOne));
        if (bind(iFD, pAi->ai_addr, pAi->ai_addrlen) == 0 && listen(iFD, iBacklog) == 0)
            break;
        sError = strerror(errno);
        close(iFD);
        iFD = -1;
    }
    freeaddrinfo(pList);
    return iFD;
}
