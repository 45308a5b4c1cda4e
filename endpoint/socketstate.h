#pragma once

#include <QString>

namespace pelk {

// State codes as the relay tests them: 0 closed, 7 connected; the others are
// neither.
enum class SocketState : int {
    Closed = 0,
    Open = 1,
    Listening = 2,
    ConnectionPending = 3,
    ResolvingHost = 4,
    HostResolved = 5,
    Connecting = 6,
    Connected = 7,
    Closing = 8, // the peer has sent FIN; we may still send
    Error = 9,
};

// One place that turns a state into words, for the window and for tests.
QString stateText(SocketState state);

} // namespace pelk
