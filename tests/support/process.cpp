#include "process.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

namespace testproc {

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

TempDir::TempDir(const std::string& prefix) {
    std::string tmpl = "/tmp/" + prefix + ".XXXXXX";
    const char* made = ::mkdtemp(tmpl.data());
    if (made == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = made;
}

TempDir::~TempDir() {
    // Leftovers under /tmp are harmless; the test result stands either way.
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

Process::Process(std::vector<std::string> argv, const std::string& out_file,
                 const std::string& err_file, const std::string& in_file)
    : out_file_(out_file), err_file_(err_file) {
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (auto& a : argv) {
        args.push_back(a.data());
    }
    args.push_back(nullptr);
    int pipe_fds[2] = {-1, -1};
    if (out_file.empty() && ::pipe2(pipe_fds, O_CLOEXEC) != 0) {
        return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
        const int in_fd = ::open(in_file.c_str(), O_RDONLY);
        const int out_fd = out_file.empty()
                               ? pipe_fds[1]
                               : ::open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err_fd = ::open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in_fd < 0 || out_fd < 0 || err_fd < 0 || ::dup2(in_fd, 0) < 0 ||
            ::dup2(out_fd, 1) < 0 || ::dup2(err_fd, 2) < 0) {
            ::_exit(127);
        }
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    if (out_file.empty()) {
        ::close(pipe_fds[1]);
        out_pipe_ = pipe_fds[0];
    }
}

Process::~Process() {
    if (running()) {
        ::kill(pid_, SIGKILL);
        wait(5000ms);
    }
    if (out_pipe_ >= 0) {
        ::close(out_pipe_);
    }
}

bool Process::running() {
    if (pid_ <= 0 || status_ != -1 || timed_out_) {
        return false;
    }
    int st = 0;
    const pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return false;
    }
    return r == 0;
}

void Process::signal(int sig) {
    if (running()) {
        ::kill(pid_, sig);
    }
}

int Process::wait(std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (running()) {
        if (Clock::now() >= end) {
            ::kill(pid_, SIGKILL);
            int st = 0;
            ::waitpid(pid_, &st, 0);
            timed_out_ = true;
            return -1;
        }
        std::this_thread::sleep_for(10ms);
    }
    return timed_out_ ? -1 : status_;
}

int Process::stop(std::chrono::milliseconds grace) {
    signal(SIGTERM);
    return wait(grace);
}

bool Process::wait_for(const std::string& file, const std::string& text,
                       std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    for (;;) {
        if (read_file(file).find(text) != std::string::npos) {
            return true;
        }
        if (!running() || Clock::now() >= end) {
            return read_file(file).find(text) != std::string::npos;
        }
        std::this_thread::sleep_for(10ms);
    }
}

bool Process::wait_for_out(const std::string& text, std::chrono::milliseconds limit) {
    return wait_for(out_file_, text, limit);
}

bool Process::wait_for_err(const std::string& text, std::chrono::milliseconds limit) {
    return wait_for(err_file_, text, limit);
}

std::string Process::read_line(std::chrono::milliseconds limit) {
    std::string line;
    const auto end = Clock::now() + limit;
    while (out_pipe_ >= 0 && Clock::now() < end) {
        pollfd p{out_pipe_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) {
            continue;
        }
        char c = 0;
        if (::read(out_pipe_, &c, 1) != 1) {
            break;
        }
        if (c == '\n') {
            return line;
        }
        line += c;
    }
    return "";
}

ServerProcess::ServerProcess(std::vector<std::string> argv, std::chrono::milliseconds limit)
    : dir_("kv830-server"), process_(std::move(argv), "", dir_.file("stderr")) {
    const std::string line = process_.read_line(limit);
    const auto colon = line.find(": ");
    if (colon != std::string::npos) {
        address_ = line.substr(colon + 2);
    }
}

int free_tcp_port() {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return -1;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    int port = -1;
    if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    ::close(s);
    return port;
}

PtyPair::PtyPair() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        return;
    }
    const char* name = ::ptsname(master_);
    slave_path_ = name != nullptr ? name : "";
}

PtyPair::~PtyPair() {
    if (master_ >= 0) {
        ::close(master_);
    }
}

}  // namespace testproc
