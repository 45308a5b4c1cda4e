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
};

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

int connectBlocking(const Target &t)
{
    int fd = newSocket(t);
    if (fd < 0)
        dieErrno("socket");
    if (connect(fd, reinterpret_cast<const sockaddr *>(&t.addr), t.len) < 0) {
        if (errno != EINPROGRESS)
            dieErrno("connect");
        if (!waitFor(fd, POLLOUT, IoTimeoutMs))
            die("connect timed out");
        int err = 0;
        socklen_t el = sizeof err;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &el);
        if (err != 0) {
            errno = err;
            dieErrno("connect");
        }
    }
    return fd;
}

void sendAll(int fd, std::string_view data)
{
    size_t off = 0;
    for (int tries = 0; off < data.size() && tries < 100000; ++tries) {
        ssize_t w = send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (w > 0) {
            off += static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            dieErrno("send");
        if (!waitFor(fd, POLLOUT, IoTimeoutMs))
            die("send timed out");
    }
    if (off < data.size())
        die("send did not complete");
}

void recvExactly(int fd, char *buf, size_t want)
{
    size_t got = 0;
    for (int tries = 0; got < want && tries < 100000; ++tries) {
        ssize_t r = recv(fd, buf + got, want - got, 0);
        if (r > 0) {
            got += static_cast<size_t>(r);
            continue;
        }
        if (r == 0)
            die("connection closed by peer before the echo was complete");
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            dieErrno("recv");
        if (!waitFor(fd, POLLIN, IoTimeoutMs))
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
    int fd = connectBlocking(t);
    std::vector<double> samples;
    samples.reserve(static_cast<size_t>(count));
    for (long i = 0; i < warmup + count; ++i) {
        auto t0 = Clock::now();
        sendAll(fd, line);
        recvExactly(fd, buf.data(), buf.size());
        auto t1 = Clock::now();
        if (std::memcmp(buf.data(), line.data(), line.size()) != 0)
            die("echo differs from what was sent");
        if (i >= warmup)
            samples.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    close(fd);
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
    long opt(const std::string &name, long def) const
    {
        for (size_t i = 0; i + 1 < args.size(); ++i)
            if (args[i] == name)
                return std::strtol(args[i + 1].c_str(), nullptr, 10);
        return def;
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

// Opens n connections with at most `inFlight` being set up at once, each
// connected and, with hello, having had one line echoed. Returns their fds.
std::vector<int> openIdle(const Target &t, long n, bool hello, int &failures)
{
    constexpr int InFlight = 256;
    constexpr auto Deadline = std::chrono::seconds(120);
    struct Pending
    {
        int fd = -1;
        size_t sent = 0, got = 0;
        bool connected = false;
    };
    std::vector<int> done;
    done.reserve(static_cast<size_t>(n));
    failures = 0;
    int ep = epoll_create1(EPOLL_CLOEXEC);
    if (ep < 0)
        dieErrno("epoll_create1");
    std::vector<Pending> slots(InFlight);
    long started = 0;
    int active = 0;
    char buf[64];
    const auto stop = Clock::now() + Deadline;

    auto start = [&](int s) {
        Pending &p = slots[static_cast<size_t>(s)];
        p = Pending{};
        p.fd = newSocket(t);
        if (p.fd < 0)
            dieErrno("socket (is the file limit high enough?)");
        ++started;
        if (connect(p.fd, reinterpret_cast<const sockaddr *>(&t.addr), t.len) < 0
            && errno != EINPROGRESS) {
            close(p.fd);
            p.fd = -1;
            ++failures;
            return;
        }
        epoll_event ev{};
        ev.events = EPOLLOUT;
        ev.data.u32 = static_cast<uint32_t>(s);
        epoll_ctl(ep, EPOLL_CTL_ADD, p.fd, &ev);
        ++active;
    };
    auto finish = [&](int s, bool ok) {
        Pending &p = slots[static_cast<size_t>(s)];
        epoll_ctl(ep, EPOLL_CTL_DEL, p.fd, nullptr);
        if (ok) {
            done.push_back(p.fd);
        } else {
            close(p.fd);
            ++failures;
        }
        p.fd = -1;
        --active;
    };
    auto fill = [&]() {
        for (int s = 0; s < InFlight && started < n; ++s)
            if (slots[static_cast<size_t>(s)].fd < 0)
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
            if (p.fd < 0)
                continue;
            if (!p.connected) {
                int err = 0;
                socklen_t el = sizeof err;
                getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &err, &el);
                if (err != 0 || (events[i].events & (EPOLLERR | EPOLLHUP))) {
                    finish(s, false);
                    continue;
                }
                p.connected = true;
                if (!hello) {
                    finish(s, true);
                    continue;
                }
            }
            if (p.sent < HelloLine.size()) {
                ssize_t w = send(p.fd, HelloLine.data() + p.sent, HelloLine.size() - p.sent,
                                 MSG_NOSIGNAL);
                if (w < 0 && errno != EAGAIN && errno != EINTR) {
                    finish(s, false);
                    continue;
                }
                if (w > 0)
                    p.sent += static_cast<size_t>(w);
                if (p.sent == HelloLine.size()) {
                    epoll_event ev{};
                    ev.events = EPOLLIN;
                    ev.data.u32 = static_cast<uint32_t>(s);
                    epoll_ctl(ep, EPOLL_CTL_MOD, p.fd, &ev);
                }
                continue;
            }
            ssize_t r = recv(p.fd, buf, HelloLine.size() - p.got, 0);
            if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) {
                finish(s, false);
                continue;
            }
            if (r > 0)
                p.got += static_cast<size_t>(r);
            if (p.got == HelloLine.size())
                finish(s, true);
        }
        fill();
    }
    for (int s = 0; s < InFlight; ++s)
        if (slots[static_cast<size_t>(s)].fd >= 0)
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
    std::vector<int> idle = openIdle(t, n, hello, failures);
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
    for (int fd : idle) {
        linger l{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        close(fd);
    }
    return static_cast<long>(idle.size()) == n ? 0 : 1;
}

int runConnRate(const Target &t, long seconds, const Options &o)
{
    const int concurrency = static_cast<int>(std::clamp(o.opt("--concurrency", 8), 1L, 256L));
    constexpr auto StuckAfter = std::chrono::seconds(5);
    const std::string line = ircLine();
    enum class Step { Connecting, Sending, Reading };
    struct Slot
    {
        int fd = -1;
        Step step = Step::Connecting;
        size_t sent = 0, got = 0;
        Clock::time_point began;
    };
    int ep = epoll_create1(EPOLL_CLOEXEC);
    if (ep < 0)
        dieErrno("epoll_create1");
    std::vector<Slot> slots(static_cast<size_t>(concurrency));
    long long completed = 0, errors = 0, stuck = 0;
    std::vector<char> buf(line.size());

    auto watch = [&](int s, uint32_t what, int op) {
        epoll_event ev{};
        ev.events = what;
        ev.data.u32 = static_cast<uint32_t>(s);
        epoll_ctl(ep, op, slots[static_cast<size_t>(s)].fd, &ev);
    };
    auto end = [&](int s) {
        Slot &sl = slots[static_cast<size_t>(s)];
        if (sl.fd >= 0) {
            epoll_ctl(ep, EPOLL_CTL_DEL, sl.fd, nullptr);
            close(sl.fd);
        }
        sl.fd = -1;
    };
    auto start = [&](int s) {
        Slot &sl = slots[static_cast<size_t>(s)];
        sl = Slot{};
        sl.began = Clock::now();
        sl.fd = newSocket(t);
        if (sl.fd < 0)
            dieErrno("socket");
        if (connect(sl.fd, reinterpret_cast<const sockaddr *>(&t.addr), t.len) < 0
            && errno != EINPROGRESS) {
            ++errors;
            close(sl.fd);
            sl.fd = -1;
            return;
        }
        watch(s, EPOLLOUT, EPOLL_CTL_ADD);
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
            if (sl.fd >= 0 && now - sl.began > StuckAfter) {
                ++stuck;
                end(s);
            }
            if (sl.fd < 0)
                start(s);
        }
        int k = epoll_wait(ep, events.data(), concurrency, 100);
        if (k < 0 && errno != EINTR)
            dieErrno("epoll_wait");
        for (int i = 0; i < k; ++i) {
            int s = static_cast<int>(events[static_cast<size_t>(i)].data.u32);
            Slot &sl = slots[static_cast<size_t>(s)];
            if (sl.fd < 0)
                continue;
            if (sl.step == Step::Connecting) {
                int err = 0;
                socklen_t el = sizeof err;
                getsockopt(sl.fd, SOL_SOCKET, SO_ERROR, &err, &el);
                if (err != 0) {
                    ++errors;
                    end(s);
                    continue;
                }
                sl.step = Step::Sending;
            }
            if (sl.step == Step::Sending) {
                ssize_t w = send(sl.fd, line.data() + sl.sent, line.size() - sl.sent,
                                 MSG_NOSIGNAL);
                if (w < 0 && errno != EAGAIN && errno != EINTR) {
                    ++errors;
                    end(s);
                    continue;
                }
                if (w > 0)
                    sl.sent += static_cast<size_t>(w);
                if (sl.sent == line.size()) {
                    sl.step = Step::Reading;
                    watch(s, EPOLLIN, EPOLL_CTL_MOD);
                }
                continue;
            }
            ssize_t r = recv(sl.fd, buf.data(), line.size() - sl.got, 0);
            if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) {
                ++errors;
                end(s);
                continue;
            }
            if (r > 0)
                sl.got += static_cast<size_t>(r);
            if (sl.got == line.size()) {
                ++completed;
                end(s);
            }
        }
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    for (int s = 0; s < concurrency; ++s)
        end(s);
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
    const int fd = connectBlocking(t);
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
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(fd);
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
                 "host: a numeric loopback address (127.0.0.1 or ::1)\n");
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
    Target t;
    t.addr = loopbackAddress(argv[2], argv[3], t.len);
    if (mode == "latency") {
        Options o{std::vector<std::string>(argv + 5, argv + argc)};
        return runLatency(t, positiveArg(argv[4], "count", 1), o);
    }
    if (mode == "connrate") {
        Options o{std::vector<std::string>(argv + 5, argv + argc)};
        return runConnRate(t, positiveArg(argv[4], "seconds", 1), o);
    }
    if (mode == "stream") {
        Options o{std::vector<std::string>(argv + 5, argv + argc)};
        return runStream(t, positiveArg(argv[4], "seconds", 1), o);
    }
    if (mode == "idle") {
        if (argc < 6) {
            usage();
            return 2;
        }
        Options o{std::vector<std::string>(argv + 6, argv + argc)};
        return runIdle(t, positiveArg(argv[4], "n", 0), positiveArg(argv[5], "busy-count", 0),
                       o);
    }
    usage();
    return 2;
}
