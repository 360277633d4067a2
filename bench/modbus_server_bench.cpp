// What the Modbus server costs the plant and its clients: kv830-host polls plant-sim over a
// paced pseudo-terminal at 9600 baud (each request and reply takes its real line time)
// with --modbus-server on, in runs with and without 20 clients that each read all 16
// holding-register blocks and the inputs 10 times a second, the runs interleaved. Targets:
// reply p99 under 2 ms; the median cycle time changed by at most 2 %; not one request on the
// controller's line beyond the 17 of each round (counted by the simulator).
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kv830_data.h"
#include "modbus_adu.h"
#include "modbus_request.h"
#include "option_table.h"
#include "process.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kClients = 20;
constexpr auto kClientPeriod = 100ms;  // 10 times a second
constexpr int kBaud = 9600;
constexpr int kTurnaroundMs = 2;
constexpr long long kMostRunsOrCycles = 1000;
constexpr double kReplyP99TargetMs = 2.0;
constexpr double kCycleChangeTarget = 0.02;

struct Ask {
    qdxhost::Function function;
    int first;
    int count;
};

// One client's connection and where it stands in its reading of every block.
struct Client {
    int fd = -1;
    std::size_t next = 0;  // the request to send; kPollSteps: the period's reads are done
    Clock::time_point period{};
    Clock::time_point sent{};
    std::uint16_t transaction = 0;
    std::uint8_t in[kv830cli::kMaxAduSize * 2] = {};
    std::size_t held = 0;
};

struct LoadFigures {
    std::vector<double> reply_ms;
    unsigned long long failed = 0;  // exceptions, garbled or lost replies
};

int connect_client(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void send_ask(Client& c, const Ask& ask) {
    std::uint8_t pdu[5];
    std::uint8_t adu[qdxhost::kMaxAduSize];
    const std::size_t pdu_size = qdxhost::encode_read_pdu(ask.function, ask.first, ask.count, pdu);
    const std::size_t size = qdxhost::frame_tcp(++c.transaction, 1, pdu, pdu_size, adu);
    c.sent = Clock::now();
    if (::send(c.fd, adu, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) {
        c.next = kv830::kPollSteps;
    }
}

// The load generator: every client reads the whole chain once a period, one request after
// the other's reply, the clients' periods spread over the first period; until the server
// closes the connections (its program ended) or `length` passed.
LoadFigures drive_clients(int port, std::chrono::seconds length) {
    std::vector<Ask> asks;
    asks.reserve(std::size(kv830::kPollChain));
    for (const kv830::PollStep& s : kv830::kPollChain) {
        asks.push_back({s.source == kv830::Source::InputBits
                            ? qdxhost::Function::ReadInputBits
                            : qdxhost::Function::ReadHoldingRegisters,
                        s.first, s.count});
    }
    LoadFigures f;
    std::vector<Client> clients(static_cast<std::size_t>(kClients));
    const Clock::time_point start = Clock::now();
    for (std::size_t i = 0; i < clients.size(); ++i) {
        clients[i].fd = connect_client(port);
        clients[i].next = asks.size();
        clients[i].period = start + kClientPeriod * static_cast<int>(i) / kClients;
    }
    f.reply_ms.reserve(static_cast<std::size_t>(kClients) * asks.size() *
                       static_cast<std::size_t>(length / kClientPeriod + 1));
    std::vector<pollfd> fds(clients.size());
    std::size_t open = clients.size();
    while (Clock::now() < start + length && open > 0) {
        Clock::time_point wake = start + length;
        for (std::size_t i = 0; i < clients.size(); ++i) {
            Client& c = clients[i];
            if (c.fd >= 0 && c.next == asks.size() && Clock::now() >= c.period) {
                c.period += kClientPeriod;
                c.next = 0;
                send_ask(c, asks[0]);
            }
            if (c.next == asks.size()) {
                wake = std::min(wake, c.period);
            }
            fds[i] = {c.fd, POLLIN, 0};
        }
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::max(Clock::duration::zero(), wake - Clock::now()));
        ::poll(fds.data(), fds.size(), static_cast<int>(wait.count()));
        for (std::size_t i = 0; i < clients.size(); ++i) {
            Client& c = clients[i];
            if ((fds[i].revents & (POLLIN | POLLHUP)) == 0 || c.fd < 0) {
                continue;
            }
            const ssize_t n = ::recv(c.fd, c.in + c.held, sizeof c.in - c.held, 0);
            if (n <= 0) {
                ::close(c.fd);
                c.fd = -1;
                --open;
                continue;
            }
            c.held += static_cast<std::size_t>(n);
            kv830cli::MbapHead head;
            if (kv830cli::read_mbap_head(c.in, c.held, head) != kv830cli::MbapRead::Head ||
                c.held < head.frame_size()) {
                continue;
            }
            const Ask& ask = asks[c.next];
            const qdxhost::ReplyCheck check =
                qdxhost::check_read_reply(ask.function, ask.count, c.in + kv830cli::kMbapHeaderSize,
                                          head.frame_size() - kv830cli::kMbapHeaderSize);
            const bool ok =
                check.status == qdxhost::ReplyStatus::Ok && head.transaction == c.transaction;
            f.failed += ok ? 0 : 1;
            f.reply_ms.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - c.sent).count());
            c.held -= head.frame_size();
            std::memmove(c.in, c.in + head.frame_size(), c.held);
            if (++c.next < asks.size()) {
                send_ask(c, asks[c.next]);
            }
        }
    }
    for (const Client& c : clients) {
        if (c.fd >= 0) {
            ::close(c.fd);
        }
    }
    return f;
}

double quantile(std::vector<double> values, double q) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(q * static_cast<double>(values.size() - 1))];
}

struct RunFigures {
    double cycle_s = 0.0;    // median time of the rounds after the first
    long rounds = 0;         // rounds the host reported
    long host_requests = 0;  // requests the host's cycle lines account for (retries included)
    long line_requests = 0;  // requests the simulator counted
    LoadFigures load;
};

// The host's cycle lines ("cycle 3: 0.878 s, 17 answered, 0 failed, 0 retries, ...") and
// the number after the last "#" of the simulator's request lines.
void read_logs(const std::string& host_err, const std::string& sim_err, RunFigures& r) {
    std::istringstream lines(host_err);
    std::vector<double> cycles;
    for (std::string line; std::getline(lines, line);) {
        const auto colon = line.find(": ");
        if (line.rfind("cycle ", 0) != 0 || colon == std::string::npos) {
            continue;
        }
        ++r.rounds;
        std::istringstream words(line.substr(colon + 2));
        double seconds = 0.0;
        long answered = 0;
        long failed = 0;
        long retries = 0;
        std::string word;
        words >> seconds >> word >> answered >> word >> failed >> word >> retries;
        r.host_requests += answered + failed + retries;
        if (r.rounds > 1) {
            cycles.push_back(seconds);
        }
    }
    r.cycle_s = quantile(cycles, 0.5);
    const auto hash = sim_err.rfind(" #");
    r.line_requests = hash == std::string::npos ? 0 : std::stol(sim_err.substr(hash + 2));
}

bool run_once(bool with_clients, int cycles, RunFigures& r, std::string& why) {
    testproc::ServerProcess sim({PLANT_SIM_BIN, "--pty", "--frozen", "--pace", "--baud",
                                 std::to_string(kBaud), "--turnaround",
                                 std::to_string(kTurnaroundMs), "--seconds", "0", "--verbose"});
    if (sim.address().empty()) {
        why = "plant-sim did not start";
        return false;
    }
    testproc::TempDir dir("kv830-modbus-bench");
    const int port = testproc::free_tcp_port();
    // --cycles: the host ends by itself after whole rounds, so that every request the
    // simulator counts belongs to one of them.
    testproc::Process host(
        {KV830_HOST_BIN, "--plugin", KV830_SO, "--device", sim.address(), "--baud",
         std::to_string(kBaud), "--interval", "0", "--no-history", "--cycles",
         std::to_string(cycles), "--modbus-server", std::to_string(port)},
        dir.file("out"), dir.file("err"));
    if (!host.wait_for_err("cycle 1:", 10s)) {
        why = "kv830-host did not complete a round: " + host.err();
        return false;
    }
    const auto limit = std::chrono::seconds(2 * cycles + 10);
    if (with_clients) {
        r.load = drive_clients(port, limit);
    }
    if (host.wait(limit) != 0) {
        why = "kv830-host did not end well: " + host.err();
        return false;
    }
    sim.stop();
    read_logs(host.err(), sim.log(), r);
    return true;
}

double median_cycle(const std::vector<RunFigures>& runs) {
    std::vector<double> cycles(runs.size());
    std::transform(runs.begin(), runs.end(), cycles.begin(),
                   [](const RunFigures& r) { return r.cycle_s; });
    return quantile(cycles, 0.5);
}

long extra_requests(const std::vector<RunFigures>& runs) {
    long extra = 0;
    for (const RunFigures& r : runs) {
        extra += r.line_requests - r.host_requests;
    }
    return extra;
}

const char* verdict(bool judge, bool ok) {
    return judge ? (ok ? "PASS" : "FAIL") : "(not judged)";
}

}  // namespace

int main(int argc, char** argv) {
    bool judge = true;
    int runs = 3;
    int cycles = 12;
    long long n = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--no-verdict") {
            judge = false;
        } else if ((a == "--runs" || a == "--cycles") && i + 1 < argc &&
                   kv830cli::parse_decimal(argv[i + 1], a == "--runs" ? 1 : 2, kMostRunsOrCycles,
                                           n)) {
            (a == "--runs" ? runs : cycles) = static_cast<int>(n);
            ++i;
        } else {
            std::cerr << "usage: modbus_server_bench [--no-verdict] [--runs N] [--cycles N]\n";
            return 2;
        }
    }
    if (std::signal(SIGPIPE, SIG_IGN) == SIG_ERR) {
        return 1;
    }
    std::vector<RunFigures> without;
    std::vector<RunFigures> with;
    LoadFigures load;
    for (int i = 0; i < 2 * runs; ++i) {
        // Interleaved, so that a slow stretch of the machine falls on both sides alike.
        const bool clients = i % 2 == 1;
        RunFigures r;
        std::string why;
        if (!run_once(clients, cycles, r, why)) {
            std::cerr << "modbus_server_bench: " << why << "\n";
            return 1;
        }
        std::cout << (clients ? "with    " : "without") << " clients: " << r.rounds
                  << " rounds, median cycle " << std::fixed << std::setprecision(3) << r.cycle_s
                  << " s, " << r.line_requests << " requests on the line, " << r.host_requests
                  << " in the rounds\n";
        (clients ? with : without).push_back(r);
        load.reply_ms.insert(load.reply_ms.end(), r.load.reply_ms.begin(), r.load.reply_ms.end());
        load.failed += r.load.failed;
    }
    const double p99 = quantile(load.reply_ms, 0.99);
    const double change = median_cycle(with) / median_cycle(without) - 1.0;
    const long extra_with = extra_requests(with);
    const bool reply_ok = p99 < kReplyP99TargetMs && load.failed == 0 && !load.reply_ms.empty();
    const bool cycle_ok = std::abs(change) <= kCycleChangeTarget;
    const bool line_ok = extra_with == 0 && extra_requests(without) == 0;
    std::cout << "\n"
              << kClients << " clients, each reading the 16 register blocks and the inputs "
              << "10 times a second; kv830-host on a paced pseudo-terminal at " << kBaud
              << " baud\n"
              << std::setprecision(3) << "  replies: " << load.reply_ms.size() << ", failed "
              << load.failed << ", p50 " << quantile(load.reply_ms, 0.5) << " ms, p99 " << p99
              << " ms, max " << quantile(load.reply_ms, 1.0) << " ms; p99 < " << kReplyP99TargetMs
              << " ms  " << verdict(judge, reply_ok) << "\n"
              << "  cycle: " << median_cycle(without) << " s without clients, "
              << median_cycle(with) << " s with (medians of " << runs
              << " interleaved runs each): " << std::showpos << std::setprecision(2)
              << change * 100.0 << std::noshowpos << " %, at most " << kCycleChangeTarget * 100.0
              << " %  " << verdict(judge, cycle_ok) << "\n"
              << "  line: requests beyond the rounds' own (counted by the simulator): "
              << extra_requests(without) << " without clients, " << extra_with << " with  "
              << verdict(judge, line_ok) << "\n";
    return judge && !(reply_ok && cycle_ok && line_ok) ? 1 : 0;
}
