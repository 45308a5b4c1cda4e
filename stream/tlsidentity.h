#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>

#include <memory>
#include <vector>

typedef struct evp_pkey_st EVP_PKEY;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct x509_st X509;

namespace pelk {

// A certificate, the chain certificates sent after it, and its private key:
// what this side presents in a handshake. A value; copies share the keys.
class TlsIdentity
{
public:
    // A PEM file of certificates and a key is a few KiB; the bound keeps a
    // wrong name (a device, a log) from being read into memory.
    static constexpr qsizetype MaxFileBytes = 1024 * 1024;

    // Reads a PEM certificate file, and the key from keyFile (from certFile
    // when keyFile is empty). Only regular files of at most MaxFileBytes are
    // read: the type is checked before anything is opened, and again on
    // what was opened (without blocking, never as a terminal). False, with *error naming the file
    // and saying exactly what is wrong: unreadable, not a regular file, too
    // large, no certificate, no key, an encrypted key (not supported: the
    // program has nobody to ask for a passphrase when started from a menu or
    // at login), a key that does not match the certificate. *aboutKey (when
    // given) says whether what is wrong is the key's (its file, or the key
    // itself) rather than the certificate's.
    bool load(const QString &certFile, const QString &keyFile, QString *error, bool *aboutKey = nullptr);

    // A fresh self-signed certificate on a new EC P-256 key, in memory,
    // naming localhost, this computer's host name, 127.0.0.1, ::1 and
    // listenAddress (when not null) as subjectAltName.
    bool generate(const QHostAddress &listenAddress, QString *error);

    bool isNull() const { return !m_cert; }
    QByteArray sha256() const; // of the certificate's DER, as services show CertFP
    bool applyTo(SSL_CTX *context) const;

private:
    std::shared_ptr<X509> m_cert;
    std::vector<std::shared_ptr<X509>> m_chain;
    std::shared_ptr<EVP_PKEY> m_key;
};

} // namespace pelk
