#include "fingerprint.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>

namespace pelk {

namespace {

constexpr int Sha256Bytes = 32;

} // namespace

QByteArray certificateDigest(X509 *cert)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(cert, EVP_sha256(), digest, &length) != 1)
        return {};
    return QByteArray(reinterpret_cast<const char *>(digest), int(length));
}

// Over the whole DER SubjectPublicKeyInfo, not just the key bits that
// X509_pubkey_digest() hashes: that is the form other tools print and pin.
QByteArray publicKeyDigest(X509 *cert)
{
    unsigned char *der = nullptr;
    const int derLength = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(cert), &der);
    if (derLength <= 0)
        return {};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const bool ok = EVP_Digest(der, size_t(derLength), digest, &length, EVP_sha256(), nullptr) == 1;
    OPENSSL_free(der);
    return ok ? QByteArray(reinterpret_cast<const char *>(digest), int(length)) : QByteArray();
}

std::optional<QByteArray> parseFingerprint(QStringView text, QString *error)
{
    QString digits = text.trimmed().toString();
    digits.remove(u':');
    const auto fail = [error](const QString &why) -> std::optional<QByteArray> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    const bool hex = std::all_of(digits.cbegin(), digits.cend(), [](QChar c) {
        return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
    });
    if (!hex)
        return fail(QStringLiteral("a SHA-256 fingerprint holds only hex digits and colons"));
    if (digits.size() != 2 * Sha256Bytes)
        return fail(QStringLiteral("a SHA-256 fingerprint has 64 hex digits, not %1").arg(digits.size()));
    return QByteArray::fromHex(digits.toLatin1());
}

QString fingerprintText(const QByteArray &sha256)
{
    return QString::fromLatin1(sha256.toHex(':').toUpper());
}

} // namespace pelk
