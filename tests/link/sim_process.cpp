#include "sim_process.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace linktest {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

SimProcess::SimProcess(std::vector<std::string> args) {
    char tmpl[] = "/tmp/link-test-sim.XXXXXX";
    const int e = ::mkstemp(tmpl);
    if (e < 0) {
        return;
    }
    err_file_ = tmpl;
    int out[2];
    if (::pipe(out) != 0) {
        ::close(e);
        return;
    }
    args.insert(args.begin(), PLANT_SIM_BIN);
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(out[1], 1);
        ::dup2(e, 2);
        ::close(out[0]);
        std::vector<char*> argv;
        argv.reserve(args.size() + 1);
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(e);
    ::close(out[1]);
    std::string line;
    const auto end = Clock::now() + 10s;
    while (Clock::now() < end && (line.empty() || line.back() != '\n')) {
        pollfd p{out[0], POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) {
            continue;
        }
        char c;
        if (::read(out[0], &c, 1) != 1) {
            break;
        }
        line += c;
    }
    ::close(out[0]);
    const auto colon = line.find(": ");
    if (colon != std::string::npos && !line.empty() && line.back() == '\n') {
        address_ = line.substr(colon + 2, line.size() - colon - 3);
    }
}

SimProcess::~SimProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (!err_file_.empty()) {
        ::unlink(err_file_.c_str());
    }
}

int SimProcess::stop() {
    if (pid_ <= 0) {
        return -1;
    }
    ::kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 100; ++i) {
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(50ms);
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
    return -1;
}

std::string SimProcess::log() const {
    std::ifstream in(err_file_);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

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
        std::this_thread::sleep_for(10ms);
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

}  // namespace linktest
