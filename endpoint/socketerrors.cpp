#include "socketerrors.h"
#include "endpoint.h"

#include <cerrno>
#include <iterator>

namespace pelk {

namespace {

struct ErrorPhrase
{
    int code;
    const char *phrase;
};

// Codes that share a phrase sit next to each other.
constexpr ErrorPhrase ErrorPhrases[] = {
    {Endpoint::BadPortError, "Bad port"},
    {Endpoint::BadHostError, "Host is empty"},
    {Endpoint::HostNotFoundError, "Host not found"},
    {Endpoint::TimedOutError, "Connect timed out"},
    {Endpoint::ConnectFailedError, "Connect failed"},
    {Endpoint::SelfConnectError, "Server is this relay"},
    {Endpoint::NotClosedError, "Socket in use"},
    {Endpoint::BadRequestError, "No such request"},
    {Endpoint::CertificateError, "Certificate not trusted"},
    {Endpoint::TlsHandshakeError, "TLS handshake failed"},
    {Endpoint::TlsError, "TLS error"},
    {Endpoint::ProxyUnreachableError, "Proxy unreachable"},
    {Endpoint::ProxyRefusedError, "Proxy refused"},
    {Endpoint::ProxyLoginError, "Proxy login refused"},
    {Endpoint::ProxyProtocolError, "Bad proxy reply"},
    {Endpoint::HalfCloseTimeoutError, "Peer did not finish"},
    {Endpoint::AddressRemovedError, "Address removed"},
    {EADDRINUSE, "Port in use"},
    {EACCES, "Permission denied"},
    {EPERM, "Permission denied"},
    {ECONNREFUSED, "Connection refused"},
    {ECONNRESET, "Connection reset"},
    {ECONNABORTED, "Connection aborted"},
    {EPIPE, "Connection closed"},
    {ETIMEDOUT, "Connect timed out"},
    {ENETUNREACH, "Network unreachable"},
    {ENETDOWN, "Network unreachable"},
    {EHOSTUNREACH, "Host unreachable"},
    {EHOSTDOWN, "Host unreachable"},
    {EADDRNOTAVAIL, "Address not available"},
    {EAFNOSUPPORT, "Address not supported"},
    {EMFILE, "Out of descriptors"},
    {ENFILE, "Out of descriptors"},
    {ENOBUFS, "Out of memory"},
    {ENOMEM, "Out of memory"},
    {ENODEV, "No such interface"},
};

QString unknownErrorText(int code)
{
    return QStringLiteral("Socket error %1").arg(code);
}

} // namespace

QString socketErrorText(int code)
{
    for (const ErrorPhrase &entry : ErrorPhrases) {
        if (entry.code == code)
            return QString::fromLatin1(entry.phrase);
    }
    return unknownErrorText(code);
}

QStringList socketErrorPhrases()
{
    QStringList phrases;
    for (const ErrorPhrase &entry : ErrorPhrases) {
        const QString phrase = QString::fromLatin1(entry.phrase);
        if (!phrases.contains(phrase))
            phrases << phrase;
    }
    phrases << unknownErrorText(99999);
    return phrases;
}

} // namespace pelk
