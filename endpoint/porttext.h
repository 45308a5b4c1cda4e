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

    bool ok() const { return problem == None; }
};

// lowest is 0 where "let the system choose" makes sense (a listen port) and
// 1 where it does not (a port to connect to). The upper bound is 65535.
PortText parsePortText(QStringView text, int lowest);

// "Port is empty", "Port is not a number", "Port out of range".
QString portProblemText(PortText::Problem problem);

// Text a person typed, quoted for a message or tooltip: characters that do
// not print are shown as code points ("[U+0000]"), and input longer than
// MaxQuotedChars is cut, with its length given.
constexpr qsizetype MaxQuotedChars = 64;
QString quotedInput(const QString &text);

} // namespace pelk
