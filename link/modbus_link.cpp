#include "modbus_link.h"

#include <fcntl.h>
#include <modbus.h>
#include <netdb.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <ostream>
#include <sstream>

#include "modbus_crc.h"
#include "qdx_host.h"
#include "write_echo.h"

namespace qdxhost {

namespace {

using Clock = ModbusLink::Clock;

constexpr std::chrono::milliseconds kFirstBackoff{500};
constexpr std::chrono::milliseconds kMaxBackoff{8000};
// A device whose chain never ends would keep the line forever; no real cycle comes near.
constexpr unsigned kMaxRequestsPerDrive = 10000;
// How often a wait looks at the abort flag: a second stop signal ends it this fast.
constexpr std::chrono::milliseconds kWaitSlice{50};
// A controller that says it is busy is asked again after this long.
constexpr std::chrono::milliseconds kBusyPause{100};
// Within one serial reply, a pause this long (or of this many characters, if longer)
// means the rest is not coming.
constexpr std::chrono::milliseconds kMinByteGap{50};
constexpr long long kByteGapChars = 10;
// A reply with no more than this many characters still to come is read as they arrive.
constexpr std::size_t kReadAheadChars = 4;
// A TCP peer that answers none of this many requests in a row has gone without closing
// the connection (a gateway's power cut, a NAT timeout): the connection is made anew.
constexpr unsigned kSilentPeerTimeouts = 3;

struct LineSpeed {
    int baud;
    speed_t speed;
};
constexpr LineSpeed kLineSpeeds[] = {
    {50,      B50     },
    {75,      B75     },
    {110,     B110    },
    {134,     B134    },
    {150,     B150    },
    {200,     B200    },
    {300,     B300    },
    {600,     B600    },
    {1200,    B1200   },
    {1800,    B1800   },
    {2400,    B2400   },
    {4800,    B4800   },
    {9600,    B9600   },
    {19200,   B19200  },
    {38400,   B38400  },
    {57600,   B57600  },
    {115200,  B115200 },
    {230400,  B230400 },
    {460800,  B460800 },
    {500000,  B500000 },
    {576000,  B576000 },
    {921600,  B921600 },
    {1000000, B1000000},
    {1152000, B1152000},
    {1500000, B1500000},
    {2000000, B2000000},
    {2500000, B2500000},
    {3000000, B3000000},
    {3500000, B3500000},
    {4000000, B4000000},
};

bool line_speed(int baud, speed_t& out) {
    for (const LineSpeed& s : kLineSpeeds) {
        if (s.baud == baud) {
            out = s.speed;
            return true;
        }
    }
    return false;
}

unsigned long long device_identity(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return 0;
    }
    // The node number tells two ports apart; the device number tells a re-created node
    // (an adapter plugged back in) from the one that was opened.
    return (static_cast<unsigned long long>(st.st_rdev) << 32) ^
           static_cast<unsigned long long>(st.st_ino);
}

std::string errno_text(int err) {
    return std::strerror(err);
}

// " (held by pid 123, kv830-host)" from the kernel's table of file locks, or "" when the
// holder cannot be told.
std::string lock_holder(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return "";
    }
    // The kernel names a lock's file "MAJOR:MINOR:INODE", device numbers in hex.
    std::ostringstream file_id;
    file_id << std::hex << std::setfill('0') << std::setw(2) << major(st.st_dev) << ':'
            << std::setw(2) << minor(st.st_dev) << ':' << std::dec << st.st_ino;
    const std::string node = file_id.str();
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream words(line);
        std::string id;
        std::string kind;
        std::string mode;
        std::string access;
        std::string pid;
        std::string where;
        words >> id >> kind >> mode >> access >> pid >> where;
        if (where != node || pid == std::to_string(::getpid())) {
            continue;
        }
        std::ifstream comm("/proc/" + pid + "/comm");
        std::string name;
        std::getline(comm, name);
        return " (held by pid " + pid + (name.empty() ? "" : ", " + name) + ")";
    }
    return "";
}

bool is_write(Function f) {
    return f == Function::WriteSingleRegister || f == Function::WriteMultipleRegisters;
}

bool request_in_range(const Request& r) {
    switch (r.function) {
        case Function::ReadInputBits:
            return r.count >= 1 && r.count <= kMaxReadBits;
        case Function::ReadHoldingRegisters:
            return r.count >= 1 && r.count <= kMaxReadRegisters;
        case Function::WriteSingleRegister:
            return r.count == 1;
        case Function::WriteMultipleRegisters:
            return r.count >= 1 && r.count <= kMaxWriteRegisters;
        case Function::None:
            break;
    }
    return false;
}

}  // namespace

struct ModbusLink::Outcome {
    unsigned retries = 0;
    int exception = 0;
    bool write_retried = false;
};

const char* exchange_name(Exchange e) {
    switch (e) {
        case Exchange::Answered:
            return "answered";
        case Exchange::NoReply:
            return "no reply";
        case Exchange::Garbled:
            return "reply garbled";
        case Exchange::Refused:
            return "refused";
        case Exchange::LinkDown:
            return "link down";
        case Exchange::NoRequest:
            return "no request";
    }
    return "unknown";
}

ModbusLink::ModbusLink(LinkSettings settings, std::ostream& log)
    : settings_(std::move(settings)), log_(log) {}

ModbusLink::~ModbusLink() {
    close();
}

void ModbusLink::close() {
    if (ctx_ == nullptr) {
        return;
    }
    if (!settings_.is_tcp() && fd_ >= 0) {
        // The exclusive mode stays on the tty while anyone (the simulator holding its
        // pty, a getty) keeps it open: give it back with the port.
        ::ioctl(fd_, TIOCNXCL);
    }
    modbus_close(ctx_);
    modbus_free(ctx_);
    ctx_ = nullptr;
    fd_ = -1;
}

bool ModbusLink::open_tcp(std::string& error) {
    std::string host;
    std::string port;
    if (!split_host_port(settings_.tcp, host, port, error)) {
        fatal_ = true;
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (rc != 0) {
        error = "cannot resolve " + host + ": " +
                (rc == EAI_SYSTEM ? errno_text(errno) : std::string(::gai_strerror(rc)));
        // A name the resolver says does not exist will not come to exist by waiting; an
        // unreachable resolver may come back.
        fatal_ = rc == EAI_NONAME || rc == EAI_SERVICE || rc == EAI_FAMILY;
        return false;
    }
    ::freeaddrinfo(found);
    ctx_ = modbus_new_tcp_pi(host.c_str(), port.c_str());
    if (ctx_ == nullptr) {
        error = errno_text(errno);
        return false;
    }
    if (modbus_connect(ctx_) != 0) {
        error = errno_text(errno);
        modbus_free(ctx_);
        ctx_ = nullptr;
        return false;
    }
    return true;
}

bool ModbusLink::open_rtu(std::string& error) {
    const std::string& path = settings_.device;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        const int err = errno;
        error = path + ": " + errno_text(err);
        // A missing node is an adapter not plugged in yet; the rest will stay as it is.
        fatal_ = err != ENOENT;
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        error = path + ": " + errno_text(EISDIR);
        fatal_ = true;
        return false;
    }
    const int probe = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (probe < 0) {
        const int err = errno;
        error = path + ": " + errno_text(err) + (err == EBUSY ? lock_holder(path) : "");
        fatal_ = err == EACCES || err == EPERM || err == EBUSY || err == EROFS || err == ENXIO;
        return false;
    }
    const bool tty = ::isatty(probe) != 0;
    ::close(probe);
    if (!tty) {
        error = path + " is not a serial line: " + errno_text(ENOTTY);
        fatal_ = true;
        return false;
    }
    ctx_ = modbus_new_rtu(path.c_str(), settings_.baud, settings_.parity, settings_.data_bits,
                          settings_.stop_bits);
    if (ctx_ == nullptr) {
        error = errno_text(errno);
        fatal_ = true;
        return false;
    }
    if (modbus_connect(ctx_) != 0) {
        error = path + ": " + errno_text(errno);
        modbus_free(ctx_);
        ctx_ = nullptr;
        return false;
    }
    const int fd = modbus_get_socket(ctx_);
    // One master on a line: a second program polling the same port would take the other's
    // replies for its own.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = path + " is in use by another process" + lock_holder(path);
        fatal_ = true;
        modbus_close(ctx_);
        modbus_free(ctx_);
        ctx_ = nullptr;
        return false;
    }
    ::ioctl(fd, TIOCEXCL);
    termios t{};
    speed_t wanted{};
    if (::tcgetattr(fd, &t) != 0 || !line_speed(settings_.baud, wanted) ||
        ::cfgetospeed(&t) != wanted) {
        error = path + ": the line cannot be set to " + std::to_string(settings_.baud) + " baud";
        fatal_ = true;
        ::ioctl(fd, TIOCNXCL);
        modbus_close(ctx_);
        modbus_free(ctx_);
        ctx_ = nullptr;
        return false;
    }
    device_id_ = device_identity(path);
    return true;
}

bool ModbusLink::open_once(std::string& error) {
    fatal_ = false;
    if (!(settings_.is_tcp() ? open_tcp(error) : open_rtu(error))) {
        return false;
    }
    fd_ = modbus_get_socket(ctx_);
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    const Clock::duration timeout = std::chrono::milliseconds(settings_.timeout_ms);
    if (settings_.is_tcp()) {
        byte_gap_ = timeout;
        char_time_ = Clock::duration::zero();
    } else {
        char_time_ = std::chrono::nanoseconds(
            kv830cli::line_time_ns(1, settings_.baud, settings_.bits_per_char()));
        const auto chars = std::chrono::nanoseconds(
            kv830cli::line_time_ns(kByteGapChars, settings_.baud, settings_.bits_per_char()));
        byte_gap_ =
            std::min<Clock::duration>(timeout, std::max<Clock::duration>(kMinByteGap, chars));
    }
    silent_timeouts_ = 0;
    // The pause before a request is the line's own timing: a sleep that ends the usual
    // 50 us late costs 3 % of a cycle at 115200 baud. Set for the thread that opens the
    // link, which is the one that drives it.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    // Whatever the line carried before we listened is not an answer to us.
    drain();
    return true;
}

bool ModbusLink::ensure_open() {
    if (ctx_ != nullptr) {
        return true;
    }
    const auto now = Clock::now();
    if (now < next_attempt_) {
        return false;
    }
    std::string error;
    if (open_once(error)) {
        if (was_lost_) {
            ++reopens_;
            log_ << "link: " << settings_.describe() << " reopened" << std::endl;
        }
        was_lost_ = false;
        last_error_.clear();
        backoff_ = kFirstBackoff;
        return true;
    }
    last_error_ = error;
    log_ << "link: cannot open " << settings_.describe() << ": " << error;
    if (!fatal_) {
        log_ << "; retrying in " << static_cast<double>(backoff_.count()) / 1000.0 << " s";
    }
    log_ << std::endl;
    next_attempt_ = now + backoff_;
    backoff_ = std::min(backoff_ * 2, kMaxBackoff);
    return false;
}

bool ModbusLink::serial_port_replaced() const {
    // A serial port that went silent may simply be gone: an unplugged adapter's node
    // disappears, a replugged one comes back as a new node.
    return !settings_.is_tcp() && device_identity(settings_.device) != device_id_;
}

void ModbusLink::lost(const char* what, int err) {
    log_ << "link: " << settings_.describe() << " lost: " << what << " (" << errno_text(err)
         << "); reopening in " << static_cast<double>(kFirstBackoff.count()) / 1000.0 << " s"
         << std::endl;
    close();
    was_lost_ = true;
    backoff_ = kFirstBackoff;
    next_attempt_ = Clock::now() + kFirstBackoff;
}

bool ModbusLink::sleep_until(Clock::time_point until) const {
    for (;;) {
        if (aborted()) {
            return false;
        }
        const auto now = Clock::now();
        if (now >= until) {
            return true;
        }
        const auto left = std::min<Clock::duration>(until - now, kWaitSlice);
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timespec t{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        ::nanosleep(&t, nullptr);
    }
}

void ModbusLink::drain() {
    // Bytes still on the line belong to an exchange already given up (a reply later than
    // the timeout); they must not be read as the next request's answer.
    std::uint8_t scrap[64];
    while (::read(fd_, scrap, sizeof scrap) > 0) {
    }
}

ModbusLink::Attempt ModbusLink::send_request(std::size_t pdu_size) {
    const auto unit = static_cast<std::uint8_t>(settings_.slave);
    std::size_t size = 0;
    if (settings_.is_tcp()) {
        ++transaction_;
        size = frame_tcp(transaction_, unit, pdu_, pdu_size, adu_);
    } else {
        size = frame_rtu(unit, pdu_, pdu_size, adu_);
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(settings_.timeout_ms);
    std::size_t done = 0;
    while (done < size) {
        // A peer that closed must not end the program with SIGPIPE: it is a lost link.
        const ssize_t n = settings_.is_tcp() ? ::send(fd_, adu_ + done, size - done, MSG_NOSIGNAL)
                                             : ::write(fd_, adu_ + done, size - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            return Attempt::Lost;
        }
        if (aborted()) {
            return Attempt::Aborted;
        }
        if (Clock::now() >= deadline) {
            return Attempt::Timeout;
        }
        pollfd p{fd_, POLLOUT, 0};
        ::poll(&p, 1, static_cast<int>(kWaitSlice.count()));
    }
    traffic_.bytes_sent += size;
    ++traffic_.requests;
    return Attempt::Reply;
}

ModbusLink::Attempt ModbusLink::read_exactly(std::uint8_t* out, std::size_t size,
                                             Clock::time_point first_deadline) {
    std::size_t have = 0;
    Clock::time_point deadline = first_deadline;
    while (have < size) {
        if (aborted()) {
            return Attempt::Aborted;
        }
        const ssize_t n = ::read(fd_, out + have, size - have);
        if (n > 0) {
            have += static_cast<std::size_t>(n);
            traffic_.bytes_received += static_cast<unsigned long long>(n);
            ++traffic_.reads;
            deadline = Clock::now() + byte_gap_;
            // A serial line hands over a reply a few characters at a time; waking for each
            // handful costs a small gateway more than the line itself at high rates. The
            // rest cannot come before its own line time, less one character in case this
            // handful was read late.
            const std::size_t left = size - have;
            if (left > kReadAheadChars && char_time_ > Clock::duration::zero()) {
                const auto wake = Clock::now() + char_time_ * static_cast<long>(left - 1);
                if (!sleep_until(wake)) {
                    return Attempt::Aborted;
                }
                deadline = Clock::now() + byte_gap_;
            }
            continue;
        }
        if (n == 0 && settings_.is_tcp()) {
            errno = ECONNRESET;
            return Attempt::Lost;
        }
        // A serial line set to return at once (no minimum count) reads 0 when empty.
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            return Attempt::Lost;
        }
        const auto now = Clock::now();
        if (now >= deadline) {
            return have == 0 ? Attempt::Timeout : Attempt::Garbled;
        }
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::min<Clock::duration>(deadline - now, kWaitSlice));
        timespec t{static_cast<time_t>(left.count() / 1000000000),
                   static_cast<long>(left.count() % 1000000000)};
        pollfd p{fd_, POLLIN, 0};
        const int rc = ::ppoll(&p, 1, &t, nullptr);
        if (rc > 0 && (p.revents & POLLIN) == 0 && (p.revents & (POLLHUP | POLLERR)) != 0) {
            errno = EIO;
            return Attempt::Lost;
        }
    }
    return Attempt::Reply;
}

ModbusLink::Attempt ModbusLink::receive_rtu(Function function, int count) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(settings_.timeout_ms);
    Attempt a = read_exactly(reply_, 2, deadline);
    if (a != Attempt::Reply) {
        return a;
    }
    const std::size_t pdu_size = reply_pdu_size(function, count, reply_[1]);
    if (reply_[0] != settings_.slave || pdu_size == 0) {
        // No length can be known: wait for the line to fall silent and drop it all.
        std::uint8_t scrap[kMaxAduSize];
        while (read_exactly(scrap, sizeof scrap, Clock::now() + byte_gap_) == Attempt::Reply) {
        }
        return Attempt::Garbled;
    }
    const std::size_t total = pdu_size + kRtuOverhead;
    a = read_exactly(reply_ + 2, total - 2, Clock::now() + byte_gap_);
    if (a == Attempt::Timeout) {
        return Attempt::Garbled;
    }
    if (a != Attempt::Reply) {
        return a;
    }
    if (!kv830cli::crc_ok(reply_, total)) {
        return Attempt::Garbled;
    }
    reply_pdu_ = reply_ + 1;
    reply_pdu_size_ = pdu_size;
    return Attempt::Reply;
}

ModbusLink::Attempt ModbusLink::receive_tcp(Function function, int count) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(settings_.timeout_ms);
    for (;;) {
        Attempt a = read_exactly(reply_, kMbapSize, deadline);
        if (a != Attempt::Reply) {
            return a;
        }
        MbapHeader h;
        if (!parse_mbap(reply_, h)) {
            drain();
            return Attempt::Garbled;
        }
        const std::size_t pdu_size = h.length - 1U;
        a = read_exactly(reply_ + kMbapSize, pdu_size, Clock::now() + byte_gap_);
        if (a == Attempt::Timeout) {
            return Attempt::Garbled;
        }
        if (a != Attempt::Reply) {
            return a;
        }
        if (h.transaction != transaction_) {
            continue;  // a late answer to a request already given up
        }
        if (h.unit != settings_.slave ||
            reply_pdu_size(function, count, reply_[kMbapSize]) != pdu_size) {
            return Attempt::Garbled;
        }
        reply_pdu_ = reply_ + kMbapSize;
        reply_pdu_size_ = pdu_size;
        return Attempt::Reply;
    }
}

ModbusLink::Attempt ModbusLink::transact(Function function, int count, std::size_t pdu_size) {
    const auto pause = std::chrono::nanoseconds(settings_.pause_ns());
    if (!sleep_until(std::max(last_end_ + std::chrono::duration_cast<Clock::duration>(pause),
                              quiet_until_))) {
        return Attempt::Aborted;
    }
    drain();
    Attempt a = send_request(pdu_size);
    if (a == Attempt::Reply) {
        a = settings_.is_tcp() ? receive_tcp(function, count) : receive_rtu(function, count);
    }
    last_end_ = Clock::now();
    if (a == Attempt::Reply || a == Attempt::Garbled) {
        silent_timeouts_ = 0;
    }
    return a;
}

void ModbusLink::report(const Request& r, const char* what) const {
    log_ << "link: " << function_name(r.function) << " " << r.address << "+" << r.count << ": "
         << what << std::endl;
}

Exchange ModbusLink::deliver_read(SPModbus& device, const Request& r, Outcome& outcome) {
    const ReplyCheck check = check_read_reply(r.function, r.count, reply_pdu_, reply_pdu_size_);
    if (check.status == ReplyStatus::Ok) {
        if (r.function == Function::ReadInputBits) {
            std::uint8_t bits[kMaxReadBits];
            decode_bits(reply_pdu_, r.count, bits);
            HostAccess::reply_bits(device, bits, r.count);
        } else {
            std::uint16_t regs[kMaxReadRegisters];
            decode_registers(reply_pdu_, r.count, regs);
            HostAccess::reply_registers(device, regs, r.count);
        }
        return Exchange::Answered;
    }
    if (check.status == ReplyStatus::Exception) {
        outcome.exception = check.exception;
        log_ << "link: " << function_name(r.function) << " " << r.address << "+" << r.count
             << ": refused with exception " << static_cast<int>(check.exception) << std::endl;
        HostAccess::fail_request(device);
        return Exchange::Refused;
    }
    report(r, "reply garbled");
    HostAccess::fail_request(device);
    return Exchange::Garbled;
}

Exchange ModbusLink::deliver_write(SPModbus& device, const Request& r, Outcome& outcome) {
    const WriteEcho e =
        judge_write_echo(r.function, r.address, r.values, reply_pdu_, reply_pdu_size_);
    if (e.verdict == EchoVerdict::Exception) {
        outcome.exception = e.exception;
        log_ << "link: " << function_name(r.function) << " " << r.address << "+" << r.count
             << ": refused with exception " << static_cast<int>(e.exception) << std::endl;
    } else if (e.verdict == EchoVerdict::Mismatch) {
        report(r, "the echo does not answer it");
    }
    HostAccess::reply_registers(device, e.words, e.word_count);
    return e.verdict == EchoVerdict::Exception ? Exchange::Refused : Exchange::Answered;
}

// A reply arrived: a busy controller or a garbled read is asked again while retries are
// left; anything else ends the request.
ModbusLink::Step ModbusLink::after_reply(SPModbus& device, const Request& r, bool may_retry,
                                         Outcome& outcome) {
    const bool write = is_write(r.function);
    const auto asked = static_cast<std::uint8_t>(r.function);
    const bool busy = reply_pdu_[0] == (asked | kExceptionFlag) && reply_pdu_[1] == kExceptionBusy;
    if (busy && may_retry) {
        ++outcome.retries;
        if (!sleep_until(Clock::now() + kBusyPause)) {
            HostAccess::fail_request(device);
            return Step::end(Exchange::NoReply);
        }
        return Step::again();
    }
    if (!write && may_retry &&
        check_read_reply(r.function, r.count, reply_pdu_, reply_pdu_size_).status ==
            ReplyStatus::Garbled) {
        ++outcome.retries;
        return Step::again();
    }
    return Step::end(write ? deliver_write(device, r, outcome) : deliver_read(device, r, outcome));
}

// No reply within the timeout: a peer or port that is gone ends the link, else the request
// is sent again while retries are left.
ModbusLink::Step ModbusLink::after_timeout(SPModbus& device, const Request& r, bool may_retry,
                                           Outcome& outcome) {
    ++silent_timeouts_;
    if (settings_.is_tcp() && silent_timeouts_ >= kSilentPeerTimeouts) {
        lost("the peer answers nothing", ETIMEDOUT);
        HostAccess::fail_request(device);
        return Step::end(Exchange::LinkDown);
    }
    if (serial_port_replaced()) {
        lost("the port is gone", ENODEV);
        HostAccess::fail_request(device);
        return Step::end(Exchange::LinkDown);
    }
    if (may_retry) {
        // Rewriting a register with the value it was asked to hold is harmless, and an
        // answer to the first attempt answers the second as well.
        ++outcome.retries;
        outcome.write_retried = outcome.write_retried || is_write(r.function);
        return Step::again();
    }
    // A reply that comes after we gave up must not be taken for the next request's: over a
    // serial line nothing tells them apart (replies of one-register reads are alike), so
    // the next request waits until a late reply would have come and been drained.
    if (!settings_.is_tcp()) {
        quiet_until_ = last_end_ + std::chrono::milliseconds(settings_.timeout_ms);
    }
    report(r, "no reply");
    HostAccess::fail_request(device);
    return Step::end(Exchange::NoReply);
}

Exchange ModbusLink::carry(SPModbus& device, Outcome& outcome) {
    if (!HostAccess::has_request(device)) {
        return Exchange::NoRequest;
    }
    const Request& r = HostAccess::pending_request(device);
    if (!request_in_range(r)) {
        report(r, "not sent: the count is out of the protocol's range");
        HostAccess::fail_request(device);
        return Exchange::NoReply;
    }
    if (!ensure_open()) {
        HostAccess::fail_request(device);
        return Exchange::LinkDown;
    }
    const bool write = is_write(r.function);
    const std::size_t pdu_size =
        write ? encode_write_pdu(r.function, r.address, r.values, r.count, pdu_)
              : encode_read_pdu(r.function, r.address, r.count, pdu_);
    for (int attempt = 0;; ++attempt) {
        const bool may_retry = attempt < settings_.retries;
        Step step = Step::again();
        switch (transact(r.function, r.count, pdu_size)) {
            case Attempt::Reply:
                step = after_reply(device, r, may_retry, outcome);
                break;
            case Attempt::Timeout:
                step = after_timeout(device, r, may_retry, outcome);
                break;
            case Attempt::Garbled:
                if (!write && may_retry) {
                    ++outcome.retries;
                    break;
                }
                report(r, write ? "reply garbled, outcome unknown" : "reply garbled");
                HostAccess::fail_request(device);
                return Exchange::Garbled;
            case Attempt::Lost:
                lost(function_name(r.function), errno);
                HostAccess::fail_request(device);
                return Exchange::LinkDown;
            case Attempt::Aborted:
                HostAccess::fail_request(device);
                return Exchange::NoReply;
        }
        if (!step.retry) {
            return step.result;
        }
    }
}

Exchange ModbusLink::exchange(SPModbus& device) {
    Outcome outcome;
    return carry(device, outcome);
}

DriveResult ModbusLink::drive(SPModbus& device, const std::atomic<int>* abort) {
    DriveResult result;
    abort_ = abort;
    for (unsigned n = 0; HostAccess::has_request(device); ++n) {
        if (aborted() || n >= kMaxRequestsPerDrive) {
            HostAccess::fail_request(device);
            result.aborted = true;
            break;
        }
        Outcome outcome;
        result.last = carry(device, outcome);
        result.retries += outcome.retries;
        result.write_retried = result.write_retried || outcome.write_retried;
        if (outcome.exception != 0) {
            result.exception = outcome.exception;
        }
        if (aborted()) {
            result.aborted = true;
            break;
        }
        switch (result.last) {
            case Exchange::Answered:
                ++result.answered;
                break;
            case Exchange::NoReply:
                ++result.failed;
                ++result.timeouts;
                break;
            case Exchange::Garbled:
                ++result.failed;
                ++result.garbled;
                break;
            case Exchange::Refused:
                ++result.failed;
                ++result.refused;
                break;
            case Exchange::LinkDown:
                ++result.failed;
                ++result.link_down;
                break;
            case Exchange::NoRequest:
                break;
        }
    }
    if (result.aborted && HostAccess::has_request(device)) {
        HostAccess::fail_request(device);
    }
    abort_ = nullptr;
    return result;
}

}  // namespace qdxhost
