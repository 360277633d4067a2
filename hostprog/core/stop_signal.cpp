#include "stop_signal.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>

namespace kv830host {

namespace {

struct Wakers {
    // A stop is a byte in a pipe nobody reads until the next run: once written, every
    // poll on it returns at once, in every thread.
    int stop[2] = {-1, -1};
    int reopen = -1;
    Wakers() {
        if (::pipe2(stop, O_NONBLOCK | O_CLOEXEC) != 0) {
            stop[0] = stop[1] = -1;
        }
        reopen = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    }
};

Wakers& wakers() {
    static Wakers w;
    return w;
}

StopFlags g_flags;

}  // namespace

StopFlags& stop_flags() {
    return g_flags;
}

void request_stop(bool abort) {
    if (abort || g_flags.stop != 0) {
        g_flags.abort = 1;
    }
    g_flags.stop = 1;
    const char one = 1;
    // Async-signal-safe; a full pipe already says "stop".
    const ssize_t n = ::write(wakers().stop[1], &one, 1);
    static_cast<void>(n);
}

void request_reopen() {
    g_flags.reopen_log = 1;
    const std::uint64_t one = 1;
    const ssize_t n = ::write(wakers().reopen, &one, sizeof one);
    static_cast<void>(n);
}

void reset_stop() {
    g_flags.stop = 0;
    g_flags.abort = 0;
    char drain[64];
    while (::read(wakers().stop[0], drain, sizeof drain) > 0) {
    }
}

int stop_fd() {
    return wakers().stop[0];
}

int reopen_fd() {
    return wakers().reopen;
}

bool take_reopen() {
    std::uint64_t count = 0;
    const bool woken = ::read(wakers().reopen, &count, sizeof count) > 0;
    return g_flags.reopen_log.exchange(0) != 0 || woken;
}

bool sleep_until_or_stop(std::chrono::steady_clock::time_point deadline, bool reopen) {
    using Clock = std::chrono::steady_clock;
    for (;;) {
        if (g_flags.stop != 0 || (reopen && g_flags.reopen_log != 0)) {
            return false;
        }
        const auto now = Clock::now();
        if (now >= deadline) {
            return true;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        pollfd fds[2] = {
            {stop_fd(),   POLLIN, 0},
            {reopen_fd(), POLLIN, 0},
        };
        const int rc =
            ::poll(fds, reopen ? 2 : 1, static_cast<int>(left > INT_MAX ? INT_MAX : left));
        if (rc < 0 && errno != EINTR) {
            return true;  // no way to wait: the caller goes on at its deadline's pace
        }
    }
}

}  // namespace kv830host
