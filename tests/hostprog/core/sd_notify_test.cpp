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

#include "notify_listener.h"
#include "process.h"
#include "program.h"

namespace kv830host {
namespace {

TEST(ServiceNotifier, SendsToAPathAndToAnAbstractName) {
    testproc::TempDir dir;
    const std::string names[] = {dir.file("notify.sock"),
                                 "@kv830-notify-test-" + std::to_string(::getpid())};
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const NotifyListener listener(name);
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
    const NotifyListener listener(name);
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
    ProgramOptions options;
    std::string error;
    ASSERT_TRUE(
        parse_program_options(static_cast<int>(argv.size()), argv.data(), options, error, ""))
        << error;
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
