#include "testtls.h"
#include "testsupport.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <csignal>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pelktest {

namespace {

constexpr int OpensslTimeoutMs = 30 * 1000;
constexpr int AcceptPollMs = 100;

QString sslErrors()
{
    QString text;
    for (unsigned long code = ERR_get_error(); code != 0; code = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        text += QString::fromLatin1(buffer) + u' ';
    }
    return text;
}

} // namespace

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
           && QDir(m_dir.path()).mkpath(QStringLiteral("no-certs"));
}

void TestCertificates::trustTestCa() const
{
    qputenv("SSL_CERT_FILE", QFile::encodeName(path(QStringLiteral("ca.pem"))));
    qputenv("SSL_CERT_DIR", QFile::encodeName(path(QStringLiteral("no-certs"))));
}

QString TestCertificates::certFile(Kind kind) const
{
    return path(QStringLiteral("%1.pem").arg(kind));
}

QString TestCertificates::keyFile(Kind kind) const
{
    return path(QStringLiteral("%1.key").arg(kind));
}

QString TestCertificates::dhFile() const
{
    return path(QStringLiteral("dh.pem"));
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

// ---------------------------------------------------------------------------

TlsServer::TlsServer(Script script)
    : m_script(std::move(script))
{
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr *>(&address), length) != 0
        || ::listen(listener, 4) != 0
        || ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        if (listener >= 0)
            ::close(listener);
        note(QStringLiteral("cannot listen: %1").arg(errno));
        m_finished = true;
        return;
    }
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this, listener] { run(listener); });
}

TlsServer::~TlsServer()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
}

QByteArray TlsServer::received() const
{
    std::lock_guard lock(m_mutex);
    return m_received;
}

QString TlsServer::problem() const
{
    std::lock_guard lock(m_mutex);
    return m_problem;
}

void TlsServer::note(const QString &problem)
{
    std::lock_guard lock(m_mutex);
    if (m_problem.isEmpty())
        m_problem = problem;
}

void TlsServer::run(int listener)
{
    // OpenSSL writes with write(): a client gone would raise SIGPIPE, which
    // the tests leave as it comes, so that the relay's own writes are shown
    // never to raise it. Blocked on this thread, it is an EPIPE here.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    const QDeadlineTimer deadline(IoTimeoutMs);
    int fd = -1;
    while (fd < 0 && !m_stop && !deadline.hasExpired()) {
        pollfd ready{listener, POLLIN, 0};
        if (::poll(&ready, 1, AcceptPollMs) > 0)
            fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    }
    ::close(listener);
    if (fd >= 0) {
        const timeval timeout{IoTimeoutMs / 1000, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        serve(fd);
        ::close(fd);
    }
    m_finished = true;
}

void TlsServer::serve(int fd)
{
    char buffer[64 * 1024];
    SSL_CTX *context = SSL_CTX_new(TLS_server_method());
    SSL *ssl = nullptr;
    const auto cleanUp = [&] {
        SSL_free(ssl);
        SSL_CTX_free(context);
    };
    if (!context || SSL_CTX_use_certificate_chain_file(context, m_script.certFile.toLocal8Bit().constData()) != 1
        || SSL_CTX_use_PrivateKey_file(context, m_script.keyFile.toLocal8Bit().constData(), SSL_FILETYPE_PEM) != 1) {
        note(QStringLiteral("server set-up: %1").arg(sslErrors()));
        return cleanUp();
    }
    ssl = SSL_new(context);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) != 1) {
        note(QStringLiteral("server handshake: %1").arg(sslErrors()));
        return cleanUp();
    }
    m_handshakeDone = true;
    const auto writeAll = [&](const char *data, qsizetype size) {
        for (qsizetype done = 0; done < size;) {
            const int n = SSL_write(ssl, data + done, int(qMin<qsizetype>(size - done, 1 << 20)));
            if (n <= 0) {
                note(QStringLiteral("server write: %1").arg(sslErrors()));
                return false;
            }
            done += n;
        }
        return true;
    };
    bool ended = false;
    // Drop: the greeting, and the socket closed unread (a plain FIN): the
    // client's next bytes meet a reset.
    if (!writeAll(m_script.greeting.constData(), m_script.greeting.size()) || m_script.endFirst == EndFirst::Drop)
        return cleanUp();
    if (m_script.endFirst == EndFirst::CloseNotify)
        SSL_shutdown(ssl);
    if (m_script.endFirst == EndFirst::CutRecord) {
        // One more record, made in memory, of which only the first half goes out.
        BIO *memory = BIO_new(BIO_s_mem());
        SSL_set0_wbio(ssl, memory);
        const QByteArray line("PING :cut\r\n");
        SSL_write(ssl, line.constData(), int(line.size()));
        char *record = nullptr;
        const long size = BIO_get_mem_data(memory, &record);
        if (::send(fd, record, size_t(size / 2), MSG_NOSIGNAL) != size / 2)
            note(QStringLiteral("cannot send half a record"));
    }
    if (m_script.endFirst != EndFirst::No) {
        ::shutdown(fd, SHUT_WR);
        ended = true;
    }
    while (!m_stop) {
        const int n = SSL_read(ssl, buffer, int(sizeof buffer));
        if (n > 0) {
            {
                std::lock_guard lock(m_mutex);
                m_received.append(buffer, n);
            }
            if (m_script.echo && !ended && !writeAll(buffer, n))
                return cleanUp();
            continue;
        }
        const int error = SSL_get_error(ssl, n);
        if (error == SSL_ERROR_ZERO_RETURN || (error == SSL_ERROR_SYSCALL && errno == 0))
            m_clientEnded = true;
        else
            note(QStringLiteral("server read: error %1, errno %2, %3").arg(error).arg(errno).arg(sslErrors()));
        break;
    }
    if (m_clientEnded && !ended) {
        writeAll(m_script.farewell.constData(), m_script.farewell.size());
        SSL_shutdown(ssl);
        ::shutdown(fd, SHUT_WR);
    }
    cleanUp();
}

} // namespace pelktest
