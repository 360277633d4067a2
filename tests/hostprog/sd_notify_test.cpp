// Service notifications: real datagrams to a real socket, named by path and abstract.
#include "sd_notify.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "process.h"
#include "program.h"

namespace kv830host {
namespace {

// A datagram socket bound to `name` (a path, or '@' and an abstract name).
class Listener {
  public:
    explicit Listener(const std::string& name) {
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
    ~Listener() { ::close(fd_); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
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

TEST(ServiceNotifier, SendsToAPathAndToAnAbstractName) {
    testproc::TempDir dir;
    const std::string names[] = {dir.file("notify.sock"),
                                 "@kv830-notify-test-" + std::to_string(::getpid())};
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const Listener listener(name);
        ASSERT_TRUE(listener.bound());
        ServiceNotifier notifier(name);
        ASSERT_TRUE(notifier.enabled());
        for (const char* message : {"READY=1", "WATCHDOG=1", "STOPPING=1"}) {
            EXPECT_TRUE(notifier.notify(message));
            EXPECT_EQ(listener.next(), message);
        }
    }
}

TEST(ServiceNotifier, NoSocketNoNotification) {
    for (const char* name : {"", "relative/path", "@"}) {
        SCOPED_TRACE(name);
        ServiceNotifier notifier{std::string(name)};
        EXPECT_FALSE(notifier.enabled());
        EXPECT_FALSE(notifier.notify("READY=1"));
    }
    // A manager that went away: the message is lost, the program goes on.
    testproc::TempDir dir;
    ServiceNotifier gone(dir.file("nobody.sock"));
    EXPECT_FALSE(gone.notify("WATCHDOG=1"));
}

// The program tells the manager it is ready once the driver and history are open, that
// its loop lives while it polls, and that it stops.
TEST(ServiceNotifier, TheProgramSaysReadyAliveAndStopping) {
    testproc::TempDir dir;
    const std::string name = dir.file("notify.sock");
    const Listener listener(name);
    ASSERT_TRUE(listener.bound());
    ASSERT_EQ(::setenv("NOTIFY_SOCKET", name.c_str(), 1), 0);
    const std::string dead = "127.0.0.1:" + std::to_string(testproc::free_tcp_port());
    const std::vector<std::string> args = {"kv830-host",   "--plugin", KV830_SO, "--tcp",      dead,
                                           "--no-history", "--cycles", "2",      "--interval", "0",
                                           "--timeout",    "100ms"};
    std::vector<const char*> argv;
    argv.reserve(args.size());
    for (const std::string& a : args) {
        argv.push_back(a.c_str());
    }
    Options options;
    std::string error;
    ASSERT_TRUE(parse_options(static_cast<int>(argv.size()), argv.data(), options, error)) << error;
    std::ostringstream status;
    {
        Program program(std::move(options), STDERR_FILENO, status);
        program.run();
    }
    ::unsetenv("NOTIFY_SOCKET");
    std::vector<std::string> messages;
    for (std::string m = listener.next(); !m.empty(); m = listener.next()) {
        messages.push_back(m);
    }
    ASSERT_GE(messages.size(), 3U) << status.str();
    EXPECT_EQ(messages.front(), "READY=1");
    EXPECT_EQ(messages.back(), "STOPPING=1");
    for (std::size_t i = 1; i + 1 < messages.size(); ++i) {
        EXPECT_EQ(messages[i], "WATCHDOG=1");
    }
}

}  // namespace
}  // namespace kv830host
