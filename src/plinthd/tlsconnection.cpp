#include "tlsconnection.h"

#include <openssl/err.h>
#include <openssl/x509.h>
#include <poll.h>

#include <cerrno>
#include <climits>

#include "tlstransport.h"

std::string OpenSslLastError()
{
    unsigned long ulErr = ERR_peek_last_error();
    char szBuf[256] = "";
    if (ulErr != 0)
        ERR_error_string_n(ulErr, szBuf, sizeof(szBuf));
    ERR_clear_error();
    return szBuf;
}

namespace
{

// The subject as one line ("CN=reader,O=Tessal"); control bytes escaped by
// OpenSSL, so that a certificate cannot forge log or status lines.
std::string SubjectLine(X509* pCert)
{
    std::string sSubject;
    BIO* pBio = BIO_new(BIO_s_mem());
    if (pBio == nullptr)
        return sSubject;
    if (X509_NAME_print_ex(pBio, X509_get_subject_name(pCert), 0,
                           XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) >= 0) {
        char* pData = nullptr;
        long lLen = BIO_get_mem_data(pBio, &pData);
        if (pData != nullptr && lLen > 0)
            sSubject.assign(pData, static_cast<size_t>(std::min(lLen, 512L)));
    }
    BIO_free(pBio);
    return sSubject;
}

} // namespace

CTlsSession::CTlsSession(std::shared_ptr<const CTlsContext> pContext, int iFD,
                         const std::string& sPeer)
    : m_pContext(std::move(pContext)), m_sPeer(sPeer), m_sWanted(POLLIN)
{
    m_pSsl = SSL_new(m_pContext->Ctx());
    if (m_pSsl == nullptr) {
        ERR_clear_error();
        return;
    }
    SSL_set_fd(m_pSsl, iFD);
    SSL_set_accept_state(m_pSsl);
    SSL_set_app_data(m_pSsl, this);
}

CTlsSession::~CTlsSession()
{
    if (m_pSsl == nullptr)
        return;
    // A close_notify when the session stands; never waited for.
    if (m_bEstablished) {
        SSL_set_quiet_shutdown(m_pSsl, 0);
        SSL_shutdown(m_pSsl);
    }
    SSL_free(m_pSsl);
    ERR_clear_error();
}

bool CTlsSession::Wait(int iResult)
{
    switch (SSL_get_error(m_pSsl, iResult)) {
    case SSL_ERROR_WANT_READ:
        m_sWanted = POLLIN;
        return true;
    case SSL_ERROR_WANT_WRITE:
        m_sWanted = POLLOUT;
        return true;
    default:
        return false;
    }
}

CTlsSession::Step_t CTlsSession::Handshake()
{
    if (m_bEstablished)
        return STEP_DONE;
    if (m_pSsl == nullptr) {
        m_sFailure = "no session";
        return STEP_FAILED;
    }
    ERR_clear_error();
    const int iResult = SSL_do_handshake(m_pSsl);
    if (iResult == 1) {
        if (m_sRole.empty()) {
            // Verification always reads the role; a session without one
            // (a path OpenSSL should never take) gets no service.
            m_sFailure = "no role was read from the certificate";
            return STEP_FAILED;
        }
        m_bEstablished = true;
        m_sWanted = POLLIN;
        X509* pCert = SSL_get1_peer_certificate(m_pSsl);
        if (pCert != nullptr) {
            m_sSubject = SubjectLine(pCert);
            X509_free(pCert);
        }
        return STEP_DONE;
    }
    const int iSaved = errno;
    if (Wait(iResult))
        return STEP_AGAIN;
    if (m_sFailure.empty()) {
        const long lVerify = SSL_get_verify_result(m_pSsl);
        if (lVerify != X509_V_OK) {
            m_sFailure =
                std::string("certificate refused: ") + X509_verify_cert_error_string(lVerify);
        } else {
            std::string sSsl = OpenSslLastError();
            m_sFailure = !sSsl.empty() ? sSsl
                         : iSaved != 0 ? std::string("connection lost in the handshake")
                                       : std::string("closed in the handshake");
        }
    }
    ERR_clear_error();
    return STEP_FAILED;
}

int CTlsSession::Read(uint8_t* pBuffer, int iRoom)
{
    if (!m_bEstablished || iRoom <= 0)
        return 0;
    ERR_clear_error();
    const int n = SSL_read(m_pSsl, pBuffer, iRoom);
    if (n > 0)
        return n;
    if (Wait(n))
        return 0;
    const int iErr = SSL_get_error(m_pSsl, n);
    const int iSaved = errno;
    ERR_clear_error();
    if (iErr == SSL_ERROR_ZERO_RETURN) {
        errno = 0;
    } else {
        errno = iSaved != 0 ? iSaved : EPROTO;
    }
    return -1;
}

bool CTlsSession::HasPending() const
{
    // SSL_pending counts only what is decrypted; records read ahead from
    // the socket but not yet opened count too, or they would wait there
    // until the master sends more.
    return m_bEstablished && SSL_has_pending(m_pSsl) == 1;
}

bool CTlsSession::Write(const uint8_t* pData, int iLength)
{
    if (!m_bEstablished)
        return false;
    ERR_clear_error();
    const int n = SSL_write(m_pSsl, pData, iLength);
    if (n == iLength)
        return true;
    ERR_clear_error();
    return false;
}

bool CTlsSession::AdoptRole(X509* pCert)
{
    std::string sRole;
    const RoleRead_t eRead = ReadCertificateRole(pCert, sRole);
    const CRolesFile& roles = m_pContext->Roles();
    if (eRead == ROLE_INVALID) {
        m_sFailure = "the role extension is not a UTF8String of 1 to 64 printable characters";
        return false;
    }
    if (eRead == ROLE_ABSENT) {
        if (roles.DefaultRole().empty()) {
            m_sFailure = "the certificate names no role and the roles file no default";
            return false;
        }
        sRole = roles.DefaultRole();
    }
    const CMasterRights* pRights = roles.Rights(sRole);
    if (pRights == nullptr) {
        m_sFailure = "role '" + sRole + "' is not in the roles file";
        return false;
    }
    m_sRole = sRole;
    m_rights = *pRights;
    return true;
}
