#include "sd_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace kv830host {

ServiceNotifier::ServiceNotifier() {
    const char* name = std::getenv("NOTIFY_SOCKET");
    if (name != nullptr) {
        open_socket(name);
    }
}

ServiceNotifier::ServiceNotifier(const std::string& socket_name) {
    open_socket(socket_name);
}

ServiceNotifier::~ServiceNotifier() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void ServiceNotifier::open_socket(const std::string& socket_name) {
    sockaddr_un probe{};
    // Only a path or an abstract name fits; anything else (empty, too long) is ignored,
    // as the manager would not hear it anyway.
    if (socket_name.size() < 2 || socket_name.size() >= sizeof probe.sun_path ||
        (socket_name[0] != '/' && socket_name[0] != '@')) {
        return;
    }
    address_ = socket_name;
    if (address_[0] == '@') {
        address_[0] = '\0';
    }
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

bool ServiceNotifier::notify(const std::string& message) {
    if (fd_ < 0) {
        return false;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, address_.data(), address_.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address_.size());
    ssize_t n = -1;
    do {
        n = ::sendto(fd_, message.data(), message.size(), MSG_NOSIGNAL,
                     reinterpret_cast<const sockaddr*>(&addr), length);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(message.size());
}

}  // namespace kv830host
