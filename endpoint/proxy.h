#pragma once

#include "endpoint.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>
#include <utility>

namespace pelk {

// A proxy between the relay and its servers, as a person writes it:
// socks5://[USER:PASSWORD@]HOST:PORT or http://[USER:PASSWORD@]HOST:PORT.
// HOST is a name or an address ("[::1]" for IPv6); user and password are
// percent-decoded.
struct ProxyUrl
{
    enum class Kind { Socks5, Http };

    Kind kind = Kind::Socks5;
    QString host; // without brackets
    quint16 port = 0;
    QString user;
    QString password;

    bool hasLogin() const { return !user.isEmpty() || !password.isEmpty(); }

    // The URL for messages and tooltips: never with the password.
    QString displayText() const;
};

// Reads a proxy URL; nothing, and what is wrong in *error, when it cannot be
// used: another scheme, no host or port, a path, characters a URL may not
// hold, a user or password longer than SOCKS5 can carry.
std::optional<ProxyUrl> parseProxyUrl(const QString &text, QString *error = nullptr);

// The client's side of asking a proxy for a connection to host and port, as
// bytes in and bytes out, with no socket: SOCKS5 (RFC 1928, the CONNECT
// command, RFC 1929 login when the URL has one) or HTTP/1.1 CONNECT (Basic
// login). The server's host goes to the proxy as it is: a name as a name,
// never looked up here, an address as an address.
//
// start() gives the first bytes to send. feed() takes whatever the socket
// read next, in pieces of any size, and answers:
//   NeedMore  the reply is not complete yet;
//   Write     send `bytes`, then go on reading (the SOCKS5 login, the request);
//   Done      the proxy has connected; `bytes` came after its reply and are
//             the server's first bytes;
//   Failed    `error` says why (code, phrase and detail; never the password).
// After Done or Failed the exchange is over. An HTTP proxy's interim (1xx)
// replies are skipped, except 101, which is a refusal. What it keeps is
// bounded: HTTP reply headers, the skipped ones included, longer than
// MaxReplyBytes in all fail.
class ProxyExchange
{
public:
    static constexpr qsizetype MaxReplyBytes = 8 * 1024;

    struct Step
    {
        enum Kind { NeedMore, Write, Done, Failed };
        Kind kind = NeedMore;
        QByteArray bytes;
        EndpointError error;
    };

    ProxyExchange(ProxyUrl proxy, QString host, quint16 port);

    // The server the proxy is asked for.
    const QString &host() const { return m_host; }
    quint16 port() const { return m_port; }

    Step start();
    Step feed(QByteArrayView received);
    // The proxy closed the connection before its reply was complete.
    Step endOfStream() const;

private:
    enum class Phase { Start, Method, Login, Reply, Over };

    Step feedSocks();
    Step feedHttp();
    Step socksRequest();
    Step fail(int code, const QString &why) const;
    QString proxyText() const;
    QString targetText() const;

    const ProxyUrl m_proxy;
    const QString m_host;
    const quint16 m_port;
    Phase m_phase = Phase::Start;
    QByteArray m_buffer; // the reply so far
    qsizetype m_interimBytes = 0; // of the HTTP interim headers skipped
};

// A ProxyExchange on a connected non-blocking socket, driven by the
// endpoint from its readiness callbacks like a TLS handshake. Never closes
// the socket; writes with MSG_NOSIGNAL.
class ProxyHandshake
{
public:
    enum class Result { Done, Pending, Failed };

    ProxyHandshake(const ProxyUrl &proxy, const QString &host, quint16 port);

    const QString &host() const { return m_exchange.host(); }
    quint16 port() const { return m_exchange.port(); }

    // Sends and reads as far as the socket lets it. Pending: go on when
    // interest() is ready; Failed: failure() says why.
    Result handshake(int fd);
    unsigned interest() const { return m_interest; }
    EndpointError failure() const { return m_failure; }

    // After Done: what the server sent right after the proxy's reply.
    QByteArray takeRest() { return std::exchange(m_rest, QByteArray()); }

    // A failure to connect to the proxy itself, told as such; and no reply
    // within the connect's time limit.
    EndpointError unreachable(const EndpointError &error) const;
    EndpointError timedOut(int limitMs) const;

private:
    static constexpr qsizetype ReadChunkBytes = 4096;

    bool take(ProxyExchange::Step step);

    ProxyExchange m_exchange;
    const QString m_proxyText;
    bool m_started = false;
    bool m_done = false;
    QByteArray m_out;
    qsizetype m_outHead = 0;
    QByteArray m_rest;
    unsigned m_interest = 0;
    EndpointError m_failure;
};

} // namespace pelk
