#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>

#include <optional>

typedef struct x509_st X509;

namespace pelk {

// Reads a certificate pin as a person types it: the 64 hex digits of a
// SHA-256, in any case, with or without colons between them. Returns the 32
// bytes, or nothing and a short reason in *error.
std::optional<QByteArray> parseFingerprint(QStringView text, QString *error = nullptr);

// "AB:CD:...": how fingerprints are shown, and one of the forms
// parseFingerprint() reads.
QString fingerprintText(const QByteArray &sha256);

// The SHA-256 of a certificate's DER (what services show as CertFP), and of
// its whole DER SubjectPublicKeyInfo; empty when OpenSSL cannot make them.
QByteArray certificateDigest(X509 *cert);
QByteArray publicKeyDigest(X509 *cert);

} // namespace pelk
