#include "tcp_peer.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <utility>

namespace testproc {

ScriptedTcpPeer::ScriptedTcpPeer(Answer answer, int port) : answer_(std::move(answer)) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(fd, 4) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ::close(fd);
        return;
    }
    listener_ = fd;
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { run(); });
}

ScriptedTcpPeer::~ScriptedTcpPeer() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    if (listener_ >= 0) {
        ::close(listener_);
    }
}

void ScriptedTcpPeer::stop_listening() {
    listening_ = false;
    // The thread closes the listener itself, between two polls.
    for (int i = 0; i < 100 && listener_ >= 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void ScriptedTcpPeer::run() {
    int client = -1;
    std::vector<std::uint8_t> buf;
    while (!stop_) {
        if (!listening_ && listener_ >= 0) {
            ::close(listener_);
            listener_ = -1;
        }
        pollfd p[2] = {
            {client,           POLLIN, 0},
            {listener_.load(), POLLIN, 0},
        };
        if (::poll(p, 2, 20) <= 0) {
            continue;
        }
        if (listener_ >= 0 && (p[1].revents & POLLIN) != 0 && client < 0) {
            client = ::accept(listener_, nullptr, nullptr);
            continue;
        }
        if (client < 0 || (p[0].revents & (POLLIN | POLLHUP)) == 0) {
            continue;
        }
        std::uint8_t chunk[512];
        const ssize_t n = ::read(client, chunk, sizeof chunk);
        if (n <= 0) {
            ::close(client);
            client = -1;
            buf.clear();
            continue;
        }
        buf.insert(buf.end(), chunk, chunk + n);
        while (buf.size() >= 7) {
            const std::size_t size = 6U + ((static_cast<std::size_t>(buf[4]) << 8) | buf[5]);
            if (buf.size() < size) {
                break;
            }
            const std::vector<std::uint8_t> request(buf.begin(),
                                                    buf.begin() + static_cast<long>(size));
            buf.erase(buf.begin(), buf.begin() + static_cast<long>(size));
            ++requests_;
            const std::vector<std::uint8_t> reply = answer_(request);
            if (!reply.empty()) {
                static_cast<void>(::write(client, reply.data(), reply.size()));
            }
        }
    }
    if (client >= 0) {
        ::close(client);
    }
}

std::vector<std::uint8_t> tcp_reply(const std::vector<std::uint8_t>& request,
                                    const std::vector<std::uint8_t>& pdu) {
    // Sized once and filled by index: growing it trips a false array-bounds report of
    // GCC 12.
    std::vector<std::uint8_t> out(7 + pdu.size());
    for (std::size_t i = 0; i < 4; ++i) {
        out[i] = request[i];
    }
    out[4] = static_cast<std::uint8_t>((pdu.size() + 1) >> 8);
    out[5] = static_cast<std::uint8_t>((pdu.size() + 1) & 0xFF);
    out[6] = request[6];
    for (std::size_t i = 0; i < pdu.size(); ++i) {
        out[7 + i] = pdu[i];
    }
    return out;
}

}  // namespace testproc
