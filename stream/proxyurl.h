#pragma once

#include <QString>

#include <optional>

namespace pelk {

// A proxy between the relay and its servers, as a person writes it:
// socks5://[USER:PASSWORD@]HOST:PORT or http://[USER:PASSWORD@]HOST:PORT.
// HOST is a name or an address ("[::1]" for IPv6); user and password are
// percent-decoded.
struct ProxyUrl
{
    enum class Kind { Socks5, Http };

    // A SOCKS5 name, user or password: one length byte.
    static constexpr qsizetype MaxSocksFieldBytes = 255;

    Kind kind = Kind::Socks5;
    QString host; // without brackets
    quint16 port = 0;
    QString user;
    QString password;
    // Each connection offers the proxy a login of its own, made up and never
    // used again, as well as none: Tor keeps streams with different logins
    // on different circuits (IsolateSOCKSAuth).
    bool isolate = false;

    bool hasLogin() const { return !user.isEmpty() || !password.isEmpty(); }
    // Why isolate cannot be had with this proxy (an HTTP proxy, a login of
    // the URL's own); empty when it can, or is not asked for.
    QString isolationProblem() const;

    // The URL for messages and tooltips: never with the password.
    QString displayText() const;
    // "the SOCKS5 proxy socks5://127.0.0.1:9050", for details.
    QString description() const;
};

// Reads a proxy URL; nothing, and what is wrong in *error, when it cannot be
// used: another scheme, no host or port, a path, characters a URL may not
// hold, a user or password longer than SOCKS5 can carry.
std::optional<ProxyUrl> parseProxyUrl(const QString &text, QString *error = nullptr);

} // namespace pelk
