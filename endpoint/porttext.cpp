#include "porttext.h"

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

} // namespace pelk
