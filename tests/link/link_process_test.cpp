// The link against the real plant simulator (and, for replies the simulator cannot give,
// a scripted TCP peer), driving the real device in-process: retries under line noise,
// refusals at open, a second stop signal, a TCP peer that goes silent.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <iostream>
#include <sstream>

#include "counting_host.h"
#include "kv830.h"
#include "modbus_link.h"
#include "process.h"
#include "tcp_peer.h"

namespace {

using Clock = std::chrono::steady_clock;
using qdxhost::DriveResult;
using qdxhost::Exchange;
using qdxhost::LinkSettings;
using qdxhost::ModbusLink;
using testproc::ScriptedTcpPeer;
using testproc::ServerProcess;
using Bytes = std::vector<std::uint8_t>;

constexpr unsigned kRequestsPerRound = 17;

// plant-sim's command line with `args`.
std::vector<std::string> sim_argv(std::vector<std::string> args) {
    args.insert(args.begin(), PLANT_SIM_BIN);
    return args;
}

LinkSettings link_to(const std::string& address, bool tcp, int timeout_ms) {
    LinkSettings s;
    (tcp ? s.tcp : s.device) = address;
    s.timeout_ms = timeout_ms;
    return s;
}

struct Rounds {
    int completed = 0;
    unsigned retries = 0;
    unsigned timeouts = 0;
    std::vector<double> seconds;
    std::vector<unsigned> retries_per_round;
};

// Rounds as the host program runs them: the device starts one, the link carries it.
Rounds run_rounds(ModbusLink& link, KV830& device, int count) {
    Rounds r;
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        device.RefreshStatus();
        const DriveResult d = link.drive(device);
        r.seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        r.retries_per_round.push_back(d.retries);
        r.retries += d.retries;
        r.timeouts += d.timeouts;
        if (d.failed == 0 && d.answered == kRequestsPerRound) {
            ++r.completed;
        }
    }
    return r;
}

// A round's cost for each reply lost: at most the one timeout that noticed it, over what
// a round costs on a clean line.
void expect_one_timeout_per_lost_reply(const Rounds& r, double clean_s, double timeout_s,
                                       double slack_s) {
    for (std::size_t i = 0; i < r.seconds.size(); ++i) {
        SCOPED_TRACE("round " + std::to_string(i + 1));
        EXPECT_LT(r.seconds[i], clean_s + r.retries_per_round[i] * timeout_s + slack_s);
    }
}

// The shortest of a few rounds against a simulator that loses nothing.
double clean_round_seconds(std::vector<std::string> transport, bool tcp, KV830& device) {
    transport.emplace_back("--frozen");
    ServerProcess sim(sim_argv(transport));
    std::ostringstream log;
    ModbusLink link(link_to(sim.address(), tcp, 400), log);
    const Rounds r = run_rounds(link, device, 3);
    return *std::min_element(r.seconds.begin(), r.seconds.end());
}

class LinkProcess : public ::testing::Test {
  protected:
    void SetUp() override { qdxhost::HostAccess::set_observer(device, &host); }
    void TearDown() override { qdxhost::HostAccess::set_observer(device, nullptr); }
    KV830 device;
    kv830test::CountingHost host;
    std::ostringstream log;
};

TEST_F(LinkProcess, DroppedRepliesAreRetried) {
    const struct {
        const char* name;
        std::vector<std::string> transport;
        bool tcp;
    } rows[] = {
        {"tcp", {"--tcp", "0"}, true },
        {"pty", {"--pty"},      false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const double clean = clean_round_seconds(row.transport, row.tcp, device);
        std::vector<std::string> args = row.transport;
        args.insert(args.end(), {"--frozen", "--drop-every", "17"});
        ServerProcess sim(sim_argv(args));
        ASSERT_FALSE(sim.address().empty()) << sim.log();
        ModbusLink link(link_to(sim.address(), row.tcp, 600), log);
        const Rounds r = run_rounds(link, device, 20);
        std::cout << "drop-every 17 over " << row.name << ": " << r.completed
                  << " of 20 rounds complete, " << r.retries << " retries, " << r.timeouts
                  << " requests given up" << std::endl;
        EXPECT_GE(r.completed, 19) << log.str();
        EXPECT_GE(r.retries, 19U) << "every 17th request is lost";
        // A second timeout would add 0.6 s; a loaded machine's stalls stay well below.
        expect_one_timeout_per_lost_reply(r, clean, 0.6, 0.4);
    }
}

// A paced line hands a reply over a character or two at a time (9600 baud, a character
// a millisecond); reading each handful as it comes would wake the link hundreds of times
// a round. The rest of a reply is read once its line time has passed.
TEST_F(LinkProcess, PacedRepliesAreReadInFewWakeUps) {
    ServerProcess sim(
        sim_argv({"--pty", "--frozen", "--pace", "--baud", "9600", "--turnaround", "2"}));
    ASSERT_FALSE(sim.address().empty()) << sim.log();
    LinkSettings s = link_to(sim.address(), false, 1000);
    s.baud = 9600;
    ModbusLink link(s, log);
    const Rounds r = run_rounds(link, device, 2);
    ASSERT_EQ(r.completed, 2) << log.str();
    const ModbusLink::Traffic& t = link.traffic();
    std::cout << t.reads << " reads for " << t.requests << " replies of " << t.bytes_received
              << " bytes" << std::endl;
    // The header's characters, a first handful, the rest but its last character, that
    // one; short replies are read as they come. Reading every handful takes one read a
    // character here.
    EXPECT_LE(t.reads, 6 * t.requests);
    EXPECT_LT(t.reads * 5, t.bytes_received);
    EXPECT_EQ(t.requests, 2U * kRequestsPerRound);
}

TEST_F(LinkProcess, GarbledRepliesAreRetriedWithoutWaiting) {
    const double clean = clean_round_seconds({"--pty"}, false, device);
    ServerProcess sim(sim_argv({"--pty", "--frozen", "--corrupt-crc-every", "10"}));
    ASSERT_FALSE(sim.address().empty()) << sim.log();
    // A long timeout keeps a round that waited for it well apart from one slowed by a
    // loaded machine (or a sanitizer).
    ModbusLink link(link_to(sim.address(), false, 3000), log);
    const Rounds r = run_rounds(link, device, 20);
    std::cout << "corrupt-crc-every 10 over pty: " << r.completed << " of 20 rounds complete, "
              << r.retries << " retries" << std::endl;
    EXPECT_GE(r.completed, 19) << log.str();
    EXPECT_GE(r.retries, 30U) << "every 10th reply is garbled";
    EXPECT_EQ(r.timeouts, 0U);
    // A garbled reply is known as such when it ends: no timeout is spent on it.
    for (std::size_t i = 0; i < r.seconds.size(); ++i) {
        SCOPED_TRACE("round " + std::to_string(i + 1));
        EXPECT_LT(r.seconds[i], clean + 1.5);
    }
}

TEST_F(LinkProcess, WithoutRetriesALostReplyAbandonsTheRound) {
    ServerProcess sim(sim_argv({"--tcp", "0", "--frozen", "--drop-every", "17"}));
    ASSERT_FALSE(sim.address().empty()) << sim.log();
    LinkSettings s = link_to(sim.address(), true, 200);
    s.retries = 0;
    ModbusLink link(s, log);
    const Rounds r = run_rounds(link, device, 4);
    EXPECT_LE(r.completed, 3);
    EXPECT_EQ(r.retries, 0U);
    EXPECT_GE(r.timeouts, 1U);
}

TEST_F(LinkProcess, ExceptionIsNotRetried) {
    ServerProcess sim(sim_argv({"--tcp", "0", "--frozen", "--exception-at", "5"}));
    ASSERT_FALSE(sim.address().empty()) << sim.log();
    ModbusLink link(link_to(sim.address(), true, 400), log);
    device.RefreshStatus();
    const DriveResult d = link.drive(device);
    EXPECT_EQ(d.refused, 1U) << log.str();
    EXPECT_EQ(d.exception, 2);
    EXPECT_EQ(d.retries, 0U);
    EXPECT_EQ(qdxhost::exchange_name(Exchange::Refused), std::string("refused"));
    EXPECT_NE(log.str().find("refused with exception 2"), std::string::npos) << log.str();
}

// Reads answered with zeros of the right size; the first request is refused as busy.
Bytes plain_answer(const Bytes& req) {
    const int function = req[7];
    const int count = (req[10] << 8) | req[11];
    if (function == 2) {
        Bytes pdu = {2, static_cast<std::uint8_t>((count + 7) / 8)};
        pdu.resize(pdu.size() + static_cast<std::size_t>((count + 7) / 8));
        return testproc::tcp_reply(req, pdu);
    }
    if (function == 3) {
        Bytes pdu = {3, static_cast<std::uint8_t>(2 * count)};
        pdu.resize(pdu.size() + 2 * static_cast<std::size_t>(count));
        return testproc::tcp_reply(req, pdu);
    }
    return testproc::tcp_reply(req, Bytes(req.begin() + 7, req.begin() + 12));  // echo
}

TEST_F(LinkProcess, BusyIsAskedAgainAfterAPause) {
    std::atomic<int> n{0};
    ScriptedTcpPeer peer([&](const Bytes& req) {
        return ++n == 1 ? testproc::tcp_reply(req, {static_cast<std::uint8_t>(req[7] | 0x80), 6})
                        : plain_answer(req);
    });
    ModbusLink link(link_to(peer.address(), true, 400), log);
    device.RefreshStatus();
    const auto start = Clock::now();
    const DriveResult d = link.drive(device);
    EXPECT_EQ(d.answered, kRequestsPerRound) << log.str();
    EXPECT_EQ(d.failed, 0U);
    EXPECT_EQ(d.retries, 1U);
    EXPECT_EQ(peer.requests(), static_cast<int>(kRequestsPerRound) + 1);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(100));
}

int write_register(KV830& device, int address, std::uint16_t value) {
    const std::uint16_t in[] = {static_cast<std::uint16_t>(address), value};
    int size = 0;
    return device.DeviceIoControl(206, in, sizeof in, nullptr, 0, size);
}

int write_result(KV830& device) {
    std::int32_t result = -1;
    int size = 0;
    device.DeviceIoControl(100, nullptr, 0, &result, sizeof result, size);
    return result;
}

TEST_F(LinkProcess, WriteIsSentAgainOnlyWhenNoReplyCame) {
    {
        std::atomic<int> n{0};
        ScriptedTcpPeer peer(
            [&](const Bytes& req) { return ++n == 1 ? Bytes{} : plain_answer(req); });
        ModbusLink link(link_to(peer.address(), true, 200), log);
        ASSERT_EQ(write_register(device, 19, 1), 0);
        const DriveResult d = link.drive(device);
        EXPECT_TRUE(d.write_retried);
        EXPECT_EQ(d.answered, 1U) << log.str();
        EXPECT_EQ(peer.requests(), 2);
        EXPECT_EQ(write_result(device), 1) << "confirmed by the second echo";
    }
    {
        // A reply that came garbled: the controller may have carried the write out, so it
        // is not sent again and its outcome stays unknown.
        ScriptedTcpPeer peer([](const Bytes& req) {
            Bytes reply = plain_answer(req);
            reply[3] = 1;  // protocol id 1: not a Modbus reply
            return reply;
        });
        ModbusLink link(link_to(peer.address(), true, 200), log);
        ASSERT_EQ(write_register(device, 19, 1), 0);
        const DriveResult d = link.drive(device);
        EXPECT_FALSE(d.write_retried);
        EXPECT_EQ(d.last, Exchange::Garbled);
        EXPECT_EQ(d.garbled, 1U);
        EXPECT_EQ(peer.requests(), 1);
        EXPECT_NE(log.str().find("reply garbled, outcome unknown"), std::string::npos) << log.str();
    }
}

TEST_F(LinkProcess, SecondStopSignalEndsTheWaitAtOnce) {
    ScriptedTcpPeer peer([](const Bytes&) { return Bytes{}; });
    ModbusLink link(link_to(peer.address(), true, 20000), log);
    std::atomic<int> abort{0};
    std::thread signaller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        abort = 1;
    });
    device.RefreshStatus();
    const auto start = Clock::now();
    const DriveResult d = link.drive(device, &abort);
    const auto took = Clock::now() - start;
    signaller.join();
    EXPECT_TRUE(d.aborted);
    EXPECT_LT(took, std::chrono::seconds(2)) << "the 20 s timeout was waited out";
    EXPECT_FALSE(qdxhost::HostAccess::has_request(device));
}

TEST_F(LinkProcess, SilentTcpPeerIsLeftAndTheAddressReconnected) {
    auto peer = std::make_unique<ScriptedTcpPeer>([](const Bytes&) { return Bytes{}; });
    const int port = peer->port();
    LinkSettings s = link_to(peer->address(), true, 150);
    s.retries = 0;
    ModbusLink link(s, log);
    for (int i = 0; i < 3; ++i) {
        run_rounds(link, device, 1);
    }
    EXPECT_FALSE(link.is_open()) << log.str();
    EXPECT_NE(log.str().find("the peer answers nothing"), std::string::npos) << log.str();
    // The silent peer keeps its connection open; a new server takes the address.
    peer->stop_listening();
    std::unique_ptr<ServerProcess> sim;
    for (int attempt = 0; attempt < 20 && (!sim || sim->address().empty()); ++attempt) {
        sim =
            std::make_unique<ServerProcess>(sim_argv({"--tcp", std::to_string(port), "--frozen"}));
        if (sim->address().empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    ASSERT_FALSE(sim->address().empty()) << sim->log();
    int completed = 0;
    for (int i = 0; i < 40 && completed == 0; ++i) {
        std::this_thread::sleep_until(std::max(link.next_attempt(), Clock::now()));
        completed = run_rounds(link, device, 1).completed;
    }
    EXPECT_EQ(completed, 1) << log.str();
    EXPECT_EQ(link.reopen_count(), 1U);
    EXPECT_NE(log.str().find("reopened"), std::string::npos);
}

TEST_F(LinkProcess, FatalOpenErrorsAreToldApartFromPassingOnes) {
    char tmpl[] = "/tmp/link-test.XXXXXX";
    const std::string dir = ::mkdtemp(tmpl);
    const std::string plain = dir + "/plain";
    ::close(::open(plain.c_str(), O_WRONLY | O_CREAT, 0644));
    const struct {
        std::string path;
        bool fatal;
        std::string reason;
    } rows[] = {
        {dir,                 true,  std::strerror(EISDIR)},
        {"/dev/null",         true,  std::strerror(ENOTTY)},
        {plain,               true,  std::strerror(ENOTTY)},
        {dir + "/ttyMISSING", false, std::strerror(ENOENT)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.path);
        ModbusLink link(link_to(row.path, false, 100), log);
        EXPECT_FALSE(link.ensure_open());
        EXPECT_EQ(link.open_failed_fatally(), row.fatal);
        EXPECT_NE(link.last_error().find(row.reason), std::string::npos) << link.last_error();
    }
    if (::geteuid() != 0) {
        // Only a user without the right to override permissions can see this one.
        ::chmod(plain.c_str(), 0);
        ModbusLink link(link_to(plain, false, 100), log);
        EXPECT_FALSE(link.ensure_open());
        EXPECT_TRUE(link.open_failed_fatally());
        EXPECT_NE(link.last_error().find(std::strerror(EACCES)), std::string::npos);
    }
    ::unlink(plain.c_str());
    ::rmdir(dir.c_str());
}

TEST_F(LinkProcess, PortHeldByAnotherProcessIsRefusedNamingIt) {
    ServerProcess sim(sim_argv({"--pty", "--frozen"}));
    ASSERT_FALSE(sim.address().empty()) << sim.log();
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        const int fd = ::open(sim.address().c_str(), O_RDWR | O_NOCTTY);
        const char ok = (fd >= 0 && ::flock(fd, LOCK_EX) == 0) ? '1' : '0';
        static_cast<void>(::write(ready[1], &ok, 1));
        ::sleep(30);
        ::_exit(0);
    }
    char ok = 0;
    ASSERT_EQ(::read(ready[0], &ok, 1), 1);
    ::close(ready[0]);
    ::close(ready[1]);
    ASSERT_EQ(ok, '1');
    ModbusLink link(link_to(sim.address(), false, 100), log);
    EXPECT_FALSE(link.ensure_open());
    EXPECT_TRUE(link.open_failed_fatally());
    EXPECT_NE(link.last_error().find("in use by another process"), std::string::npos)
        << link.last_error();
    EXPECT_NE(link.last_error().find("pid " + std::to_string(holder)), std::string::npos)
        << link.last_error();
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    // Free again, the port opens, and a second link of this program is refused while the
    // first holds it.
    ModbusLink first(link_to(sim.address(), false, 100), log);
    EXPECT_TRUE(first.ensure_open()) << first.last_error();
    ModbusLink second(link_to(sim.address(), false, 100), log);
    EXPECT_FALSE(second.ensure_open());
    EXPECT_TRUE(second.open_failed_fatally());
}

TEST_F(LinkProcess, UnknownHostGivesTheResolversReason) {
    const std::string name = "no.such.host.invalid";
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(name.c_str(), "502", &hints, &found);
    ASSERT_NE(rc, 0);
    ModbusLink link(link_to(name + ":502", true, 100), log);
    EXPECT_FALSE(link.ensure_open());
    EXPECT_NE(link.last_error().find("cannot resolve " + name + ": " + ::gai_strerror(rc)),
              std::string::npos)
        << link.last_error();
    EXPECT_EQ(link.last_error().find(std::strerror(ECONNREFUSED)), std::string::npos);
}

TEST_F(LinkProcess, ReopeningFollowsTheBackoff) {
    // A port nobody listens on: bound by a peer that is gone again.
    int port = 0;
    {
        ScriptedTcpPeer gone([](const Bytes&) { return Bytes{}; });
        port = gone.port();
    }
    ModbusLink link(link_to("127.0.0.1:" + std::to_string(port), true, 100), log);
    auto before = Clock::now();
    EXPECT_FALSE(link.ensure_open());
    EXPECT_FALSE(link.open_failed_fatally()) << "a refused connection may come back";
    const auto first = link.next_attempt() - before;
    EXPECT_GE(first, std::chrono::milliseconds(450));
    EXPECT_LE(first, std::chrono::milliseconds(700));
    const std::string error = link.last_error();
    EXPECT_NE(error.find(std::strerror(ECONNREFUSED)), std::string::npos) << error;
    EXPECT_FALSE(link.ensure_open());
    EXPECT_EQ(link.next_attempt() - before, first) << "no attempt before the time has come";
    std::this_thread::sleep_until(link.next_attempt());
    before = Clock::now();
    EXPECT_FALSE(link.ensure_open());
    EXPECT_GE(link.next_attempt() - before, std::chrono::milliseconds(950)) << "the wait doubles";
}

}  // namespace

namespace {

// The simulator and the link's settings read parity through one parser: every spelling
// one takes, the other takes too, and a line of each parity carries a round.
TEST_F(LinkProcess, BothProgramsTakeTheSameParitySpellings) {
    for (const char* spelling : {"N", "E", "O", "none", "even", "odd", "NONE", "Even"}) {
        SCOPED_TRACE(spelling);
        ServerProcess sim(sim_argv({"--pty", "--frozen", "--parity", spelling}));
        ASSERT_FALSE(sim.address().empty()) << sim.log();
        LinkSettings s = link_to(sim.address(), false, 400);
        s.parity = qdxhost::parse_parity(spelling);
        ASSERT_NE(s.parity, 0);
        ModbusLink link(s, log);
        EXPECT_EQ(run_rounds(link, device, 1).completed, 1) << log.str();
    }
    ServerProcess refused(sim_argv({"--pty", "--parity", "space"}));
    EXPECT_TRUE(refused.address().empty());
}

}  // namespace
