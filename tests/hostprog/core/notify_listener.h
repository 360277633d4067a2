// A service manager's end of the notification socket, for the tests of what the program
// tells it.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <string>

namespace kv830host {

// A datagram socket bound to `name` (a path, or '@' and an abstract name).
class NotifyListener {
  public:
    explicit NotifyListener(const std::string& name) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::string bytes = name;
        if (bytes[0] == '@') {
            bytes[0] = '\0';
        }
        std::memcpy(addr.sun_path, bytes.data(), bytes.size());
        const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + bytes.size());
        bound_ = ::bind(fd_, reinterpret_cast<const sockaddr*>(&addr), length) == 0;
    }
    ~NotifyListener() { ::close(fd_); }
    NotifyListener(const NotifyListener&) = delete;
    NotifyListener& operator=(const NotifyListener&) = delete;
    bool bound() const { return bound_; }

    // The next datagram, or "" when none came within a second.
    std::string next() const {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 1000) <= 0) {
            return "";
        }
        char buffer[256];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : "";
    }

  private:
    int fd_ = -1;
    bool bound_ = false;
};

}  // namespace kv830host
