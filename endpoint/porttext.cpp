#include "porttext.h"

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

PortText parseUpstreamPortText(QStringView text)
{
    const QStringView trimmed = text.trimmed();
    if (!trimmed.startsWith(u'+'))
        return parsePortText(trimmed, 1);
    const QStringView digits = trimmed.sliced(1);
    if (digits.isEmpty() || digits.front().isSpace())
        return {-1, PortText::NotNumber};
    PortText parsed = parsePortText(digits, 1);
    parsed.tls = parsed.ok();
    return parsed;
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
