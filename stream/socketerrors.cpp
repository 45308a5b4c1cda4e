#include "socketerrors.h"

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
    {BadPortError, "Bad port"},
    {BadHostError, "Host is empty"},
    {HostNotFoundError, "Host not found"},
    {TimedOutError, "Connect timed out"},
    {ConnectFailedError, "Connect failed"},
    {SelfConnectError, "Server is this relay"},
    {NotClosedError, "Socket in use"},
    {BadRequestError, "No such request"},
    {CertificateError, "Certificate not trusted"},
    {TlsHandshakeError, "TLS handshake failed"},
    {TlsError, "TLS error"},
    {ProxyUnreachableError, "Proxy unreachable"},
    {ProxyRefusedError, "Proxy refused"},
    {ProxyLoginError, "Proxy login refused"},
    {ProxyProtocolError, "Bad proxy reply"},
    {HalfCloseTimeoutError, "Peer did not finish"},
    {AddressRemovedError, "Address removed"},
    {ClientNotPinnedError, "Client not pinned"},
    {LendsLoginError, "Would lend your login"},
    {PinsNeedTlsError, "Client pins need TLS"},
    {ProxyIsolationError, "Cannot isolate clients"},
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

EndpointError failureOf(int code, const QString &detail)
{
    return {code, socketErrorText(code), detail};
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
