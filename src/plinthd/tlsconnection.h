// One master's TLS session on the secure port: the handshake and every read
// and write without waiting, driven by the server's poll loop (OpenSSL says
// whether it waits for the socket to be readable or writable), and what the
// handshake established: the certificate's subject, the role and its rights.
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <string>

#include "masterrights.h"

class CTlsContext;

// OpenSSL's last error in this thread as one line ("" when none), and the
// thread's error queue emptied.
std::string OpenSslLastError();

class CTlsSession
{
public:
    enum Step_t {
        STEP_DONE,   // the handshake is complete
        STEP_AGAIN,  // it waits for the master (WantedEvents)
        STEP_FAILED, // refused or broken: Failure() says why
    };

    // Serves iFD (owned by the caller) with the context's certificate.
    // sPeer ("ip:port") only names the master in log lines.
    CTlsSession(std::shared_ptr<const CTlsContext> pContext, int iFD, const std::string& sPeer);
    ~CTlsSession();
    CTlsSession(const CTlsSession&) = delete;
    CTlsSession& operator=(const CTlsSession&) = delete;

    // False when the session could not be made (out of memory).
    bool Valid() const { return m_pSsl != nullptr; }
    Step_t Handshake();
    bool Established() const { return m_bEstablished; }
    // Bytes read (> 0); 0 when nothing can be read now; -1 when the master
    // closed the session (errno 0) or it broke (errno set).
    int Read(uint8_t* pBuffer, int iRoom);
    // Bytes OpenSSL holds decrypted that the socket no longer shows.
    bool HasPending() const;
    // True when the record went out whole at once.
    bool Write(const uint8_t* pData, int iLength);
    // POLLIN, or POLLOUT when OpenSSL waits to write.
    short WantedEvents() const { return m_sWanted; }

    const std::string& Subject() const { return m_sSubject; }
    const std::string& Role() const { return m_sRole; }
    const CMasterRights& Rights() const { return m_rights; }
    const std::string& Failure() const { return m_sFailure; }

    // From the certificate check: takes the certificate's role, or the
    // default role, and its rights. False (and the handshake fails) for a
    // role the roles file does not name, an unreadable role, or no role and
    // no default.
    bool AdoptRole(X509* pCert);

private:
    // Notes what OpenSSL waits for; false when the error is not a wait.
    bool Wait(int iResult);

    std::shared_ptr<const CTlsContext> m_pContext;
    SSL* m_pSsl = nullptr;
    std::string m_sPeer;
    bool m_bEstablished = false;
    short m_sWanted;
    std::string m_sSubject;
    std::string m_sRole;
    // Nothing until the handshake has read the certificate's role.
    CMasterRights m_rights{false, false, {}};
    std::string m_sFailure;
};
