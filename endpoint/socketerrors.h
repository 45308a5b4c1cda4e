#pragma once

#include <QString>
#include <QStringList>

namespace pelk {

// A failure as the endpoints report it.
struct EndpointError
{
    int code = 0;        // errno, or one of the Endpoint::*Error codes
    QString text;        // short phrase
    QString detail;      // the full reason, for a tooltip
};

// A short phrase for an errno value from a socket call ("Port in use",
// "Connection refused", ...) or for one of the Endpoint::*Error codes, short
// enough for a status line.
QString socketErrorText(int errorCode);

// Every phrase socketErrorText() can return, so that a window can size its
// status line for the longest.
QStringList socketErrorPhrases();

} // namespace pelk
