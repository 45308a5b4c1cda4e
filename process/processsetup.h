#pragma once

namespace pelk {

// Process-wide set-up for a program that relays many connections on one
// event thread. Kept out of the socket code: a library does not change the
// process it is linked into; the program's main() decides.

// Asks Qt for its plain poll()-based event dispatcher instead of the GLib
// one, which does more work on every wake-up and so adds to each relayed
// round trip. Call before the application object is created.
void useLeanEventDispatcher();

// For a program without a window: installs the dispatcher that waits in the
// epoll reactor's own set (epolldispatcher.h), so that a wake-up costs one
// system call. A window's platform delivers its events through a dispatcher
// of its own, so the window program keeps Qt's (useLeanEventDispatcher()).
// Falls back to that where no epoll set can be made. Call before the
// application object is created.
void useEpollEventDispatcher();

// Ignores SIGPIPE, as servers do: a write to a connection whose peer has
// gone is that connection's error (EPIPE), never the end of the process.
// The socket code already writes with MSG_NOSIGNAL everywhere; this also
// covers any write a library makes on its own.
void ignoreBrokenPipe();

// Raises this process's soft limit on open files to its hard limit, so that
// thousands of clients can be relayed. Returns the soft limit now in force.
long raiseFileLimit();

} // namespace pelk
