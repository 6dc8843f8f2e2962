#ifndef TESSAL_CERTIFICATEPIN_H
#define TESSAL_CERTIFICATEPIN_H

#include <QByteArray>
#include <QSslCertificate>
#include <QString>

namespace Tessal
{

// The device's certificate, named by the SHA-256 fingerprint of
// [WebSite] CertificateSha256. With https and a fingerprint, the device is
// the one server whose certificate the kiosk accepts although no authority
// vouches for it, and only while it shows exactly that certificate.
class CertificatePin
{
public:
    // The configured fingerprint as 32 raw bytes; empty when none is
    // configured or the setting is not a SHA-256 fingerprint (said once).
    static QByteArray expected();
    static bool isSet() { return !expected().isEmpty(); }

    // SHA-256 of the certificate's DER form.
    static QByteArray digest(const QSslCertificate& certificate);
    // The form openssl prints: upper-case hex pairs joined by colons.
    static QString format(const QByteArray& digest);
    // A fingerprint as written by a person: hex, colons and blanks allowed,
    // any letter case. Empty when it is not 32 bytes of hex.
    static QByteArray parse(const QString& text);

    // True when a fingerprint is configured and `leaf` (the server's own
    // certificate, first of its chain) has it.
    static bool matches(const QSslCertificate& leaf);
    // The log line of a refused certificate: the one presented and, where
    // the pin applies (the device's origin), the one expected.
    static QString refusal(const QString& url, const QSslCertificate& leaf, bool pinApplies);
};

} // namespace Tessal

#endif
