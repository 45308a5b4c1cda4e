#pragma once

// Certificates for the TLS tests: a certificate authority and server
// certificates made with the openssl tool in a temporary directory.

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

namespace pelktest {

// Made once by create(). The process is pointed at the CA with SSL_CERT_FILE
// (and SSL_CERT_DIR at an empty directory), so no system store is read.
class TestCertificates
{
public:
    enum Kind {
        Trusted,    // signed by the test CA for localhost, 127.0.0.1 and ::1
        OtherHost,  // signed by the test CA for other.pelk.test only
        SelfSigned, // for localhost and 127.0.0.1, signed by itself
        CnOnly,     // signed by the test CA, CN=localhost and no subjectAltName
    };

    // Also writes a DH parameter file (for ngIRCd). False: *error says why.
    bool create(QString *error);
    void trustTestCa() const;

    QString certFile(Kind kind) const { return path(QStringLiteral("%1.pem").arg(kind)); }
    QString keyFile(Kind kind) const { return path(QStringLiteral("%1.key").arg(kind)); }
    QString dhFile() const { return path(QStringLiteral("dh.pem")); }
    QString caFile() const { return path(QStringLiteral("ca.pem")); }
    QString encryptedKeyFile() const { return path(QStringLiteral("encrypted.key")); } // Trusted's, passphrase "pelk"

    // SHA-256 of the certificate's DER or of its SubjectPublicKeyInfo DER.
    QByteArray sha256Of(Kind kind, bool publicKey) const;

private:
    bool openssl(const QString &arguments, QString *error, QByteArray *output = nullptr) const;
    QString path(const QString &name) const { return m_dir.filePath(name); }

    QTemporaryDir m_dir;
};

} // namespace pelktest
