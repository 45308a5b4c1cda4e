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
    bool tls = false;         // "+N": TLS to port N (upstream ports only)

    bool ok() const { return problem == None; }
};

// lowest is 0 where "let the system choose" makes sense (a listen port) and
// 1 where it does not (a port to connect to). The upper bound is 65535.
PortText parsePortText(QStringView text, int lowest);

// An upstream port: as parsePortText(text, 1), or "+N" for TLS to port N.
// The plus sign comes first, right before the digits ("+ 6697" and "++6697"
// are not numbers); blanks may surround the whole text.
PortText parseUpstreamPortText(QStringView text);

// "Port is empty", "Port is not a number", "Port out of range".
QString portProblemText(PortText::Problem problem);

// Text a person typed, quoted for a message or tooltip: characters that do
// not print are shown as code points ("[U+0000]"), and input longer than
// MaxQuotedChars is cut, with its length given.
constexpr qsizetype MaxQuotedChars = 64;
QString quotedInput(const QString &text);

} // namespace pelk
