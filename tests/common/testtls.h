#pragma once

// TLS for the tests: a certificate authority and server certificates made
// with the openssl tool in a temporary directory, and a TLS server on
// loopback (OpenSSL's server side on a thread of its own) whose behaviour a
// test chooses.

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <atomic>
#include <mutex>
#include <thread>

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

    QString certFile(Kind kind) const;
    QString keyFile(Kind kind) const;
    QString dhFile() const;

    // SHA-256 of the certificate's DER or of its SubjectPublicKeyInfo DER.
    QByteArray sha256Of(Kind kind, bool publicKey) const;

private:
    bool openssl(const QString &arguments, QString *error, QByteArray *output = nullptr) const;
    QString path(const QString &name) const { return m_dir.filePath(name); }

    QTemporaryDir m_dir;
};

// A TLS server on 127.0.0.1 (port chosen by the system) that takes one
// connection and then runs its script: send `greeting`; end its direction
// (close_notify and FIN, FIN alone, FIN after half a record) or not, or
// close the socket unread right after the greeting; echo what it reads unless it has ended;
// and once the client ends, send `farewell`, close_notify and FIN.
//
// Every socket call is bounded by IoTimeoutMs; the destructor joins.
class TlsServer
{
public:
    static constexpr int IoTimeoutMs = 20 * 1000;

    enum class EndFirst { No, CloseNotify, FinOnly, CutRecord, Drop };

    struct Script
    {
        QString certFile;
        QString keyFile;
        QByteArray greeting;
        EndFirst endFirst = EndFirst::No;
        bool echo = false;
        QByteArray farewell;
    };

    explicit TlsServer(Script script);
    ~TlsServer();
    TlsServer(const TlsServer &) = delete;
    TlsServer &operator=(const TlsServer &) = delete;

    quint16 port() const { return m_port; }

    bool handshakeDone() const { return m_handshakeDone; }
    bool finished() const { return m_finished; } // the connection is over
    bool clientEnded() const { return m_clientEnded; }
    QByteArray received() const; // application bytes from the client
    QString problem() const;     // why the server gave up, if it did

private:
    void run(int listener);
    void serve(int fd);
    void note(const QString &problem);

    Script m_script;
    quint16 m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_handshakeDone{false};
    std::atomic<bool> m_finished{false};
    std::atomic<bool> m_clientEnded{false};
    mutable std::mutex m_mutex;
    QByteArray m_received;
    QString m_problem;
    std::thread m_thread;
};

} // namespace pelktest
