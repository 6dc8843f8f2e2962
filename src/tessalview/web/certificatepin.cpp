#include "certificatepin.h"

#include "logging.h"
#include "settings.h"

#include <QCryptographicHash>
#include <QDebug>

namespace Tessal
{

QByteArray CertificatePin::parse(const QString& text)
{
    QString hex;
    for (const QChar c : text) {
        if (c == ':' || c.isSpace())
            continue;
        hex += c;
    }
    const QByteArray raw = QByteArray::fromHex(hex.toLatin1());
    // fromHex skips what is not hex: the round trip shows that nothing was.
    if (raw.size() != 32 || raw.toHex() != hex.toLower().toLatin1())
        return QByteArray();
    return raw;
}

QByteArray CertificatePin::expected()
{
    const QString configured = Settings::getWebCertificateSha256();
    if (configured.trimmed().isEmpty())
        return QByteArray();
    const QByteArray pin = parse(configured);
    if (pin.isEmpty()) {
        static bool said = false;
        if (!said)
            qCWarning(lcWeb).noquote()
                << QString("[WebSite] CertificateSha256 '%1' is not a SHA-256 fingerprint: no "
                           "certificate is pinned")
                       .arg(configured);
        said = true;
    }
    return pin;
}

QByteArray CertificatePin::digest(const QSslCertificate& certificate)
{
    if (certificate.isNull())
        return QByteArray();
    return certificate.digest(QCryptographicHash::Sha256);
}

QString CertificatePin::format(const QByteArray& digest)
{
    if (digest.isEmpty())
        return QStringLiteral("(none)");
    return QString::fromLatin1(digest.toHex(':').toUpper());
}

bool CertificatePin::matches(const QSslCertificate& leaf)
{
    const QByteArray pin = expected();
    return !pin.isEmpty() && digest(leaf) == pin;
}

QString CertificatePin::refusal(const QString& url, const QSslCertificate& leaf, bool pinApplies)
{
    const QByteArray pin = pinApplies ? expected() : QByteArray();
    if (pin.isEmpty())
        return QString("Certificate of '%1' refused: SHA-256 %2 presented, none pinned")
            .arg(url, format(digest(leaf)));
    return QString("Certificate of '%1' refused: SHA-256 %2 presented, %3 expected")
        .arg(url, format(digest(leaf)), format(pin));
}

} // namespace Tessal
