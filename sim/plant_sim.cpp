// plant-sim: the plant controller as a Modbus slave, for the host program and its tests.
//
// One thread: a poll loop that lets the plant model run in step with the wall clock and
// answers requests as they come. RTU (on a pty or a serial device) is framed here, so
// that replies can be dropped, delayed or sent with a bad CRC on purpose; Modbus TCP uses
// libmodbus for listening and request framing.
#include <fcntl.h>
#include <modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "file_io.h"
#include "image_apply.h"
#include "image_dump.h"
#include "mbap_frame.h"
#include "modbus_pdu.h"
#include "plant_model.h"
#include "rtu_frame.h"
#include "sim_options.h"

// Diagnostics go to stderr with (void)std::fprintf: a report that cannot be written has
// nowhere else to go, and the simulator carries on serving.
namespace plantsim {
namespace {

// An --apply file is a few lines written by a test.
constexpr std::size_t kMaxApplyBytes = 65536;

volatile sig_atomic_t g_stop = 0;
volatile sig_atomic_t g_dump = 0;
volatile sig_atomic_t g_apply = 0;

void on_stop(int) {
    g_stop = 1;
}
void on_dump(int) {
    g_dump = 1;
}
void on_apply(int) {
    g_apply = 1;
}

void install_signals() {
    struct sigaction sa {};
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = on_stop;  // no SA_RESTART: poll must return at once
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sa.sa_handler = on_dump;
    sigaction(SIGUSR1, &sa, nullptr);
    sa.sa_handler = on_apply;
    sigaction(SIGUSR2, &sa, nullptr);
    sa.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &sa, nullptr);
}

double now_seconds() {
    using clock = std::chrono::steady_clock;
    return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
}

// Not the shared write_all: the line and the socket are non-blocking, so a full buffer
// is waited out here rather than reported.
bool send_all(int fd, const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN) {
                pollfd p{fd, POLLOUT, 0};
                ::poll(&p, 1, 100);
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Sleeps until `t` (seconds on the steady clock) unless a stop signal comes first.
void sleep_until_seconds(double t) {
    while (g_stop == 0) {
        const double left = t - now_seconds();
        if (left <= 0.0) {
            return;
        }
        // Absolute deadlines: a late wake-up does not push the ones after it.
        const double step = std::min(left, 0.05);
        const auto ns = static_cast<long long>(step * 1e9);
        timespec d{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        ::nanosleep(&d, nullptr);
    }
}

// Writes `bytes` as a line at `char_seconds` per character would carry them, the first
// starting at `start`: each byte leaves when its last bit would have.
bool write_paced(int fd, const std::vector<std::uint8_t>& bytes, double start,
                 double char_seconds) {
    std::size_t sent = 0;
    while (sent < bytes.size() && g_stop == 0) {
        const double elapsed = now_seconds() - start;
        const auto due = elapsed > 0.0 ? static_cast<std::size_t>(elapsed / char_seconds) : 0;
        const std::size_t upto = std::min(bytes.size(), due);
        if (upto > sent) {
            const std::vector<std::uint8_t> part(bytes.begin() + static_cast<long>(sent),
                                                 bytes.begin() + static_cast<long>(upto));
            if (!send_all(fd, part)) {
                return false;
            }
            sent = upto;
            continue;
        }
        sleep_until_seconds(start + static_cast<double>(sent + 1) * char_seconds);
    }
    return true;
}

// Everything the transports share: the plant, the request counters, the fault plan.
class Simulator {
  public:
    explicit Simulator(const SimOptions& o)
        : options_(o),
          model_(ModelConfig{o.seed, o.frozen, 0.2}),
          pdu_(model_, o.exception_at),
          end_(o.seconds > 0 ? now_seconds() + static_cast<double>(o.seconds) : 0.0),
          last_advance_(now_seconds()) {}

    bool done() const { return g_stop != 0 || (end_ > 0.0 && now_seconds() >= end_); }

    // Poll timeout in ms: short enough for the plant to move smoothly and for the end
    // of the run to be on time.
    int poll_timeout_ms(double until = -1.0) const {
        double t = 0.1;
        const double now = now_seconds();
        if (end_ > 0.0) {
            t = std::min(t, end_ - now);
        }
        if (until >= 0.0) {
            t = std::min(t, until - now);
        }
        return std::max(0, static_cast<int>(t * 1000.0) + 1);
    }

    // Runs the plant up to now and writes the dump if asked for.
    void tick() {
        const double now = now_seconds();
        model_.advance(now - last_advance_);
        last_advance_ = now;
        if (g_dump != 0) {
            g_dump = 0;
            dump();
        }
        if (g_apply != 0) {
            g_apply = 0;
            apply();
        }
    }

    // One request PDU from `unit`: false when it is dropped on purpose. The reply PDU is
    // left in `reply`.
    bool answer(int unit, const std::uint8_t* pdu, std::size_t size,
                std::vector<std::uint8_t>& reply, std::string& log) {
        ++requests_;
        log = "#" + std::to_string(requests_) + " unit " + std::to_string(unit) + " ";
        if (options_.drop_every > 0 && requests_ % options_.drop_every == 0) {
            log += "function " + std::to_string(size > 0 ? pdu[0] : 0) + " dropped";
            return false;
        }
        tick();  // the image a request sees is the plant as of now
        PduReply r = pdu_.handle(pdu, size);
        log += r.summary;
        reply.swap(r.pdu);
        if (options_.delay_ms > 0) {
            sleep_ms(options_.delay_ms);
        }
        return true;
    }

    void log(const std::string& line) const {
        if (options_.verbose) {
            (void)std::fprintf(stderr, "plant-sim: %s\n", line.c_str());
        }
    }

    // Reports a file it cannot read or use, and changes nothing then.
    void apply() {
        if (options_.apply.empty()) {
            return;
        }
        std::ifstream in(options_.apply, std::ios::binary);
        std::string text(kMaxApplyBytes + 1, '\0');
        in.read(&text[0], static_cast<std::streamsize>(text.size()));
        text.resize(static_cast<std::size_t>(in.gcount()));
        std::string error = in.bad() || !in.is_open() ? "cannot read it" : "";
        if (error.empty() && text.size() > kMaxApplyBytes) {
            error = "longer than " + std::to_string(kMaxApplyBytes) + " bytes";
        }
        if (!error.empty() || !apply_image_text(text, model_, error)) {
            (void)std::fprintf(stderr, "plant-sim: --apply %s: %s\n", options_.apply.c_str(),
                               error.c_str());
            return;
        }
        log("applied " + options_.apply);
    }

    // False when the dump was asked for and could not be written (reported here).
    bool dump() const {
        if (options_.dump.empty()) {
            return true;
        }
        std::string error;
        if (!kv830io::write_file_atomically(options_.dump,
                                            image_json(model_.holding(), model_.inputs()), error)) {
            (void)std::fprintf(stderr, "plant-sim: %s\n", error.c_str());
            return false;
        }
        return true;
    }

    const SimOptions& options() const { return options_; }
    long next_reply_number() { return ++replies_; }

  private:
    static void sleep_ms(long ms) {
        const double until = now_seconds() + static_cast<double>(ms) / 1000.0;
        while (g_stop == 0) {
            const double left = until - now_seconds();
            if (left <= 0.0) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::duration<double>(std::min(left, 0.05)));
        }
    }

    SimOptions options_;
    PlantModel model_;
    PduServer pdu_;
    double end_;
    double last_advance_;
    long requests_ = 0;
    long replies_ = 0;
};

// Serves RTU on `fd` until the run ends.
int serve_rtu(Simulator& sim, int fd) {
    const SimOptions& o = sim.options();
    RtuRequestFramer framer(rtu_silence_seconds(o.baud, o.bits_per_char()));
    const double char_seconds = static_cast<double>(o.bits_per_char()) / o.baud;
    const double turnaround = static_cast<double>(o.turnaround_ms) / 1000.0;
    std::vector<std::uint8_t> frame;
    std::vector<std::uint8_t> reply;
    std::string line;
    while (!sim.done()) {
        pollfd p{fd, POLLIN, 0};
        const int rc = ::poll(&p, 1, sim.poll_timeout_ms(framer.deadline()));
        if (rc < 0 && errno != EINTR) {
            std::perror("plant-sim: poll");
            return 1;
        }
        sim.tick();
        const double now = now_seconds();
        if (rc > 0 && p.revents != 0) {
            std::uint8_t buf[512];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0) {
                framer.feed(buf, static_cast<std::size_t>(n), now);
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                // A line gone away (an unplugged adapter): do not spin.
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        while (framer.next(frame, now_seconds())) {
            const int unit = frame[0];
            if (unit != o.slave && unit != 0 && o.also_slaves.count(unit) == 0) {
                sim.log("frame for slave " + std::to_string(unit) + " ignored");
                continue;
            }
            // Paced, the request ends on the line its own length after it was written.
            const double request_end =
                now + (o.pace ? static_cast<double>(frame.size()) * char_seconds : 0.0);
            const bool answered = sim.answer(unit, frame.data() + 1, frame.size() - 3, reply, line);
            if (answered && unit != 0) {
                const bool corrupt =
                    o.corrupt_crc_every > 0 && sim.next_reply_number() % o.corrupt_crc_every == 0;
                if (corrupt) {
                    line += " (CRC corrupted)";
                }
                const auto adu = rtu_frame(static_cast<std::uint8_t>(unit), reply, corrupt);
                const double start = request_end + turnaround;
                bool sent = false;
                if (o.pace) {
                    sent = write_paced(fd, adu, start, char_seconds);
                } else {
                    sleep_until_seconds(start);
                    sent = send_all(fd, adu);
                }
                if (!sent) {
                    line += " (reply not sent: " + std::string(std::strerror(errno)) + ")";
                }
            } else if (answered) {
                line += " (broadcast, no reply)";
            }
            sim.log(line);
        }
    }
    return 0;
}

int run_pty(Simulator& sim) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        std::perror("plant-sim: cannot create a pseudo-terminal");
        return 1;
    }
    const char* name = ::ptsname(master);
    if (name == nullptr) {
        std::perror("plant-sim: ptsname");
        return 1;
    }
    const std::string path = name;
    // Holding the slave end open ourselves keeps the master readable while the host
    // closes and reopens the device; we never read from it.
    const int slave = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    if (slave < 0) {
        std::perror("plant-sim: cannot open the pty's slave end");
        return 1;
    }
    termios t{};
    if (::tcgetattr(slave, &t) == 0) {
        ::cfmakeraw(&t);
        ::tcsetattr(slave, TCSANOW, &t);
    }
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    std::printf("pty: %s\n", path.c_str());
    (void)std::fflush(stdout);
    const int rc = serve_rtu(sim, master);
    ::close(slave);
    ::close(master);
    return rc;
}

int run_rtu_device(Simulator& sim) {
    const SimOptions& o = sim.options();
    modbus_t* ctx = modbus_new_rtu(o.device.c_str(), o.baud, o.parity, o.data_bits, o.stop_bits);
    if (ctx == nullptr) {
        (void)std::fprintf(stderr, "plant-sim: %s: %s\n", o.device.c_str(), modbus_strerror(errno));
        return 1;
    }
    // libmodbus opens and configures the line; the framing is ours.
    if (modbus_connect(ctx) != 0) {
        (void)std::fprintf(stderr, "plant-sim: cannot open %s: %s\n", o.device.c_str(),
                           modbus_strerror(errno));
        modbus_free(ctx);
        return 1;
    }
    const int fd = modbus_get_socket(ctx);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    std::printf("rtu: %s\n", o.device.c_str());
    (void)std::fflush(stdout);
    const int rc = serve_rtu(sim, fd);
    modbus_close(ctx);
    modbus_free(ctx);
    return rc;
}

// The listening socket on 127.0.0.1, its address printed for whoever started us.
int listen_tcp(const SimOptions& o, modbus_t* ctx) {
    const int listener = modbus_tcp_listen(ctx, 4);
    if (listener < 0) {
        (void)std::fprintf(stderr, "plant-sim: cannot listen on 127.0.0.1:%d: %s\n", o.tcp_port,
                           modbus_strerror(errno));
        return -1;
    }
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    std::printf("tcp: 127.0.0.1:%d\n", ntohs(addr.sin_port));
    (void)std::fflush(stdout);
    return listener;
}

// One connection's requests as they arrive: answered in order, each after the turnaround.
class TcpClient {
  public:
    explicit TcpClient(Simulator& sim) : sim_(sim) {}

    bool open() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void accept(int fd) {
        fd_ = fd;
        sim_.log("connection accepted");
    }
    void close(const char* why) {
        sim_.log(why);
        ::close(fd_);
        fd_ = -1;
        stream_.clear();
    }

    // Reads what arrived and answers every whole request in it; false when the client is
    // gone or sent what cannot be framed.
    bool serve_readable() {
        std::uint8_t chunk[512];
        const ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n <= 0) {
            if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                close("connection closed");
                return false;
            }
            return true;
        }
        received_ = now_seconds();
        stream_.insert(stream_.end(), chunk, chunk + n);
        return answer_frames();
    }

  private:
    bool answer_frames() {
        for (;;) {
            const MbapCut cut = cut_mbap_request(stream_, frame_);
            if (cut == MbapCut::NeedMore) {
                return true;
            }
            if (cut == MbapCut::Unframeable) {
                close("MBAP length out of range: connection closed");
                return false;
            }
            if (cut == MbapCut::Dropped) {
                sim_.log("MBAP frame dropped: protocol id not 0 or length disagrees");
                continue;
            }
            answer(frame_);
        }
    }

    void answer(const std::vector<std::uint8_t>& frame) {
        const int unit = frame[kMbapUnit];
        if (!sim_.answer(unit, frame.data() + kMbapHeader, frame.size() - kMbapHeader, reply_,
                         line_)) {
            sim_.log(line_);
            return;
        }
        std::vector<std::uint8_t> adu(frame.begin(), frame.begin() + kMbapHeader);
        const std::size_t length = reply_.size() + 1;
        adu[4] = static_cast<std::uint8_t>(length >> 8);
        adu[5] = static_cast<std::uint8_t>(length & 0xFF);
        adu.insert(adu.end(), reply_.begin(), reply_.end());
        sleep_until_seconds(received_ + static_cast<double>(sim_.options().turnaround_ms) / 1000.0);
        if (!send_all(fd_, adu)) {
            line_ += " (reply not sent)";
        }
        sim_.log(line_);
    }

    Simulator& sim_;
    int fd_ = -1;
    double received_ = 0.0;
    std::vector<std::uint8_t> stream_;
    std::vector<std::uint8_t> frame_;
    std::vector<std::uint8_t> reply_;
    std::string line_;
};

int run_tcp(Simulator& sim) {
    const SimOptions& o = sim.options();
    std::unique_ptr<modbus_t, void (*)(modbus_t*)> ctx(modbus_new_tcp("127.0.0.1", o.tcp_port),
                                                       modbus_free);
    if (!ctx) {
        (void)std::fprintf(stderr, "plant-sim: %s\n", modbus_strerror(errno));
        return 1;
    }
    int listener = listen_tcp(o, ctx.get());
    if (listener < 0) {
        return 1;
    }
    TcpClient client(sim);
    while (!sim.done()) {
        // One connection at a time; the next waits in the backlog until this one closes.
        pollfd p{client.open() ? client.fd() : listener, POLLIN, 0};
        const int rc = ::poll(&p, 1, sim.poll_timeout_ms());
        if (rc < 0 && errno != EINTR) {
            std::perror("plant-sim: poll");
            break;
        }
        sim.tick();
        if (rc <= 0 || p.revents == 0) {
            continue;
        }
        if (!client.open()) {
            const int fd = modbus_tcp_accept(ctx.get(), &listener);
            if (fd >= 0) {
                client.accept(fd);
            }
            continue;
        }
        if (!client.serve_readable()) {
            modbus_set_socket(ctx.get(), -1);
        }
    }
    if (client.open()) {
        ::close(client.fd());
    }
    ::close(listener);
    return 0;
}

}  // namespace
}  // namespace plantsim

int main(int argc, char** argv) {
    using namespace plantsim;
    SimOptions options;
    std::string error;
    switch (parse_options(argc, argv, options, error)) {
        case ParseOutcome::Help:
            (void)std::fputs(usage_text().c_str(), stdout);
            return 0;
        case ParseOutcome::Error:
            (void)std::fprintf(stderr, "plant-sim: %s\n(see plant-sim --help)\n", error.c_str());
            return 2;
        case ParseOutcome::Run:
            break;
    }
    install_signals();
    if (options.pace) {
        // Paced bytes leave on time only if a sleep ends when asked, not up to 50 us later.
        ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    }
    Simulator sim(options);
    int rc = 1;
    switch (options.transport) {
        case Transport::Pty:
            rc = run_pty(sim);
            break;
        case Transport::Rtu:
            rc = run_rtu_device(sim);
            break;
        case Transport::Tcp:
            rc = run_tcp(sim);
            break;
        case Transport::None:
            break;
    }
    sim.tick();
    if (!sim.dump() && rc == 0) {
        rc = 1;
    }
    return rc;
}
