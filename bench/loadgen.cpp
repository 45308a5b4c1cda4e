// loadgen: load client for the relay benchmarks. Plain POSIX sockets, poll and
// epoll; loopback targets only.
//
//   loadgen latency  <host> <port> <count> [--warmup N]
//       One connection; sends an IRC-sized line (80 bytes ending in CRLF),
//       waits for the whole echo, repeats. Prints round-trip p50/p99 in us.
//
//   loadgen idle     <host> <port> <n> <busy-count> [--pid PID] [--no-hello]
//                    [--settle-ms MS] [--cpu-seconds S] [--warmup N] [--paired]
//       Opens n connections that then stay idle (each first sends one short
//       line and waits for its echo, so that every one is relayed end to end,
//       unless --no-hello), then measures one busy client as in "latency"
//       (skipped when busy-count is 0). With --paired, the busy client is
//       also measured before the idle connections are opened (base_p50_us,
//       base_p99_us), so the two can be compared within one run. With --pid,
//       prints that process's VmRSS before and after the idle connections are
//       open; with --cpu-seconds, the CPU ticks and context switches it used
//       while only the idle connections were open.
//
//   loadgen connrate <host> <port> <seconds> [--concurrency C]
//       Repeatedly connects, sends one line, reads its echo and closes, with C
//       (default 8) connections in flight. Prints connections per second.
//
//   loadgen stream   <host> <port> <seconds> [--warmup-ms MS]
//       One connection to an echo server; sends a byte pattern as fast as the
//       path takes it while reading the echo, checks every byte of the echo,
//       and prints the rate of echoed bytes in Gbit/s, counted after the
//       first MS (default 500) milliseconds; total_bytes counts those too.
//       Every byte crosses the path both ways, so this loads both directions
//       at once.
//
// Options of every mode:
//   --socks5 HOST:PORT  connects through the SOCKS5 proxy at HOST:PORT (no
//                       login), asking it for <host>:<port> by address
//   --tls               speaks TLS to <host>:<port> (not in stream), checking
//                       no certificate and resuming no session, so every
//                       connection costs a full handshake
//
// Output is one line of key=value pairs on stdout; errors go to stderr and
// give a non-zero exit status. Every loop is bounded in count and in time.

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <optional>
#include <poll.h>
#include <sstream>
#include <string>
#include <string_view>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Timeout for any single wait on one socket; a relay that stalls longer than
// this has failed the run.
constexpr int IoTimeoutMs = 10 * 1000;

// An IRC-sized line: a PRIVMSG padded to 78 characters plus CRLF.
std::string ircLine()
{
    std::string line = "PRIVMSG #bench :";
    const std::string_view filler = "the quick brown fox jumps over the lazy dog 0123456789 ";
    while (line.size() < 78)
        line += filler[line.size() % filler.size()];
    line.resize(78);
    line += "\r\n";
    return line;
}

const std::string HelloLine = "PING :idle\r\n";

[[noreturn]] void die(const std::string &what)
{
    std::fprintf(stderr, "loadgen: %s\n", what.c_str());
    std::exit(1);
}

[[noreturn]] void dieErrno(const std::string &what)
{
    die(what + ": " + std::strerror(errno));
}

void raiseFileLimit()
{
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
}

// Resolves a numeric loopback address only: this tool must never send
// anywhere but to this machine.
sockaddr_storage loopbackAddress(const std::string &host, const std::string &port,
                                 socklen_t &len)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo *res = nullptr;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &res) != 0 || !res)
        die("host must be a numeric loopback address and port a number: " + host + " " + port);
    sockaddr_storage ss{};
    std::memcpy(&ss, res->ai_addr, res->ai_addrlen);
    len = res->ai_addrlen;
    freeaddrinfo(res);
    bool loopback = false;
    if (ss.ss_family == AF_INET) {
        auto *a = reinterpret_cast<sockaddr_in *>(&ss);
        loopback = (ntohl(a->sin_addr.s_addr) >> 24) == 127;
    } else if (ss.ss_family == AF_INET6) {
        auto *a = reinterpret_cast<sockaddr_in6 *>(&ss);
        loopback = IN6_IS_ADDR_LOOPBACK(&a->sin6_addr);
    }
    if (!loopback)
        die("refusing non-loopback address " + host);
    return ss;
}

struct Target
{
    sockaddr_storage addr{};
    socklen_t len = 0;
    std::string socksRequest; // with --socks5: addr is the proxy's, and this asks it for the server
    SSL_CTX *tls = nullptr;   // with --tls
};

// SOCKS5 (RFC 1928): the greeting offering only "no authentication", and the
// CONNECT request for a numeric address.
const std::string Socks5Greeting("\x05\x01\x00", 3);
constexpr size_t Socks5ReplyHeadBytes = 5; // enough to know the reply's length
constexpr size_t MaxSocks5ReplyBytes = 4 + 1 + 255 + 2;

std::string socks5Request(const sockaddr_storage &server)
{
    std::string request("\x05\x01\x00", 3);
    auto append = [&request](const void *data, size_t size) {
        request.append(static_cast<const char *>(data), size);
    };
    if (server.ss_family == AF_INET) {
        const auto *a = reinterpret_cast<const sockaddr_in *>(&server);
        request += '\x01';
        append(&a->sin_addr, 4);
        append(&a->sin_port, 2);
    } else {
        const auto *a = reinterpret_cast<const sockaddr_in6 *>(&server);
        request += '\x04';
        append(&a->sin6_addr, 16);
        append(&a->sin6_port, 2);
    }
    return request;
}

// The length of the proxy's reply to CONNECT, from its first
// Socks5ReplyHeadBytes (the bound address's type, and a name's length); 0
// when the proxy refused or does not speak SOCKS5.
size_t socks5ReplyLength(const char *head)
{
    if (head[0] != 5 || head[1] != 0)
        return 0;
    switch (head[3]) {
    case 1:
        return 4 + 4 + 2;
    case 4:
        return 4 + 16 + 2;
    case 3:
        return 4 + 1 + static_cast<unsigned char>(head[4]) + 2;
    default:
        return 0;
    }
}

// The client context of --tls. Nothing is verified: the load generator only
// has to cost every path the same, and the processes under test are on this
// machine. No session is kept, so none is resumed.
SSL_CTX *clientContext()
{
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx || SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1) {
        ERR_print_errors_fp(stderr);
        die("cannot make the TLS client context");
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    return ctx;
}

int newSocket(const Target &t)
{
    int fd = socket(t.addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// Waits until fd is ready for `events`; false on timeout or error.
bool waitFor(int fd, short events, int timeoutMs)
{
    pollfd p{fd, events, 0};
    for (int tries = 0; tries < 1000; ++tries) {
        int r = poll(&p, 1, timeoutMs);
        if (r > 0)
            return true;
        if (r == 0)
            return false;
        if (errno != EINTR)
            return false;
    }
    return false;
}

static_assert(POLLIN == EPOLLIN && POLLOUT == EPOLLOUT, "waits are given to poll and epoll alike");

// One client connection: the socket, and with --tls the session over it.
struct Stream
{
    int fd = -1;
    SSL *ssl = nullptr;
};

// After a TLS call that did not succeed: -1 with what to wait for in *wait,
// or with *wait 0 and errno EPROTO when the session failed; 0 when the peer
// ended the session.
ssize_t tlsRetry(SSL *ssl, int result, short *wait)
{
    switch (SSL_get_error(ssl, result)) {
    case SSL_ERROR_ZERO_RETURN:
        return 0;
    case SSL_ERROR_WANT_READ:
        *wait = POLLIN;
        return -1;
    case SSL_ERROR_WANT_WRITE:
        *wait = POLLOUT;
        return -1;
    default:
        ERR_clear_error();
        errno = EPROTO;
        return -1;
    }
}

// Non-blocking send and receive on a Stream, answering as send() and recv()
// do (0 from streamRecv: the peer has closed), except that -1 comes with what
// to wait for in *wait before trying again, 0 there when the connection failed.
ssize_t streamSend(Stream &s, const char *data, size_t size, short *wait)
{
    *wait = 0;
    if (s.ssl) {
        const int w = SSL_write(s.ssl, data, static_cast<int>(size));
        if (w > 0)
            return w;
        if (tlsRetry(s.ssl, w, wait) == 0)
            errno = EPIPE;
        return -1;
    }
    const ssize_t w = send(s.fd, data, size, MSG_NOSIGNAL);
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        *wait = POLLOUT;
    return w;
}

ssize_t streamRecv(Stream &s, char *buf, size_t size, short *wait)
{
    *wait = 0;
    if (s.ssl) {
        const int r = SSL_read(s.ssl, buf, static_cast<int>(size));
        return r > 0 ? r : tlsRetry(s.ssl, r, wait);
    }
    const ssize_t r = recv(s.fd, buf, size, 0);
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        *wait = POLLIN;
    return r;
}

// How a Stream is closed: Finished after an exchange that went well (with
// TLS, close_notify is sent first), Dropped as it is, Reset with an RST so
// that no TIME_WAIT is left behind.
enum class Ending { Finished, Dropped, Reset };

void closeStream(Stream &s, Ending ending)
{
    if (s.ssl) {
        if (ending == Ending::Finished)
            SSL_shutdown(s.ssl);
        SSL_free(s.ssl);
        s.ssl = nullptr;
    }
    if (s.fd >= 0) {
        if (ending == Ending::Reset) {
            linger l{1, 0};
            setsockopt(s.fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        }
        close(s.fd);
        s.fd = -1;
    }
}

// One connection made without blocking: the connect, the SOCKS5 exchange
// with the proxy (--socks5), the TLS handshake (--tls), then one line sent
// and its echo read and checked (none for an empty line). advance() takes it
// as far as the socket lets it now; while it is Waiting, wait() says for
// what. The stream is the caller's, to keep or close, once it is Done or
// has Failed.
class Exchange
{
public:
    enum class State { Waiting, Done, Failed };

    static constexpr size_t MaxLineBytes = MaxSocks5ReplyBytes;

    // Starts the connect; Failed when it could not even begin.
    State start(const Target &t, std::string_view line)
    {
        if (line.size() > MaxLineBytes)
            die("line too long");
        *this = Exchange{};
        m_target = &t;
        m_line = line;
        stream.fd = newSocket(t);
        if (stream.fd < 0)
            dieErrno("socket (is the file limit high enough?)");
        if (connect(stream.fd, reinterpret_cast<const sockaddr *>(&t.addr), t.len) < 0
            && errno != EINPROGRESS) {
            return fail(std::string("connect: ") + std::strerror(errno));
        }
        m_wait = POLLOUT;
        return State::Waiting;
    }

    State advance()
    {
        // Each pass moves a step on, or sends or receives something, or returns.
        for (int pass = 0; pass < 1000; ++pass) {
            switch (m_step) {
            case Step::Connecting: {
                int err = 0;
                socklen_t el = sizeof err;
                getsockopt(stream.fd, SOL_SOCKET, SO_ERROR, &err, &el);
                if (err != 0)
                    return fail(std::string("connect: ") + std::strerror(err));
                next(m_target->socksRequest.empty() ? Step::Handshake : Step::Greeting);
                break;
            }
            case Step::Handshake: {
                if (!m_target->tls) {
                    next(Step::Line);
                    break;
                }
                if (!stream.ssl) {
                    stream.ssl = SSL_new(m_target->tls);
                    if (!stream.ssl || SSL_set_fd(stream.ssl, stream.fd) != 1)
                        return fail("cannot start a TLS session");
                    SSL_set_connect_state(stream.ssl);
                }
                const int r = SSL_connect(stream.ssl);
                if (r == 1) {
                    next(Step::Line);
                    break;
                }
                tlsRetry(stream.ssl, r, &m_wait);
                return m_wait ? State::Waiting : fail("the TLS handshake failed");
            }
            case Step::Greeting:
            case Step::Request:
            case Step::Line:
                if (const auto state = sendThenRead())
                    return *state;
                break;
            }
        }
        return fail("the exchange did not end");
    }

    short wait() const { return m_wait; }
    const std::string &error() const { return m_error; }

    // Makes ep watch the socket, as id, for what the exchange waits for.
    void watch(int ep, uint32_t id)
    {
        if (m_wait == m_watched)
            return;
        epoll_event ev{};
        ev.events = static_cast<uint32_t>(m_wait);
        ev.data.u32 = id;
        epoll_ctl(ep, m_watched ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, stream.fd, &ev);
        m_watched = m_wait;
    }
    void unwatch(int ep)
    {
        if (m_watched)
            epoll_ctl(ep, EPOLL_CTL_DEL, stream.fd, nullptr);
        m_watched = 0;
    }

    Stream stream;

private:
    enum class Step { Connecting, Greeting, Request, Handshake, Line };

    void next(Step step)
    {
        m_step = step;
        m_sent = m_got = 0;
    }

    State fail(std::string why)
    {
        m_error = std::move(why);
        m_wait = 0;
        return State::Failed;
    }

    // The length of the current step's answer, as far as what has come of it
    // tells (a SOCKS5 reply's head gives its whole length); 0 when what came
    // is a refusal. Nothing is read beyond it.
    size_t answerBytes() const
    {
        switch (m_step) {
        case Step::Greeting:
            return m_got < 2 || (m_answer[0] == 5 && m_answer[1] == 0) ? 2 : 0;
        case Step::Request:
            return m_got < Socks5ReplyHeadBytes ? Socks5ReplyHeadBytes : socks5ReplyLength(m_answer);
        default:
            return m_line.size();
        }
    }

    // Sends the step's bytes, then reads their whole answer: nothing while
    // that goes on, else how the exchange stands.
    std::optional<State> sendThenRead()
    {
        const std::string_view out = m_step == Step::Greeting ? std::string_view(Socks5Greeting)
                                     : m_step == Step::Request ? std::string_view(m_target->socksRequest)
                                                               : m_line;
        if (out.empty())
            return State::Done;
        if (m_sent < out.size()) {
            const ssize_t w = streamSend(stream, out.data() + m_sent, out.size() - m_sent, &m_wait);
            if (w < 0)
                return m_wait ? State::Waiting : fail(std::string("send: ") + std::strerror(errno));
            m_sent += static_cast<size_t>(w);
            return std::nullopt;
        }
        const size_t want = answerBytes();
        if (want == 0)
            return fail("the SOCKS5 proxy refused");
        if (m_got < want) {
            const ssize_t r = streamRecv(stream, m_answer + m_got, want - m_got, &m_wait);
            if (r == 0)
                return fail("connection closed by peer before the answer was complete");
            if (r < 0)
                return m_wait ? State::Waiting : fail(std::string("recv: ") + std::strerror(errno));
            m_got += static_cast<size_t>(r);
            return std::nullopt;
        }
        if (m_step == Step::Greeting) {
            next(Step::Request);
            return std::nullopt;
        }
        if (m_step == Step::Request) {
            next(Step::Handshake);
            return std::nullopt;
        }
        if (std::memcmp(m_answer, m_line.data(), m_line.size()) != 0)
            return fail("echo differs from what was sent");
        return State::Done;
    }

    const Target *m_target = nullptr;
    std::string_view m_line;
    Step m_step = Step::Connecting;
    size_t m_sent = 0, m_got = 0;
    char m_answer[MaxLineBytes] = {};
    short m_wait = 0;
    short m_watched = 0; // what an epoll set watches the socket for, by watch()
    std::string m_error;
};

Stream connectBlocking(const Target &t)
{
    Exchange ex;
    Exchange::State state = ex.start(t, {});
    for (int tries = 0; state == Exchange::State::Waiting && tries < 1000; ++tries) {
        if (!waitFor(ex.stream.fd, ex.wait(), IoTimeoutMs))
            die("connect timed out");
        state = ex.advance();
    }
    if (state != Exchange::State::Done)
        die(state == Exchange::State::Failed ? ex.error() : "connect did not complete");
    return ex.stream;
}

void sendAll(Stream &s, std::string_view data)
{
    size_t off = 0;
    for (int tries = 0; off < data.size() && tries < 100000; ++tries) {
        short wait = 0;
        const ssize_t w = streamSend(s, data.data() + off, data.size() - off, &wait);
        if (w > 0) {
            off += static_cast<size_t>(w);
            continue;
        }
        if (!wait)
            dieErrno("send");
        if (!waitFor(s.fd, wait, IoTimeoutMs))
            die("send timed out");
    }
    if (off < data.size())
        die("send did not complete");
}

void recvExactly(Stream &s, char *buf, size_t want)
{
    size_t got = 0;
    for (int tries = 0; got < want && tries < 100000; ++tries) {
        short wait = 0;
        const ssize_t r = streamRecv(s, buf + got, want - got, &wait);
        if (r > 0) {
            got += static_cast<size_t>(r);
            continue;
        }
        if (r == 0)
            die("connection closed by peer before the echo was complete");
        if (!wait)
            dieErrno("recv");
        if (!waitFor(s.fd, wait, IoTimeoutMs))
            die("no echo within the timeout");
    }
    if (got < want)
        die("recv did not complete");
}

struct Percentiles
{
    double p50 = 0, p99 = 0, mean = 0, min = 0, max = 0;
    size_t n = 0;
};

// Nearest-rank percentiles.
Percentiles percentiles(std::vector<double> v)
{
    Percentiles p;
    if (v.empty())
        return p;
    std::sort(v.begin(), v.end());
    auto rank = [&](double q) {
        size_t r = static_cast<size_t>(std::ceil(q * static_cast<double>(v.size())));
        return v[std::clamp<size_t>(r, 1, v.size()) - 1];
    };
    p.n = v.size();
    p.p50 = rank(0.50);
    p.p99 = rank(0.99);
    p.min = v.front();
    p.max = v.back();
    double sum = 0;
    for (double x : v)
        sum += x;
    p.mean = sum / static_cast<double>(v.size());
    return p;
}

// Round trips of one line on one fresh connection: `warmup` unmeasured ones,
// then `count` measured ones, in microseconds.
std::vector<double> roundTrips(const Target &t, long count, long warmup)
{
    const std::string line = ircLine();
    std::vector<char> buf(line.size());
    Stream stream = connectBlocking(t);
    std::vector<double> samples;
    samples.reserve(static_cast<size_t>(count));
    for (long i = 0; i < warmup + count; ++i) {
        auto t0 = Clock::now();
        sendAll(stream, line);
        recvExactly(stream, buf.data(), buf.size());
        auto t1 = Clock::now();
        if (std::memcmp(buf.data(), line.data(), line.size()) != 0)
            die("echo differs from what was sent");
        if (i >= warmup)
            samples.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    closeStream(stream, Ending::Finished);
    return samples;
}

std::optional<long> readRssKb(long pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return std::nullopt;
}

// utime + stime of the whole process, in clock ticks.
std::optional<long long> readCpuTicks(long pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    auto paren = all.rfind(')');
    if (paren == std::string::npos)
        return std::nullopt;
    std::istringstream in(all.substr(paren + 2));
    std::vector<std::string> fields;
    std::string field;
    while (in >> field && fields.size() < 20)
        fields.push_back(field);
    // After the command name: state is field 3, utime 14, stime 15.
    if (fields.size() < 13)
        return std::nullopt;
    return std::stoll(fields[11]) + std::stoll(fields[12]);
}

// Context switches of all threads of the process: each is a wake-up.
std::optional<long long> readSwitches(long pid)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    long long total = 0;
    fs::directory_iterator it("/proc/" + std::to_string(pid) + "/task", ec);
    if (ec)
        return std::nullopt;
    for (const auto &entry : it) {
        std::ifstream f(entry.path() / "status");
        std::string line;
        while (std::getline(f, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                total += std::strtoll(line.c_str() + 24, nullptr, 10);
            else if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                total += std::strtoll(line.c_str() + 27, nullptr, 10);
        }
    }
    return total;
}

// Reads "--name value" options following the positional arguments.
struct Options
{
    std::vector<std::string> args;
    std::string text(const std::string &name, const std::string &def) const
    {
        for (size_t i = 0; i + 1 < args.size(); ++i)
            if (args[i] == name)
                return args[i + 1];
        return def;
    }
    long opt(const std::string &name, long def) const
    {
        const std::string value = text(name, "");
        return value.empty() ? def : std::strtol(value.c_str(), nullptr, 10);
    }
    bool flag(const std::string &name) const
    {
        return std::find(args.begin(), args.end(), name) != args.end();
    }
};

long positiveArg(const char *text, const char *what, long min)
{
    char *end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (*end != '\0' || v < min)
        die(std::string("bad ") + what + ": " + text);
    return v;
}

int runLatency(const Target &t, long count, const Options &o)
{
    long warmup = o.opt("--warmup", 1000);
    Percentiles p = percentiles(roundTrips(t, count, warmup));
    std::printf("p50_us=%.2f p99_us=%.2f mean_us=%.2f min_us=%.2f max_us=%.2f n=%zu\n",
                p.p50, p.p99, p.mean, p.min, p.max, p.n);
    return 0;
}

// Opens n connections with at most InFlight being set up at once, each
// connected and, with hello, having had one line echoed. Returns them.
std::vector<Stream> openIdle(const Target &t, long n, bool hello, int &failures)
{
    constexpr int InFlight = 256;
    constexpr auto Deadline = std::chrono::seconds(120);
    struct Pending
    {
        Exchange exchange;
        bool busy = false;
    };
    std::vector<Stream> done;
    done.reserve(static_cast<size_t>(n));
    failures = 0;
    int ep = epoll_create1(EPOLL_CLOEXEC);
    if (ep < 0)
        dieErrno("epoll_create1");
    std::vector<Pending> slots(InFlight);
    long started = 0;
    int active = 0;
    const auto stop = Clock::now() + Deadline;

    auto start = [&](int s) {
        Pending &p = slots[static_cast<size_t>(s)];
        ++started;
        if (p.exchange.start(t, hello ? HelloLine : std::string_view()) == Exchange::State::Failed) {
            closeStream(p.exchange.stream, Ending::Dropped);
            ++failures;
            return;
        }
        p.exchange.watch(ep, static_cast<uint32_t>(s));
        p.busy = true;
        ++active;
    };
    auto finish = [&](int s, bool ok) {
        Pending &p = slots[static_cast<size_t>(s)];
        p.exchange.unwatch(ep);
        if (ok) {
            done.push_back(p.exchange.stream);
        } else {
            closeStream(p.exchange.stream, Ending::Dropped);
            ++failures;
        }
        p.busy = false;
        --active;
    };
    auto fill = [&]() {
        for (int s = 0; s < InFlight && started < n; ++s)
            if (!slots[static_cast<size_t>(s)].busy)
                start(s);
    };

    fill();
    epoll_event events[InFlight];
    while (active > 0 && Clock::now() < stop && failures < 1000) {
        int k = epoll_wait(ep, events, InFlight, 200);
        if (k < 0 && errno != EINTR)
            dieErrno("epoll_wait");
        for (int i = 0; i < k; ++i) {
            int s = static_cast<int>(events[i].data.u32);
            Pending &p = slots[static_cast<size_t>(s)];
            if (!p.busy)
                continue;
            switch (p.exchange.advance()) {
            case Exchange::State::Waiting:
                p.exchange.watch(ep, static_cast<uint32_t>(s));
                break;
            case Exchange::State::Done:
                finish(s, true);
                break;
            case Exchange::State::Failed:
                finish(s, false);
                break;
            }
        }
        fill();
    }
    for (int s = 0; s < InFlight; ++s)
        if (slots[static_cast<size_t>(s)].busy)
            finish(s, false);
    close(ep);
    return done;
}

int runIdle(const Target &t, long n, long busyCount, const Options &o)
{
    const long pid = o.opt("--pid", 0);
    const long settleMs = o.opt("--settle-ms", 500);
    const long cpuSeconds = o.opt("--cpu-seconds", 0);
    const long warmup = o.opt("--warmup", 1000);
    const bool hello = !o.flag("--no-hello");
    const bool paired = o.flag("--paired") && busyCount > 0;

    // Measured first, so that whatever the busy client's own connection left
    // behind in the relay is already in the "before" figure of the memory.
    Percentiles base;
    if (paired) {
        base = percentiles(roundTrips(t, busyCount, warmup));
        std::this_thread::sleep_for(std::chrono::milliseconds(settleMs));
    }

    std::optional<long> rssBefore, rssAfter, rssEnd;
    if (pid > 0) {
        rssBefore = readRssKb(pid);
        if (!rssBefore)
            die("cannot read VmRSS of pid " + std::to_string(pid));
    }
    const auto t0 = Clock::now();
    int failures = 0;
    std::vector<Stream> idle = openIdle(t, n, hello, failures);
    const double openSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
    if (static_cast<long>(idle.size()) < n) {
        std::fprintf(stderr, "loadgen: opened only %zu of %ld idle connections (%d failed)\n",
                     idle.size(), n, failures);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(settleMs));
    if (pid > 0)
        rssAfter = readRssKb(pid);

    std::optional<long long> ticks, switches;
    if (pid > 0 && cpuSeconds > 0) {
        auto c0 = readCpuTicks(pid);
        auto s0 = readSwitches(pid);
        std::this_thread::sleep_for(std::chrono::seconds(cpuSeconds));
        auto c1 = readCpuTicks(pid);
        auto s1 = readSwitches(pid);
        if (c0 && c1)
            ticks = *c1 - *c0;
        if (s0 && s1)
            switches = *s1 - *s0;
    }

    Percentiles p;
    if (busyCount > 0)
        p = percentiles(roundTrips(t, busyCount, warmup));
    if (pid > 0)
        rssEnd = readRssKb(pid);

    std::printf("opened=%zu failed=%d open_s=%.3f", idle.size(), failures, openSeconds);
    if (busyCount > 0)
        std::printf(" p50_us=%.2f p99_us=%.2f mean_us=%.2f n=%zu", p.p50, p.p99, p.mean, p.n);
    if (paired)
        std::printf(" base_p50_us=%.2f base_p99_us=%.2f", base.p50, base.p99);
    if (rssBefore && rssAfter) {
        std::printf(" rss_before_kb=%ld rss_after_kb=%ld", *rssBefore, *rssAfter);
        if (!idle.empty())
            std::printf(" rss_per_client_b=%.1f",
                        static_cast<double>(*rssAfter - *rssBefore) * 1024.0
                            / static_cast<double>(idle.size()));
    }
    if (rssEnd)
        std::printf(" rss_end_kb=%ld", *rssEnd);
    if (ticks)
        std::printf(" cpu_ticks=%lld cpu_seconds=%ld", *ticks, cpuSeconds);
    if (switches)
        std::printf(" wakeups=%lld", *switches);
    std::printf("\n");
    std::fflush(stdout);

    // Reset rather than close gracefully: thousands of sockets in TIME_WAIT
    // would otherwise crowd the ephemeral ports for the runs that follow.
    for (Stream &stream : idle)
        closeStream(stream, Ending::Reset);
    return static_cast<long>(idle.size()) == n ? 0 : 1;
}

int runConnRate(const Target &t, long seconds, const Options &o)
{
    const int concurrency = static_cast<int>(std::clamp(o.opt("--concurrency", 8), 1L, 256L));
    constexpr auto StuckAfter = std::chrono::seconds(5);
    const std::string line = ircLine();
    struct Slot
    {
        Exchange exchange;
        bool busy = false;
        Clock::time_point began;
    };
    int ep = epoll_create1(EPOLL_CLOEXEC);
    if (ep < 0)
        dieErrno("epoll_create1");
    std::vector<Slot> slots(static_cast<size_t>(concurrency));
    long long completed = 0, errors = 0, stuck = 0;

    auto end = [&](int s, Ending ending) {
        Slot &sl = slots[static_cast<size_t>(s)];
        sl.exchange.unwatch(ep);
        closeStream(sl.exchange.stream, ending);
        sl.busy = false;
    };
    auto start = [&](int s) {
        Slot &sl = slots[static_cast<size_t>(s)];
        sl.began = Clock::now();
        if (sl.exchange.start(t, line) == Exchange::State::Failed) {
            ++errors;
            closeStream(sl.exchange.stream, Ending::Dropped);
            return;
        }
        sl.exchange.watch(ep, static_cast<uint32_t>(s));
        sl.busy = true;
    };

    const auto t0 = Clock::now();
    const auto stop = t0 + std::chrono::seconds(seconds);
    std::vector<epoll_event> events(static_cast<size_t>(concurrency));
    // Bounded by time and, as a safeguard, by a number of iterations no run
    // can reach in the allowed time.
    for (long iter = 0; iter < 100'000'000L; ++iter) {
        const auto now = Clock::now();
        if (now >= stop)
            break;
        if (errors > 100000)
            die("too many connection errors");
        for (int s = 0; s < concurrency; ++s) {
            Slot &sl = slots[static_cast<size_t>(s)];
            if (sl.busy && now - sl.began > StuckAfter) {
                ++stuck;
                end(s, Ending::Dropped);
            }
            if (!sl.busy)
                start(s);
        }
        int k = epoll_wait(ep, events.data(), concurrency, 100);
        if (k < 0 && errno != EINTR)
            dieErrno("epoll_wait");
        for (int i = 0; i < k; ++i) {
            int s = static_cast<int>(events[static_cast<size_t>(i)].data.u32);
            Slot &sl = slots[static_cast<size_t>(s)];
            if (!sl.busy)
                continue;
            switch (sl.exchange.advance()) {
            case Exchange::State::Waiting:
                sl.exchange.watch(ep, static_cast<uint32_t>(s));
                break;
            case Exchange::State::Done:
                ++completed;
                end(s, Ending::Finished);
                break;
            case Exchange::State::Failed:
                ++errors;
                end(s, Ending::Dropped);
                break;
            }
        }
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    for (int s = 0; s < concurrency; ++s)
        if (slots[static_cast<size_t>(s)].busy)
            end(s, Ending::Dropped);
    close(ep);
    std::printf("conns=%lld seconds=%.3f conns_per_sec=%.1f errors=%lld stuck=%lld "
                "concurrency=%d\n",
                completed, elapsed, static_cast<double>(completed) / elapsed, errors, stuck,
                concurrency);
    return completed > 0 ? 0 : 1;
}

int runStream(const Target &t, long seconds, const Options &o)
{
    constexpr size_t ChunkBytes = 64 * 1024;
    constexpr size_t Period = 251; // a prime, so chunk edges do not line up with it
    const auto warmup = std::chrono::milliseconds(std::clamp(o.opt("--warmup-ms", 500), 0L, 60000L));
    std::vector<char> pattern(ChunkBytes + Period);
    for (size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = static_cast<char>(i % Period);
    std::vector<char> buf(ChunkBytes);
    Stream stream = connectBlocking(t);
    const int fd = stream.fd;
    unsigned long long sent = 0, received = 0, receivedAtStart = 0;
    const auto t0 = Clock::now();
    const auto measureFrom = t0 + warmup;
    const auto stop = measureFrom + std::chrono::seconds(seconds);
    bool measuring = false;
    Clock::time_point measuredFrom;
    // Bounded by time and, as a safeguard, by a number of iterations no run
    // can reach in the allowed time.
    for (long iter = 0; iter < 100'000'000L; ++iter) {
        const auto now = Clock::now();
        if (!measuring && now >= measureFrom) {
            measuring = true;
            measuredFrom = now;
            receivedAtStart = received;
        }
        if (now >= stop)
            break;
        pollfd p{fd, POLLIN | POLLOUT, 0};
        const int r = poll(&p, 1, IoTimeoutMs);
        if (r == 0)
            die("the path stalled: nothing moved within the timeout");
        if (r < 0) {
            if (errno == EINTR)
                continue;
            dieErrno("poll");
        }
        if (p.revents & (POLLERR | POLLNVAL))
            die("the connection failed");
        if (p.revents & POLLOUT) {
            const ssize_t w = send(fd, pattern.data() + sent % Period, ChunkBytes, MSG_NOSIGNAL);
            if (w > 0)
                sent += static_cast<size_t>(w);
            else if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                dieErrno("send");
        }
        if (p.revents & (POLLIN | POLLHUP)) {
            const ssize_t n = recv(fd, buf.data(), buf.size(), 0);
            if (n == 0)
                die("connection closed by peer during the stream");
            if (n < 0) {
                if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                    dieErrno("recv");
                continue;
            }
            if (std::memcmp(buf.data(), pattern.data() + received % Period, static_cast<size_t>(n)) != 0)
                die("echo differs from what was sent");
            received += static_cast<size_t>(n);
        }
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - measuredFrom).count();
    const unsigned long long measured = received - receivedAtStart;
    closeStream(stream, Ending::Reset);
    std::printf("gbps=%.4f bytes=%llu seconds=%.3f total_bytes=%llu\n",
                static_cast<double>(measured) * 8 / elapsed / 1e9, measured, elapsed, received);
    return measured > 0 ? 0 : 1;
}

void usage()
{
    std::fprintf(stderr,
                 "usage: loadgen latency  <host> <port> <count> [--warmup N]\n"
                 "       loadgen idle     <host> <port> <n> <busy-count> [--pid PID]\n"
                 "                        [--no-hello] [--settle-ms MS] [--cpu-seconds S]"
                 " [--warmup N]\n"
                 "       loadgen connrate <host> <port> <seconds> [--concurrency C]\n"
                 "       loadgen stream   <host> <port> <seconds> [--warmup-ms MS]\n"
                 "every mode: [--socks5 HOST:PORT] [--tls] (--tls not in stream)\n"
                 "host: a numeric loopback address (127.0.0.1 or ::1)\n");
}

// Where every connection goes: <host>:<port>, or the proxy of --socks5
// asked for them; with --tls, speaking TLS to them.
Target makeTarget(const std::string &host, const std::string &port, const Options &o)
{
    Target t;
    t.addr = loopbackAddress(host, port, t.len);
    if (const std::string proxy = o.text("--socks5", ""); !proxy.empty()) {
        const size_t colon = proxy.rfind(':');
        if (colon == std::string::npos)
            die("--socks5 needs HOST:PORT: " + proxy);
        t.socksRequest = socks5Request(t.addr);
        t.addr = loopbackAddress(proxy.substr(0, colon), proxy.substr(colon + 1), t.len);
    }
    if (o.flag("--tls"))
        t.tls = clientContext();
    return t;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 5) {
        usage();
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    raiseFileLimit();
    const std::string mode = argv[1];
    // Options follow the positional arguments: three after the mode, four for idle.
    const int firstOption = mode == "idle" ? 6 : 5;
    if (argc < firstOption) {
        usage();
        return 2;
    }
    const Options o{std::vector<std::string>(argv + firstOption, argv + argc)};
    const Target t = makeTarget(argv[2], argv[3], o);
    if (mode == "latency")
        return runLatency(t, positiveArg(argv[4], "count", 1), o);
    if (mode == "connrate")
        return runConnRate(t, positiveArg(argv[4], "seconds", 1), o);
    if (mode == "stream") {
        if (t.tls)
            die("stream does not speak TLS");
        return runStream(t, positiveArg(argv[4], "seconds", 1), o);
    }
    if (mode == "idle")
        return runIdle(t, positiveArg(argv[4], "n", 0), positiveArg(argv[5], "busy-count", 0), o);
    usage();
    return 2;
}
