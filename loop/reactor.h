#pragma once

#include <memory>

namespace pelk {

// Receives readiness for one watched descriptor. `failed` means the kernel
// reported an error or hang-up; the handler learns which by reading or by
// SO_ERROR.
class ReadyHandler
{
public:
    virtual void onReady(int fd, bool readable, bool writable, bool failed) = 0;
    // A change of interest that setInterest() accepted could not be made
    // (err: its errno); the descriptor gets no readiness any more.
    virtual void onWatchFailed(int fd, int err) = 0;

protected:
    ~ReadyHandler() = default;
};

// The one seam between the endpoints and the event loop: which descriptors
// are watched, for what, and how the loop learns they are ready.
//
// All calls and all onReady() callbacks happen on the thread that owns the
// Qt event loop. A handler may watch, re-arm or unwatch any descriptor
// (its own or another's) from inside onReady(); readiness already collected
// for a descriptor that was unwatched, or unwatched and watched again, in the
// same pass is discarded, never delivered to the wrong handler.
class Reactor
{
public:
    enum Interest : unsigned { None = 0, Read = 1, Write = 2 };

    virtual ~Reactor() = default;

    // Both return 0, or the errno of a descriptor the reactor could not
    // watch (out of memory, over the system's watch limit, not a socket); it
    // then gets no readiness, and its owner treats that as its failure. A
    // reactor may make a change of interest later, before the loop next
    // waits; should it fail then, the handler's onWatchFailed() says so.
    [[nodiscard]] virtual int watch(int fd, ReadyHandler *handler, unsigned interest) = 0;
    [[nodiscard]] virtual int setInterest(int fd, unsigned interest) = 0;
    // Hands a watched descriptor to another handler, its interest unchanged.
    virtual void setHandler(int fd, ReadyHandler *handler) = 0;
    virtual void unwatch(int fd) = 0;
    // As unwatch(), for a descriptor its owner closes right away: closing it
    // takes it out of an epoll set, so no call is made to do that first.
    virtual void forget(int fd) { unwatch(fd); }

    // Whether onReady() says `failed` whenever the kernel reports an error or
    // hang-up; else a failure may show only as readable or writable.
    virtual bool reportsFailures() const { return false; }

    // One epoll set of the reactor's own on Linux, which the event loop
    // watches as one descriptor (epollreactor.h); per-descriptor
    // QSocketNotifiers elsewhere, and on Linux when no epoll set can be made
    // (with a warning). Tests can ask for the portable one on Linux too.
    static std::unique_ptr<Reactor> create();
    static std::unique_ptr<Reactor> createNotifierReactor();
};

} // namespace pelk
