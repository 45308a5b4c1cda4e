#include "streamstage.h"

#include <QString>

namespace pelk {

EndpointError StreamStage::handshakeTimedOut(int limitMs) const
{
    return failureOf(TimedOutError, QStringLiteral("The connection did not open within %1 seconds.")
                                        .arg(QString::number(limitMs / 1000.0)));
}

} // namespace pelk
