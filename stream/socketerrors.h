#pragma once

#include <QString>
#include <QStringList>

namespace pelk {

// Codes for the failures that have no errno; an EndpointError carries one of
// these or an errno value.
enum ErrorCode : int {
    BadPortError = -1,
    BadHostError = -2,
    HostNotFoundError = -3,
    TimedOutError = -4,
    NotClosedError = -5,
    BadRequestError = -6,
    CertificateError = -7,
    TlsHandshakeError = -8,
    TlsError = -9,
    ConnectFailedError = -10,    // the addresses of a name failed in different ways
    SelfConnectError = -11,      // the server is the relay's own listener
    ProxyUnreachableError = -12,
    ProxyRefusedError = -13,
    ProxyLoginError = -14,
    ProxyProtocolError = -15,
    HalfCloseTimeoutError = -16, // the peer did not finish in time after our FIN
    AddressRemovedError = -17,   // the computer no longer has the connection's address
    ClientNotPinnedError = -18,  // a client of a TLS listen port without a pinned certificate
    LendsLoginError = -19,       // a listen port beyond this computer would lend the user's login
    PinsNeedTlsError = -20,      // client pins on a listen port that does not speak TLS
    ProxyIsolationError = -21,   // clients cannot be kept apart through this proxy
};

// A failure as the endpoints and streams report it.
struct EndpointError
{
    int code = 0;        // errno, or one of the ErrorCode values
    QString text;        // short phrase
    QString detail;      // the full reason, for a tooltip
};

// A short phrase for an errno value from a socket call ("Port in use",
// "Connection refused", ...) or for one of the ErrorCode values, short
// enough for a status line.
QString socketErrorText(int errorCode);

// An EndpointError with the phrase for code and the given detail.
EndpointError failureOf(int code, const QString &detail);

// Every phrase socketErrorText() can return, so that a window can size its
// status line for the longest.
QStringList socketErrorPhrases();

} // namespace pelk
