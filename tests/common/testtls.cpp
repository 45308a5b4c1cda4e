#include "testtls.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>

namespace pelktest {

constexpr int OpensslTimeoutMs = 30 * 1000;

bool TestCertificates::openssl(const QString &arguments, QString *error, QByteArray *output) const
{
    QProcess process;
    process.setWorkingDirectory(m_dir.path());
    process.start(QStringLiteral("openssl"), arguments.split(u' '));
    if (!process.waitForFinished(OpensslTimeoutMs) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        *error = QStringLiteral("openssl %1 failed: %2 %3")
                     .arg(arguments, process.errorString(), QString::fromLocal8Bit(process.readAllStandardError()));
        return false;
    }
    if (output)
        *output = process.readAllStandardOutput();
    return true;
}

bool TestCertificates::create(QString *error)
{
    if (!m_dir.isValid()) {
        *error = m_dir.errorString();
        return false;
    }
    // Files are named after the kind (0.pem, 0.key, ...) in the directory.
    const QString newCert = QStringLiteral("req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
                                           "-days 2 -keyout %1.key -out %1.pem -subj /CN=%2");
    const QString leaf = newCert + QStringLiteral(" -addext basicConstraints=critical,CA:FALSE "
                                                  "-addext subjectAltName=%3");
    const QString byCa = QStringLiteral(" -CA ca.pem -CAkey ca.key");
    return openssl(newCert.arg(QStringLiteral("ca"), QStringLiteral("pelk-test-ca")), error)
           && openssl(leaf.arg(Trusted).arg(QStringLiteral("pelk-trusted"),
                                            QStringLiteral("DNS:localhost,IP:127.0.0.1,IP:::1")) + byCa, error)
           && openssl(leaf.arg(OtherHost).arg(QStringLiteral("pelk-other-host"),
                                              QStringLiteral("DNS:other.pelk.test")) + byCa, error)
           && openssl(leaf.arg(SelfSigned).arg(QStringLiteral("pelk-self-signed"),
                                               QStringLiteral("DNS:localhost,IP:127.0.0.1")), error)
           && openssl(newCert.arg(CnOnly).arg(QStringLiteral("localhost"))
                          + QStringLiteral(" -addext basicConstraints=critical,CA:FALSE") + byCa, error)
           && openssl(QStringLiteral("genpkey -genparam -algorithm DH -pkeyopt group:ffdhe2048 -out dh.pem"), error)
           && openssl(QStringLiteral("pkey -in %1.key -aes256 -passout pass:pelk -out encrypted.key").arg(Trusted), error)
           && QDir(m_dir.path()).mkpath(QStringLiteral("no-certs"));
}

void TestCertificates::trustTestCa() const
{
    qputenv("SSL_CERT_FILE", QFile::encodeName(path(QStringLiteral("ca.pem"))));
    qputenv("SSL_CERT_DIR", QFile::encodeName(path(QStringLiteral("no-certs"))));
}

QByteArray TestCertificates::sha256Of(Kind kind, bool publicKey) const
{
    QString error;
    QByteArray pem;
    const QString what = publicKey ? QStringLiteral("-pubkey -noout") : QStringLiteral("-outform PEM");
    if (!openssl(QStringLiteral("x509 -in %1.pem %2").arg(kind).arg(what), &error, &pem))
        return {};
    const qsizetype begin = pem.indexOf('\n', pem.indexOf("-----BEGIN")) + 1;
    return sha256(QByteArray::fromBase64(pem.mid(begin, pem.indexOf("-----END") - begin)));
}

} // namespace pelktest
