// How a stop reaches threads that sleep between rounds. The first SIGINT ends the program
// after the cycle under way, a second one abandons the exchange under way; SIGTERM does
// both at once, so that a service stops promptly. SIGHUP asks for the log to be reopened
// (after it was rotated).
//
// A process-directed signal runs its handler on any thread that does not block it (a
// line's, the publisher's, the server's, the history writer's), while the lines read the
// flags on threads of their own: lock-free atomics are safe in a handler and between
// threads, where a volatile sig_atomic_t is safe only within one thread. Threads that
// sleep until their next deadline wait on descriptors a handler may write to, so that a
// stop ends their wait at once and nothing wakes them otherwise.
#pragma once

#include <atomic>
#include <chrono>

namespace kv830host {

struct StopFlags {
    std::atomic<int> stop{0};
    std::atomic<int> abort{0};
    std::atomic<int> reopen_log{0};
};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handlers need lock-free flags");
StopFlags& stop_flags();

// Safe in a signal handler. A stop stays readable on stop_fd() until reset_stop(), so that
// every waiting thread sees it; a reopen wakes reopen_fd() until it is taken.
void request_stop(bool abort);
void request_reopen();
// Clears a stop, for a program run after another in the same process (the tests).
void reset_stop();

// Readable once a stop is asked for.
int stop_fd();
// Readable while a log reopen waits to be taken; take_reopen() empties it.
int reopen_fd();
bool take_reopen();

// Sleeps until `deadline` or a stop, whichever comes first; with `reopen` also until a log
// reopen is asked for. Returns false when a stop (or the reopen) ended it early.
bool sleep_until_or_stop(std::chrono::steady_clock::time_point deadline, bool reopen = false);

}  // namespace kv830host
