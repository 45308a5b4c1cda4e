// echod: a loopback echo server used as the upstream in benchmarks.
//
//   echod [--tls CERT KEY] <port>
//
// Listens on 127.0.0.1:<port> (0 picks a free port), prints "listening <port>"
// once bound, and echoes every byte back on the connection it came from. One
// thread, one epoll set, non-blocking sockets. Bytes that cannot be written at
// once are kept per connection and reading from that connection stops until
// they are out, so memory stays bounded by the peer's own pace. When the peer
// finishes sending (read returns 0, which happens only once nothing is held),
// the connection is closed.
// With --tls, every connection is a TLS server connection (OpenSSL, TLS 1.2 or
// later) with the certificate chain in the PEM file CERT and its key in KEY;
// the echo is the same, of the decrypted bytes. Sessions are never resumed, so
// every connection costs its client a full handshake; session tickets are
// still sent, as a server with OpenSSL's defaults does.
// Ends on SIGTERM or SIGINT.

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <string>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace {

constexpr size_t BufferBytes = 256 * 1024;

// Reads per readiness event on one TLS connection: OpenSSL may hold decrypted
// bytes the socket will not signal again, so it is drained, within this bound.
constexpr int TlsReadsPerEvent = 64;

struct Conn
{
    int fd = -1;
    SSL *ssl = nullptr;    // with --tls
    bool handshaking = false;
    std::string pending;   // bytes read but not yet written back
    size_t pendingHead = 0;
};

SSL_CTX *serverContext(const char *certFile, const char *keyFile)
{
    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx || SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1
        || SSL_CTX_use_certificate_chain_file(ctx, certFile) != 1
        || SSL_CTX_use_PrivateKey_file(ctx, keyFile, SSL_FILETYPE_PEM) != 1
        || SSL_CTX_check_private_key(ctx) != 1) {
        ERR_print_errors_fp(stderr);
        SSL_CTX_free(ctx);
        return nullptr;
    }
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER
                              | SSL_MODE_RELEASE_BUFFERS);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    // Whole socket reads of several records at once: the echo server should
    // cost as little as it can, so the paths in front of it are what differs.
    SSL_CTX_set_read_ahead(ctx, 1);
    SSL_CTX_set_default_read_buffer_len(ctx, 64 * 1024);
    return ctx;
}

void raiseFileLimit()
{
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
}

class Server
{
public:
    explicit Server(SSL_CTX *tls)
        : m_tls(tls)
    {
    }

    bool start(int port)
    {
        m_ep = epoll_create1(EPOLL_CLOEXEC);
        m_listen = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (m_ep < 0 || m_listen < 0) {
            perror("echod: socket");
            return false;
        }
        int one = 1;
        setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(m_listen, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0
            || listen(m_listen, SOMAXCONN) < 0) {
            perror("echod: bind/listen");
            return false;
        }
        socklen_t len = sizeof addr;
        getsockname(m_listen, reinterpret_cast<sockaddr *>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        addWatch(m_listen, EPOLLIN);

        // Termination signals arrive through a descriptor so the loop can end
        // cleanly between events.
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGTERM);
        sigaddset(&set, SIGINT);
        sigprocmask(SIG_BLOCK, &set, nullptr);
        m_sig = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
        addWatch(m_sig, EPOLLIN);
        m_buffer.resize(BufferBytes);
        return true;
    }

    int port() const { return m_port; }

    void run()
    {
        epoll_event events[256];
        for (;;) {
            int n = epoll_wait(m_ep, events, 256, -1);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                perror("echod: epoll_wait");
                return;
            }
            for (int i = 0; i < n; ++i) {
                int fd = events[i].data.fd;
                if (fd == m_sig)
                    return;
                if (fd == m_listen) {
                    acceptAll();
                    continue;
                }
                auto it = m_conns.find(fd);
                if (it == m_conns.end())
                    continue;
                serve(it->second, events[i].events);
            }
        }
    }

    ~Server()
    {
        for (auto &[fd, c] : m_conns) {
            SSL_free(c.ssl);
            close(fd);
        }
        if (m_listen >= 0)
            close(m_listen);
        if (m_sig >= 0)
            close(m_sig);
        if (m_ep >= 0)
            close(m_ep);
    }

private:
    void addWatch(int fd, uint32_t what)
    {
        epoll_event ev{};
        ev.events = what;
        ev.data.fd = fd;
        epoll_ctl(m_ep, EPOLL_CTL_ADD, fd, &ev);
    }

    void modWatch(int fd, uint32_t what)
    {
        epoll_event ev{};
        ev.events = what;
        ev.data.fd = fd;
        epoll_ctl(m_ep, EPOLL_CTL_MOD, fd, &ev);
    }

    void acceptAll()
    {
        // Bounded: at most one batch per readiness event; the rest comes with
        // the next epoll_wait round (level-triggered).
        for (int i = 0; i < 256; ++i) {
            int fd = accept4(m_listen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR
                    && errno != ECONNABORTED)
                    perror("echod: accept");
                return;
            }
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            Conn &c = m_conns[fd];
            c.fd = fd;
            if (m_tls) {
                c.ssl = SSL_new(m_tls);
                if (!c.ssl || SSL_set_fd(c.ssl, fd) != 1) {
                    ERR_print_errors_fp(stderr);
                    SSL_free(c.ssl);
                    close(fd);
                    m_conns.erase(fd);
                    continue;
                }
                SSL_set_accept_state(c.ssl);
                c.handshaking = true;
            }
            addWatch(fd, EPOLLIN | EPOLLRDHUP);
        }
    }

    void drop(Conn &c)
    {
        int fd = c.fd;
        epoll_ctl(m_ep, EPOLL_CTL_DEL, fd, nullptr);
        SSL_free(c.ssl);
        close(fd);
        m_conns.erase(fd);
    }

    // Writes what is held; true when nothing is left.
    bool flush(Conn &c)
    {
        while (c.pendingHead < c.pending.size()) {
            ssize_t w = send(c.fd, c.pending.data() + c.pendingHead,
                             c.pending.size() - c.pendingHead, MSG_NOSIGNAL);
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                return false;
            }
            c.pendingHead += static_cast<size_t>(w);
        }
        c.pending.clear();
        c.pendingHead = 0;
        return true;
    }

    void serve(Conn &c, uint32_t ev)
    {
        if (c.ssl) {
            serveTls(c, ev);
            return;
        }
        if (ev & EPOLLERR) {
            drop(c);
            return;
        }
        if (!c.pending.empty()) {
            if (!flush(c)) {
                if (errno != EAGAIN && errno != EWOULDBLOCK) {
                    drop(c);
                    return;
                }
                modWatch(c.fd, EPOLLOUT);
                return;
            }
            modWatch(c.fd, EPOLLIN | EPOLLRDHUP);
        }
        if (!(ev & (EPOLLIN | EPOLLRDHUP | EPOLLHUP)))
            return;
        // One read per event keeps connections fair to each other.
        ssize_t r = recv(c.fd, m_buffer.data(), m_buffer.size(), 0);
        if (r < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                return;
            drop(c);
            return;
        }
        if (r == 0) {
            drop(c);
            return;
        }
        ssize_t w = send(c.fd, m_buffer.data(), static_cast<size_t>(r), MSG_NOSIGNAL);
        if (w < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                drop(c);
                return;
            }
            w = 0;
        }
        if (w < r) {
            c.pending.assign(m_buffer.data() + w, static_cast<size_t>(r - w));
            c.pendingHead = 0;
            modWatch(c.fd, EPOLLOUT);
        }
    }

    // The TLS echo: the handshake, then what is held goes out before anything
    // more is read; a write that waits for the socket keeps its bytes.
    void serveTls(Conn &c, uint32_t ev)
    {
        if (ev & EPOLLERR) {
            drop(c);
            return;
        }
        if (c.handshaking) {
            const int r = SSL_do_handshake(c.ssl);
            if (r != 1) {
                const int e = SSL_get_error(c.ssl, r);
                if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
                    modWatch(c.fd, e == SSL_ERROR_WANT_READ ? EPOLLIN : EPOLLOUT);
                    return;
                }
                ERR_clear_error();
                drop(c);
                return;
            }
            c.handshaking = false;
        }
        for (int i = 0; i < TlsReadsPerEvent; ++i) {
            while (c.pendingHead < c.pending.size()) {
                const int w = SSL_write(c.ssl, c.pending.data() + c.pendingHead,
                                        static_cast<int>(c.pending.size() - c.pendingHead));
                if (w > 0) {
                    c.pendingHead += static_cast<size_t>(w);
                    continue;
                }
                const int e = SSL_get_error(c.ssl, w);
                if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) {
                    drop(c);
                    return;
                }
                modWatch(c.fd, e == SSL_ERROR_WANT_READ ? EPOLLIN : EPOLLOUT);
                return;
            }
            c.pending.clear();
            c.pendingHead = 0;
            const int r = SSL_read(c.ssl, m_buffer.data(), static_cast<int>(m_buffer.size()));
            if (r <= 0) {
                const int e = SSL_get_error(c.ssl, r);
                if (e == SSL_ERROR_WANT_READ) {
                    modWatch(c.fd, EPOLLIN | EPOLLRDHUP);
                    return;
                }
                if (e == SSL_ERROR_WANT_WRITE) {
                    modWatch(c.fd, EPOLLOUT);
                    return;
                }
                // close_notify, a FIN or a failure: the client is done.
                ERR_clear_error();
                drop(c);
                return;
            }
            c.pending.assign(m_buffer.data(), static_cast<size_t>(r));
        }
        // The bound was reached with bytes still coming: the next writable
        // event goes on with them.
        modWatch(c.fd, EPOLLOUT);
    }

    SSL_CTX *m_tls = nullptr;
    int m_ep = -1;
    int m_listen = -1;
    int m_sig = -1;
    int m_port = 0;
    std::vector<char> m_buffer;
    std::unordered_map<int, Conn> m_conns;
};

} // namespace

int main(int argc, char **argv)
{
    SSL_CTX *tls = nullptr;
    if (argc == 5 && std::strcmp(argv[1], "--tls") == 0) {
        tls = serverContext(argv[2], argv[3]);
        if (!tls) {
            std::fprintf(stderr, "echod: cannot use the certificate %s with the key %s\n",
                         argv[2], argv[3]);
            return 1;
        }
        argv += 3;
        argc -= 3;
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: echod [--tls CERT KEY] <port>   (0 picks a free port)\n");
        return 2;
    }
    char *end = nullptr;
    long port = std::strtol(argv[1], &end, 10);
    if (*end != '\0' || port < 0 || port > 65535) {
        std::fprintf(stderr, "echod: bad port '%s'\n", argv[1]);
        return 2;
    }
    raiseFileLimit();
    signal(SIGPIPE, SIG_IGN);
    Server server(tls);
    if (!server.start(static_cast<int>(port)))
        return 1;
    std::printf("listening %d\n", server.port());
    std::fflush(stdout);
    server.run();
    SSL_CTX_free(tls);
    return 0;
}
