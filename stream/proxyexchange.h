#pragma once

#include "proxyurl.h"
#include "socketerrors.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

namespace pelk {

// The client's side of asking a proxy for a connection to host and port, as
// bytes in and bytes out, with no socket: SOCKS5 (RFC 1928, the CONNECT
// command, RFC 1929 login when the URL has one, or a login made up for
// this connection alone when it asks to be kept apart) or HTTP/1.1 CONNECT
// (Basic login). The server's host goes to the proxy as it is: a name as a name,
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
    // The SOCKS5 login sent: the URL's, or one made up for this connection
    // alone (ProxyUrl::isolate), when the proxy may also take none.
    QString m_user;
    QString m_password;
    bool m_madeUpLogin = false;
    const QString m_host;
    const quint16 m_port;
    Phase m_phase = Phase::Start;
    QByteArray m_buffer; // the reply so far
    qsizetype m_interimBytes = 0; // of the HTTP interim headers skipped
};

} // namespace pelk
