#include "socketstate.h"

namespace pelk {

QString stateText(SocketState state)
{
    switch (state) {
    case SocketState::Closed: return QStringLiteral("closed");
    case SocketState::Open: return QStringLiteral("open");
    case SocketState::Listening: return QStringLiteral("listening");
    case SocketState::ConnectionPending: return QStringLiteral("connection pending");
    case SocketState::ResolvingHost: return QStringLiteral("resolving host");
    case SocketState::HostResolved: return QStringLiteral("host resolved");
    case SocketState::Connecting: return QStringLiteral("connecting");
    case SocketState::Connected: return QStringLiteral("connected");
    case SocketState::Closing: return QStringLiteral("peer closed");
    case SocketState::Error: return QStringLiteral("error");
    }
    return QStringLiteral("unknown");
}

} // namespace pelk
