// Accepting clients on the control port, and keeping room for clients that
// authorise: when descriptors, the budget of connections not yet authorised
// or the budget per peer address run short, the oldest connection that has
// not authorised is closed to make room (each reason logged once a second at
// most), so silent connections never lock an honest client out.
//
// Threads: the connection thread only, holding CallControlService::mServMutex
// (asserted in checked builds) except for Open.
#pragma once

#include <memory>
#include <string>

class CallControlService;
class EventLoop;

class ConnectionListener {
  public:
    // Binds the control port (retrying while the port is taken, for as long
    // as the server runs; `loop` carries the wake-up that ends a pause);
    // false when it gave up or the server stops.
    static bool Open(EventLoop& loop);
    // Counts the descriptors that are not clients' (at the thread's start).
    static void NoteThreadStart();
    // Takes one connection from the listener's backlog; false when there was
    // none to take (or it failed, logged).
    static bool AcceptOne(EventLoop& loop);

  private:
    // Checks a freshly accepted connection against the limits on connections
    // not yet authorised and lists it; true.
    static bool SetUp(std::unique_ptr<CallControlService> c, EventLoop& loop);
    // Closes the oldest connection not yet authorised (from `peer` only,
    // unless empty) to make room; each reason `why` is logged once a second
    // at most. False when there is none.
    static bool EvictOldestUnauthorised(const std::string& peer, int why, EventLoop& loop);
};
