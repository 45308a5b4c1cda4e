#pragma once

namespace pelk {

// Process-wide set-up for a program that relays many connections on one
// event thread. Kept out of the socket code: a library does not change the
// process it is linked into; the program's main() decides.

// The one event loop that the program, and every test, runs: Qt's plain
// poll()-based dispatcher rather than the GLib one, which does more work on
// every wake-up and so adds to each relayed round trip. A window's platform
// plugin builds its own dispatcher on this one (xcb's reads the X events
// from within it), so a program with a window runs it as well; the
// reactor's epoll set is one of the descriptors it waits on. Call before the
// application object is created.
void useProgramEventLoop();

// Ignores SIGPIPE, as servers do: a write to a connection whose peer has
// gone is that connection's error (EPIPE), never the end of the process.
// The socket code already writes with MSG_NOSIGNAL everywhere; this also
// covers any write a library makes on its own.
void ignoreBrokenPipe();

// Raises this process's soft limit on open files to its hard limit, so that
// thousands of clients can be relayed. Returns the soft limit now in force.
long raiseFileLimit();

} // namespace pelk
