// libFuzzer target: a Relay between loopback peers, driven by a sequence of
// events decoded from the input.
//
// Each input gets a fresh Relay, an upstream listener on 127.0.0.1 and up to
// MaxClients clients, all plain non-blocking sockets the target reads and
// writes itself. Events: a client connects, sends, half-closes, resets,
// closes, stops or resumes reading; an upstream connection sends,
// half-closes, resets, stops or resumes reading; closeSlot(); a Stop and
// Start as the window does it; the upstream setting changes (refused port,
// bad port text, empty host); the loop runs for a while.
//
// After every event, with the loop run until things are quiet:
//  - what each upstream connection received is a prefix of what its own
//    client sent, and what each client received is a prefix of what its own
//    upstream connection sent (every client opens with a tag of its own, so
//    that an upstream connection can tell whose it is);
//  - connectedClients() equals the number of slots whose Winsock1 is not
//    closed; a free slot has its Winsock2 closed and holds nothing;
//  - nothing the relay holds for one endpoint exceeds its high-water mark
//    plus one read.
// At the end every peer resets; every slot and lingering socket must be gone
// soon after, and once the relay is destroyed no descriptor may be left open.

#include "endpointarray.h"
#include "processsetup.h"
#include "relay.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using namespace pelk;

namespace {

constexpr int MaxSteps = 64;
constexpr int MaxClients = 12;
constexpr qsizetype MaxBytesPerInput = 2 * 1024 * 1024;
constexpr qsizetype ReadChunkBytes = 64 * 1024;
constexpr int SettleRounds = 200;      // loop passes per event at most
constexpr int TeardownRounds = 20000;  // after every peer reset
constexpr int QuietRoundsToSettle = 3;
// Small kernel buffers on the peers' side, so that a peer that stops
// reading makes the relay reach its high-water mark within a few hundred
// kilobytes.
constexpr int PeerBufferBytes = 8 * 1024;
constexpr qsizetype HeldBound = Relay::HighWaterBytes + EndpointLoop::ReadBufferBytes;

[[noreturn]] void broken(const char *format, ...)
{
    std::va_list args;
    va_start(args, format);
    std::fputs("fuzz_relay: invariant broken: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
    std::abort();
}

int openDescriptors()
{
    DIR *fds = opendir("/proc/self/fd");
    if (!fds)
        return -1;
    int count = 0;
    while (const dirent *entry = readdir(fds))
        count += entry->d_name[0] != '.';
    closedir(fds);
    return count - 1; // the listing's own
}

// The byte at `position` of the stream sent by peer `id`: different for
// every peer, so that bytes arriving at the wrong peer do not look right.
char streamByte(int id, qint64 position)
{
    quint64 z = (quint64(id) << 40) + quint64(position) + 0x9e3779b97f4a7c15ull;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return char(z ^ (z >> 31));
}

QByteArray clientTag(int client)
{
    return QByteArray("\xf0") + char(client) + '\x0f' + char(~client);
}
constexpr int TagBytes = 4;

bool isPrefix(const QByteArray &part, const QByteArray &whole)
{
    return part.size() <= whole.size() && QByteArrayView(whole).first(part.size()) == QByteArrayView(part);
}

void setSmallBuffers(int fd)
{
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &PeerBufferBytes, sizeof PeerBufferBytes);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &PeerBufferBytes, sizeof PeerBufferBytes);
}

sockaddr_in loopbackAddress(quint16 port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A loopback port that nothing listens on.
quint16 closedPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopbackAddress(0);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr *>(&address), length);
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

struct Peer
{
    int id = 0;
    int fd = -1;
    int client = -1;        // an upstream peer's client, once its tag is in
    QByteArray sent;        // every byte queued, in order
    qsizetype handed = 0;   // bytes of `sent` the kernel has taken
    QByteArray received;
    bool reading = true;
    bool finPending = false;
    bool finSent = false;
    bool peerFinished = false;
    int error = 0;

    bool open() const { return fd >= 0; }
    void queue(qsizetype n)
    {
        if (!open() || finPending || finSent)
            return;
        const qint64 from = sent.size();
        sent.resize(from + n);
        for (qsizetype i = 0; i < n; ++i)
            sent[from + i] = streamByte(id, from + i);
    }
    void drop(bool reset)
    {
        if (!open())
            return;
        if (reset) {
            struct ::linger zeroLinger{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &zeroLinger, sizeof zeroLinger);
        }
        ::close(fd);
        fd = -1;
    }
};

class Harness
{
public:
    Harness()
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        setSmallBuffers(m_listener); // inherited by accepted sockets
        sockaddr_in address = loopbackAddress(0);
        socklen_t length = sizeof address;
        if (::bind(m_listener, reinterpret_cast<sockaddr *>(&address), length) != 0
            || ::listen(m_listener, 64) != 0
            || ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            broken("cannot listen on 127.0.0.1: errno %d", errno);
        m_upstreamPort = QString::number(ntohs(address.sin_port));
        m_portText = m_upstreamPort;

        m_relay.upstreamHost = [this] { return m_host; };
        m_relay.upstreamPort = [this] { return m_portText; };
        listen();
    }

    ~Harness()
    {
        for (Peer &p : m_clients)
            p.drop(true);
        for (Peer &p : m_upstreams)
            p.drop(true);
        ::close(m_listener);
    }

    void run(const uint8_t *data, size_t size)
    {
        size_t at = 0;
        const auto next = [&]() -> unsigned { return at < size ? data[at++] : 0u; };
        for (int step = 0; step < MaxSteps && at < size; ++step) {
            const unsigned op = next();
            const unsigned a = next();
            const unsigned b = next();
            perform(op % 15, a, b);
            settle(SettleRounds);
            check();
        }
        teardown();
    }

private:
    void perform(unsigned op, unsigned a, unsigned b)
    {
        Peer *client = m_clients.empty() ? nullptr : &m_clients[a % m_clients.size()];
        Peer *upstream = pairedUpstream(a);
        const qsizetype amount = std::min<qsizetype>(1 + qsizetype(b) * (a & 0x80 ? 2048 : 16),
                                                      MaxBytesPerInput - m_bytesQueued);
        switch (op) {
        case 0:
            connectClient();
            break;
        case 1:
            if (client && amount > 0) {
                client->queue(amount);
                m_bytesQueued += amount;
            }
            break;
        case 2:
            if (client)
                client->finPending = true;
            break;
        case 3:
            if (client)
                client->drop(true);
            break;
        case 4:
            if (client)
                client->drop(false);
            break;
        case 5:
            if (client)
                client->reading = !client->reading;
            break;
        case 6:
            if (upstream && amount > 0) {
                upstream->queue(amount);
                m_bytesQueued += amount;
            }
            break;
        case 7:
            if (upstream)
                upstream->finPending = true;
            break;
        case 8:
            if (upstream)
                upstream->drop(true);
            break;
        case 9:
            if (upstream)
                upstream->reading = !upstream->reading;
            break;
        case 10:
            m_relay.closeSlot(int(b % unsigned(m_relay.Winsock1.UBound() + 2)));
            break;
        case 11:
            stopAndStart();
            break;
        case 12:
            switch (b % 4) {
            case 0: m_host = QStringLiteral("127.0.0.1"); m_portText = m_upstreamPort; break;
            case 1: m_portText = QString::number(closedPort()); break;
            case 2: m_portText = QStringLiteral("0"); break;
            case 3: m_host = QString(); break;
            }
            break;
        default: // run the loop for longer
            for (unsigned i = 0; i < b % 32; ++i)
                pump();
            break;
        }
    }

    Peer *pairedUpstream(unsigned pick)
    {
        std::vector<Peer *> paired;
        for (Peer &p : m_upstreams) {
            if (p.client >= 0 && p.open())
                paired.push_back(&p);
        }
        return paired.empty() ? nullptr : paired[pick % paired.size()];
    }

    void listen()
    {
        m_relay.Winsock1(0).setLocalPort(0);
        if (!m_relay.Winsock1(0).Listen())
            broken("the relay cannot listen: %s", qPrintable(m_relay.Winsock1(0).lastError().detail));
        m_relayPort = quint16(m_relay.Winsock1(0).LocalPort());
    }

    // As the window's Stop then Start.
    void stopAndStart()
    {
        m_relay.Winsock1(0).Close();
        QCoreApplication::processEvents();
        for (int i = 1; i <= m_relay.Winsock1.UBound(); ++i)
            m_relay.closeSlot(i);
        check();
        listen();
    }

    void connectClient()
    {
        if (int(m_clients.size()) >= MaxClients)
            return;
        Peer p;
        p.id = int(m_clients.size()) + 1;
        p.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        setSmallBuffers(p.fd);
        int one = 1;
        ::setsockopt(p.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        const sockaddr_in address = loopbackAddress(m_relayPort);
        if (::connect(p.fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0
            && errno != EINPROGRESS) {
            p.error = errno;
            p.drop(false);
        }
        p.sent = clientTag(int(m_clients.size()));
        m_clients.push_back(std::move(p));
    }

    // One pass: the relay's events, then every peer's reads and writes.
    // True when anything happened.
    bool pump()
    {
        bool moved = QAbstractEventDispatcher::instance()->processEvents(QEventLoop::AllEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        for (;;) {
            const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0)
                break;
            Peer p;
            p.id = 1000 + int(m_upstreams.size());
            p.fd = fd;
            m_upstreams.push_back(std::move(p));
            moved = true;
        }
        for (Peer &p : m_clients)
            moved |= service(p);
        for (Peer &p : m_upstreams)
            moved |= service(p);
        return moved;
    }

    bool service(Peer &p)
    {
        bool moved = false;
        while (p.open() && p.handed < p.sent.size()) {
            const ssize_t n = ::send(p.fd, p.sent.constData() + p.handed, size_t(p.sent.size() - p.handed),
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0) {
                if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOTCONN && errno != EINTR)
                    fail(p, errno);
                break;
            }
            p.handed += n;
            moved = true;
        }
        if (p.open() && p.finPending && p.handed == p.sent.size()) {
            if (::shutdown(p.fd, SHUT_WR) == 0) {
                p.finPending = false;
                p.finSent = true;
                moved = true;
            }
        }
        static char buffer[ReadChunkBytes];
        for (int i = 0; i < 4 && p.open() && p.reading && !p.peerFinished; ++i) {
            const ssize_t n = ::recv(p.fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) {
                p.received.append(buffer, n);
                moved = true;
            } else if (n == 0) {
                p.peerFinished = true;
                moved = true;
            } else {
                if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOTCONN && errno != EINTR)
                    fail(p, errno);
                break;
            }
        }
        return moved;
    }

    void fail(Peer &p, int code)
    {
        p.error = code;
        p.drop(false);
    }

    void settle(int maxRounds)
    {
        int quiet = 0;
        for (int i = 0; i < maxRounds && quiet < QuietRoundsToSettle; ++i)
            quiet = pump() ? 0 : quiet + 1;
    }

    void check()
    {
        // Pair upstream connections with clients by the tag each client
        // sends first.
        for (Peer &u : m_upstreams) {
            if (u.client < 0 && u.received.size() >= TagBytes) {
                for (size_t c = 0; c < m_clients.size(); ++c) {
                    if (u.received.startsWith(clientTag(int(c))))
                        u.client = int(c);
                }
                if (u.client < 0)
                    broken("upstream connection %d got bytes that start no client's stream", u.id);
                for (const Peer &other : m_upstreams) {
                    if (&other != &u && other.client == u.client)
                        broken("client %d has two upstream connections", u.client);
                }
            }
            if (u.client >= 0) {
                if (!isPrefix(u.received, m_clients[size_t(u.client)].sent))
                    broken("upstream connection %d got what client %d did not send", u.id, u.client);
            } else {
                bool startsSome = u.received.isEmpty();
                for (size_t c = 0; c < m_clients.size() && !startsSome; ++c)
                    startsSome = isPrefix(u.received, clientTag(int(c)));
                if (!startsSome)
                    broken("upstream connection %d got bytes that start no client's stream", u.id);
            }
        }
        for (size_t c = 0; c < m_clients.size(); ++c) {
            const Peer &client = m_clients[c];
            if (client.received.isEmpty())
                continue;
            const Peer *own = nullptr;
            for (const Peer &u : m_upstreams) {
                if (u.client == int(c))
                    own = &u;
            }
            if (!own || !isPrefix(client.received, own->sent))
                broken("client %zu got what its upstream connection did not send", c);
        }

        const int n = m_relay.Winsock1.UBound();
        if (m_relay.Winsock2.UBound() != n || m_relay.pending_data.size() != size_t(n) + 1)
            broken("slot arrays differ in size");
        int inUse = 0;
        for (int i = 1; i <= n; ++i) {
            const Endpoint &client = m_relay.Winsock1(i);
            const Endpoint &server = m_relay.Winsock2(i);
            if (client.State() != SocketState::Closed) {
                ++inUse;
            } else if (server.State() != SocketState::Closed || !m_relay.pending_data[size_t(i)].isEmpty()) {
                broken("free slot %d still has an upstream (state %d) or held data", i, int(server.State()));
            }
            if (client.BytesQueued() > HeldBound || server.BytesQueued() > HeldBound
                || m_relay.pending_data[size_t(i)].size() > HeldBound)
                broken("slot %d holds more than the high-water mark allows", i);
        }
        if (inUse != m_relay.connectedClients())
            broken("connectedClients() is %d, %d slots in use", m_relay.connectedClients(), inUse);
    }

    void teardown()
    {
        for (Peer &p : m_clients)
            p.drop(true);
        for (Peer &p : m_upstreams)
            p.drop(true);
        for (int i = 0; i < TeardownRounds; ++i) {
            if (m_relay.connectedClients() == 0 && m_relay.loop.lingeringCount() == 0)
                break;
            if (!pump())
                usleep(100); // the lingering sweep and retries run on timers
        }
        check();
        if (m_relay.connectedClients() != 0)
            broken("%d slots still in use after every peer reset", m_relay.connectedClients());
        if (m_relay.loop.lingeringCount() != 0)
            broken("%d sockets still lingering after every peer reset", m_relay.loop.lingeringCount());
    }

    Relay m_relay;
    int m_listener = -1;
    QString m_upstreamPort;
    QString m_host = QStringLiteral("127.0.0.1");
    QString m_portText;
    quint16 m_relayPort = 0;
    std::vector<Peer> m_clients;
    std::vector<Peer> m_upstreams;
    qsizetype m_bytesQueued = 0;
};

void failOnWarning(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    std::fprintf(stderr, "%s\n", qPrintable(message));
    if (type != QtDebugMsg && type != QtInfoMsg)
        broken("Qt reported: %s", qPrintable(message));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    // The event dispatcher the program uses.
    useProgramEventLoop();
    static QCoreApplication app(*argc, *argv);
    qInstallMessageHandler(failOnWarning);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const int descriptorsBefore = openDescriptors();
    {
        Harness harness;
        harness.run(data, size);
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    const int descriptorsAfter = openDescriptors();
    if (descriptorsAfter != descriptorsBefore)
        broken("%d descriptors open before the input, %d after", descriptorsBefore, descriptorsAfter);
    return 0;
}
