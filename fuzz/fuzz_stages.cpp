// libFuzzer target: the stream stages over a peer that sends any bytes, cut
// into reads at any places: a proxy's stage, TLS as a client, and TLS over a
// proxy's stage, stacked in a Stream as a connection's are, over a scripted
// stage in place of the socket.
//
// The first input byte chooses the stack (bits 0-1: a SOCKS5 proxy, an
// HTTP proxy, TLS alone, TLS through SOCKS5) and bits 2-7 a read size (1 to
// 64 bytes); the second byte how much one write may take (1 to 256 bytes,
// or everything). The rest is what the peer sends. Checked: a handshake ends
// Done, Failed or Pending once the input is used up, after a bounded
// number of steps; a failure has a known phrase and a detail; through a
// proxy alone, what is read after Done is exactly the input after the
// proxy's reply; TLS never completes a handshake with bytes nobody signed.

#include "proxystage.h"
#include "stream.h"
#include "tlscontext.h"
#include "tlsstage.h"

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

[[noreturn]] void broken(const char *what, const QByteArray &input)
{
    std::fprintf(stderr, "stream stages: %s (input %s)\n", what, input.left(80).toHex(' ').constData());
    std::abort();
}

// Stands where the socket would: reads give the input in pieces, then
// EAGAIN (no end: the peer says nothing more); writes take up to a bound.
class ScriptedStage final : public pelk::StreamStage
{
public:
    ScriptedStage(QByteArray input, size_t readBytes, size_t writeBytes)
        : m_input(std::move(input)), m_readBytes(readBytes), m_writeBytes(writeBytes)
    {
    }
    Handshake handshake() override { return Handshake::Done; }
    ssize_t read(char *buffer, size_t size) override
    {
        const size_t n = std::min({size, m_readBytes, size_t(m_input.size() - m_at)});
        if (n == 0) {
            errno = EAGAIN;
            return -1;
        }
        std::memcpy(buffer, m_input.constData() + m_at, n);
        m_at += qsizetype(n);
        return ssize_t(n);
    }
    ssize_t write(const char *, size_t size) override { return ssize_t(std::min(size, m_writeBytes)); }
    bool sendFin() override { return true; }
    unsigned interest(bool wantRead, bool wantWrite) const override { return (wantRead ? 1u : 0u) | (wantWrite ? 2u : 0u); }
    bool readCanGo(bool readable, bool) const override { return readable; }
    bool writeCanGo(bool, bool writable) const override { return writable; }
    bool holdsInput() const override { return false; }

    qsizetype consumed() const { return m_at; }

private:
    QByteArray m_input;
    qsizetype m_at = 0;
    size_t m_readBytes;
    size_t m_writeBytes;
};

// A Stream needs a socket under its stages; the scripted stage takes its
// place as the first stage above it, and the socket itself is never used.
int placeholderSocket()
{
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        std::abort();
    ::close(pair[1]);
    return pair[0];
}

pelk::TlsContext &tlsContext()
{
    static pelk::TlsContext context;
    return context;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const int stack = data[0] & 3;
    const size_t readBytes = 1 + (data[0] >> 2);
    const size_t writeBytes = data[1] == 0 ? SIZE_MAX : data[1];
    const QByteArray input(reinterpret_cast<const char *>(data + 2), qsizetype(size - 2));

    pelk::Stream stream(placeholderSocket());
    auto scripted = std::make_unique<ScriptedStage>(input, readBytes, writeBytes);
    ScriptedStage &peer = *scripted;
    if (!stream.push(std::move(scripted)))
        broken("no room for the stand-in stage", input);
    const bool proxied = stack != 2;
    if (proxied) {
        pelk::ProxyUrl proxy;
        proxy.kind = stack == 1 ? pelk::ProxyUrl::Kind::Http : pelk::ProxyUrl::Kind::Socks5;
        proxy.host = QStringLiteral("127.0.0.1");
        proxy.port = 1080;
        if (!stream.push(std::make_unique<pelk::ProxyStage>(proxy, QStringLiteral("irc.example.invalid"), 6697)))
            broken("no room for the proxy's stage", input);
    }
    const bool tls = stack >= 2;
    if (tls)
        if (!stream.push(std::make_unique<pelk::TlsStage>(tlsContext(), QStringLiteral("irc.example.invalid"), 6697)))
            broken("no room for the TLS stage", input);

    // Every step reads or writes something, or waits: bounded by the input.
    pelk::StreamStage::Handshake step = pelk::StreamStage::Handshake::Pending;
    for (qsizetype steps = 0; steps <= input.size() + 8; ++steps) {
        const qsizetype before = peer.consumed();
        step = stream.handshake();
        if (step != pelk::StreamStage::Handshake::Pending || peer.consumed() == before)
            break;
    }
    const QStringList phrases = pelk::socketErrorPhrases();
    switch (step) {
    case pelk::StreamStage::Handshake::Failed: {
        const pelk::EndpointError failure = stream.failure();
        if (!phrases.contains(failure.text) || failure.detail.isEmpty())
            broken("a failure without a known phrase or a detail", input);
        break;
    }
    case pelk::StreamStage::Handshake::Done: {
        if (tls)
            broken("a TLS handshake done with bytes nobody signed", input);
        // What comes after the proxy's reply reaches the reader whole: the
        // rest of the read that ended the reply, then everything after it.
        const qsizetype unreadAtDone = input.size() - peer.consumed();
        QByteArray read;
        char buffer[97];
        for (ssize_t n; (n = stream.read(buffer, sizeof buffer)) > 0;)
            read.append(buffer, n);
        if (!input.endsWith(read) || read.size() < unreadAtDone)
            broken("bytes after the reply lost or changed", input);
        if (stream.holdsInput())
            broken("bytes after the reply kept back", input);
        break;
    }
    case pelk::StreamStage::Handshake::Pending:
        (void)stream.interest(true, false);
        break;
    }
    return 0;
}
