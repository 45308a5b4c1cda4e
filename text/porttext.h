#pragma once

#include <QString>
#include <QStringView>

namespace pelk {

// Reads a port typed by a person: a plain decimal number, blanks around it
// allowed; no sign, fraction, exponent or other characters.
struct PortText
{
    enum Problem { None, Empty, NotNumber, OutOfRange };

    int port = -1;            // valid only when problem == None
    Problem problem = None;
    bool tls = false;         // "+N": TLS on port N (upstream and listen ports)

    bool ok() const { return problem == None; }
};

// lowest is 0 where "let the system choose" makes sense (a listen port) and
// 1 where it does not (a port to connect to). The upper bound is 65535.
PortText parsePortText(QStringView text, int lowest);

// An upstream port: as parsePortText(text, 1), or "+N" for TLS to port N.
// The plus sign comes first, right before the digits ("+ 6697" and "++6697"
// are not numbers); blanks may surround the whole text.
PortText parseUpstreamPortText(QStringView text);

// The server a connect goes to, as typed: a host (a name, or an IPv4 or
// IPv6 literal with or without brackets; blanks around it allowed) and an
// upstream port text (parseUpstreamPortText()).
struct ServerTarget
{
    enum Problem { None, NoHost, BadPort };

    QString host; // trimmed, without brackets
    PortText port;
    Problem problem = None;

    bool ok() const { return problem == None; }
};

ServerTarget parseServerTarget(QStringView host, QStringView portText);

// Where a listener listens: this computer only (127.0.0.1 and ::1), every
// address of the machine, or one address.
enum class ListenScope { Loopback, Everywhere, OneAddress };

// A listen text as a person types it, in the form of ssh's -L
// [bind_address:]port: "PORT" listens on this computer only, "*:PORT" on
// every address, "ADDRESS:PORT" or "[IPv6]:PORT" on that address alone
// ("localhost:PORT" is the same as "PORT"). Blanks may surround the whole
// text; the port part is read as parsePortText(text, 0), or with a "+"
// right before it ("+6697", "*:+6697") as TLS to the clients.
struct ListenText
{
    enum AddressProblem { AddressOk, NotAnAddress, IPv6WithoutBrackets, NoAddress };

    ListenScope scope = ListenScope::Loopback;
    QString address; // for OneAddress: the address without brackets
    PortText port;
    AddressProblem addressProblem = AddressOk;

    bool ok() const { return addressProblem == AddressOk && port.ok(); }
};

ListenText parseListenText(QStringView text);

// "Bad listen address": the status phrase for any AddressProblem.
QString listenAddressProblemText();

// "Port is empty", "Port is not a number", "Port out of range".
QString portProblemText(PortText::Problem problem);

// Text a person typed, quoted for a message or tooltip: characters that do
// not print are shown as code points ("[U+0000]"), and input longer than
// MaxQuotedChars is cut, with its length given.
constexpr qsizetype MaxQuotedChars = 64;
QString quotedInput(const QString &text);

} // namespace pelk
