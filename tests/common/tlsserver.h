#pragma once

// A TLS server on 127.0.0.1 (port chosen by the system) that takes one
// connection and then runs its script: send `greeting`; end its direction
// (close_notify and FIN, FIN alone, FIN after half a record) or not, or
// close the socket unread right after the greeting; echo what it reads unless
// it has ended; and once the client ends, send `farewell`, close_notify, FIN.
// OpenSSL's server side runs on a thread of its own; every socket call is
// bounded by IoTimeoutMs, and the destructor joins.

#include "peer.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <csignal>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace pelktest {

class TlsServer
{
public:
    static constexpr int IoTimeoutMs = 20 * 1000;
    static constexpr int AcceptPollMs = 100;

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

    explicit TlsServer(Script script)
        : m_script(std::move(script))
    {
        const int listener = listenSocket(QHostAddress(QHostAddress::LocalHost), 4, &m_port);
        if (listener < 0) {
            note(QStringLiteral("cannot listen: %1").arg(errno));
            m_finished = true;
            return;
        }
        m_thread = std::thread([this, listener] { run(listener); });
    }
    ~TlsServer()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    TlsServer(const TlsServer &) = delete;
    TlsServer &operator=(const TlsServer &) = delete;

    quint16 port() const { return m_port; }
    bool handshakeDone() const { return m_handshakeDone; }
    bool accepted() const { return m_accepted; } // a client has connected
    bool finished() const { return m_finished; } // the connection is over
    bool clientEnded() const { return m_clientEnded; }
    // Application bytes from the client.
    QByteArray received() const
    {
        std::lock_guard lock(m_mutex);
        return m_received;
    }
    // Why the server gave up, if it did.
    QString problem() const
    {
        std::lock_guard lock(m_mutex);
        return m_problem;
    }

private:
    static QString sslErrors()
    {
        QString text;
        for (unsigned long code = ERR_get_error(); code != 0; code = ERR_get_error()) {
            char buffer[256];
            ERR_error_string_n(code, buffer, sizeof buffer);
            text += QString::fromLatin1(buffer) + u' ';
        }
        return text;
    }

    void note(const QString &problem)
    {
        std::lock_guard lock(m_mutex);
        if (m_problem.isEmpty())
            m_problem = problem;
    }

    void run(int listener)
    {
        // OpenSSL writes with write(): a client gone would raise SIGPIPE,
        // which the tests leave as it comes, so that the relay's own writes
        // are shown never to raise it. Blocked on this thread, it is EPIPE.
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
        m_accepted = fd >= 0;
        if (fd >= 0) {
            const timeval timeout{IoTimeoutMs / 1000, 0};
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
            setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
            serve(fd);
            ::close(fd);
        }
        m_finished = true;
    }

    void serve(int fd)
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
        // Drop: the greeting, then the socket closed unread (a plain FIN).
        if (!writeAll(m_script.greeting.constData(), m_script.greeting.size())
            || m_script.endFirst == EndFirst::Drop)
            return cleanUp();
        if (m_script.endFirst == EndFirst::CloseNotify)
            SSL_shutdown(ssl);
        if (m_script.endFirst == EndFirst::CutRecord) {
            // One more record, made in memory, of which only half goes out.
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

    Script m_script;
    quint16 m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_handshakeDone{false};
    std::atomic<bool> m_accepted{false};
    std::atomic<bool> m_finished{false};
    std::atomic<bool> m_clientEnded{false};
    mutable std::mutex m_mutex;
    QByteArray m_received;
    QString m_problem;
    std::thread m_thread;
};

} // namespace pelktest
