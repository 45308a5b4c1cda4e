#include "porttext.h"

#include <QHostAddress>
#include <QList>

namespace pelk {

PortText parsePortText(QStringView text, int lowest)
{
    const QStringView digits = text.trimmed();
    if (digits.isEmpty())
        return {-1, PortText::Empty};
    qint64 value = 0;
    bool tooBig = false;
    for (const QChar c : digits) {
        if (c < u'0' || c > u'9')
            return {-1, PortText::NotNumber};
        if (!tooBig) {
            value = value * 10 + (c.unicode() - u'0');
            tooBig = value > 65535; // stop accumulating: the text may be any length
        }
    }
    if (tooBig || value < lowest)
        return {-1, PortText::OutOfRange};
    return {int(value), PortText::None};
}

namespace {

// A port text that may start with "+" for TLS, right before the digits.
PortText parsePortOrTls(QStringView text, int lowest)
{
    const QStringView trimmed = text.trimmed();
    if (!trimmed.startsWith(u'+'))
        return parsePortText(trimmed, lowest);
    const QStringView digits = trimmed.sliced(1);
    if (digits.isEmpty() || digits.front().isSpace())
        return {-1, PortText::NotNumber};
    PortText parsed = parsePortText(digits, lowest);
    parsed.tls = parsed.ok();
    return parsed;
}

} // namespace

PortText parseUpstreamPortText(QStringView text)
{
    return parsePortOrTls(text, 1);
}

ServerTarget parseServerTarget(QStringView host, QStringView portText)
{
    ServerTarget target;
    target.port = parseUpstreamPortText(portText);
    if (!target.port.ok()) {
        target.problem = ServerTarget::BadPort;
        return target;
    }
    QStringView name = host.trimmed();
    if (name.size() > 2 && name.startsWith(u'[') && name.endsWith(u']'))
        name = name.sliced(1, name.size() - 2);
    target.host = name.toString();
    if (target.host.isEmpty())
        target.problem = ServerTarget::NoHost;
    return target;
}

ListenText parseListenText(QStringView text)
{
    const QStringView trimmed = text.trimmed();
    ListenText parsed;
    QStringView host;
    QStringView port = trimmed;
    if (trimmed.startsWith(u'[')) {
        const qsizetype close = trimmed.indexOf(u']');
        if (close < 0 || close + 1 >= trimmed.size() || trimmed.at(close + 1) != u':') {
            parsed.addressProblem = ListenText::NotAnAddress;
            return parsed;
        }
        host = trimmed.sliced(1, close - 1);
        port = trimmed.sliced(close + 2);
    } else if (const qsizetype colon = trimmed.lastIndexOf(u':'); colon >= 0) {
        host = trimmed.first(colon);
        port = trimmed.sliced(colon + 1);
        if (host.contains(u':')) {
            parsed.addressProblem = ListenText::IPv6WithoutBrackets;
            return parsed;
        }
        if (host.isEmpty()) {
            parsed.addressProblem = ListenText::NoAddress;
            return parsed;
        }
    }
    parsed.port = parsePortOrTls(port, 0);
    if (host.isEmpty() && port.size() == trimmed.size())
        return parsed; // the port alone: this computer only
    if (host == u"*") {
        parsed.scope = ListenScope::Everywhere;
    } else if (host.compare(u"localhost", Qt::CaseInsensitive) == 0) {
        parsed.scope = ListenScope::Loopback;
    } else if (QHostAddress address; address.setAddress(host.toString())) {
        parsed.scope = ListenScope::OneAddress;
        parsed.address = host.toString();
    } else {
        parsed.addressProblem = ListenText::NotAnAddress;
    }
    return parsed;
}

QString listenAddressProblemText()
{
    return QStringLiteral("Bad listen address");
}

QString portProblemText(PortText::Problem problem)
{
    switch (problem) {
    case PortText::None: return {};
    case PortText::Empty: return QStringLiteral("Port is empty");
    case PortText::NotNumber: return QStringLiteral("Port is not a number");
    case PortText::OutOfRange: return QStringLiteral("Port out of range");
    }
    return {};
}

QString quotedInput(const QString &text)
{
    const QList<uint> codePoints = text.toUcs4();
    QString shown;
    for (qsizetype i = 0; i < codePoints.size() && i < MaxQuotedChars; ++i) {
        const char32_t c = codePoints.at(i);
        if (QChar::isPrint(c))
            shown += QString::fromUcs4(&c, 1);
        else
            shown += QStringLiteral("[U+%1]").arg(uint(c), 4, 16, QLatin1Char('0')).toUpper();
    }
    QString quoted = u'"' + shown;
    if (codePoints.size() > MaxQuotedChars)
        quoted += QStringLiteral("\u2026\" (%1 characters)").arg(codePoints.size());
    else
        quoted += u'"';
    return quoted;
}

} // namespace pelk
