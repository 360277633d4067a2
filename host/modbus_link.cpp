#include "modbus_link.h"

#include <modbus.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <sstream>
#include <thread>

#include "qdx_host.h"

namespace qdxhost {

namespace {

constexpr std::chrono::milliseconds kFirstBackoff{500};
constexpr std::chrono::milliseconds kMaxBackoff{8000};
// A device whose chain never ends would keep the line forever; no real cycle comes near.
constexpr unsigned kMaxRequestsPerDrive = 10000;

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool read_int(const Json::Value& obj, const char* name, int& out, std::string& error) {
    const Json::Value& v = obj[name];
    if (v.isNull()) {
        return true;
    }
    if (!v.isInt()) {
        error = std::string("modbus.") + name + " must be an integer";
        return false;
    }
    out = v.asInt();
    return true;
}

bool read_text(const Json::Value& obj, const char* name, std::string& out, std::string& error) {
    const Json::Value& v = obj[name];
    if (v.isNull()) {
        return true;
    }
    if (!v.isString()) {
        error = std::string("modbus.") + name + " must be a string";
        return false;
    }
    out = v.asString();
    return true;
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
    return modbus_strerror(err);
}

std::uint16_t be16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((static_cast<unsigned>(p[0]) << 8) | p[1]);
}

void put_be16(std::uint8_t* p, unsigned v) {
    p[0] = static_cast<std::uint8_t>((v >> 8) & 0xFFU);
    p[1] = static_cast<std::uint8_t>(v & 0xFFU);
}

}  // namespace

std::string LinkSettings::describe() const {
    std::ostringstream text;
    if (is_tcp()) {
        text << "tcp " << tcp << " unit " << slave;
    } else {
        text << device << " " << baud << " " << data_bits << parity << stop_bits << " slave "
             << slave;
    }
    return text.str();
}

char parse_parity(const std::string& text) {
    const std::string t = lower(text);
    if (t == "n" || t == "none") {
        return 'N';
    }
    if (t == "e" || t == "even") {
        return 'E';
    }
    if (t == "o" || t == "odd") {
        return 'O';
    }
    return 0;
}

bool split_host_port(const std::string& text, std::string& host, std::string& port,
                     std::string& error) {
    std::string::size_type colon;
    if (!text.empty() && text[0] == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            error = "\"" + text + "\" is not [ADDRESS]:PORT";
            return false;
        }
        host = text.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = text.rfind(':');
        if (colon == std::string::npos) {
            error = "\"" + text + "\" is not HOST:PORT";
            return false;
        }
        host = text.substr(0, colon);
    }
    port = text.substr(colon + 1);
    if (host.empty()) {
        error = "\"" + text + "\" names no host";
        return false;
    }
    if (port.empty() || port.size() > 5 ||
        !std::all_of(port.begin(), port.end(), [](unsigned char c) { return std::isdigit(c); }) ||
        std::stol(port) < 1 || std::stol(port) > 65535) {
        error = "\"" + text + "\" needs a port from 1 to 65535";
        return false;
    }
    return true;
}

bool read_link_settings(const Json::Value& settings, LinkSettings& out, std::string& error) {
    if (!settings.isObject()) {
        return true;
    }
    const Json::Value& m = settings["modbus"];
    if (m.isNull()) {
        return true;
    }
    if (!m.isObject()) {
        error = "modbus must be an object";
        return false;
    }
    std::string parity;
    if (!read_text(m, "device", out.device, error) || !read_int(m, "baud", out.baud, error) ||
        !read_text(m, "parity", parity, error) || !read_int(m, "data_bits", out.data_bits, error) ||
        !read_int(m, "stop_bits", out.stop_bits, error) ||
        !read_int(m, "slave", out.slave, error) || !read_text(m, "tcp", out.tcp, error) ||
        !read_int(m, "timeout_ms", out.timeout_ms, error) ||
        !read_int(m, "pause_ms", out.pause_ms, error)) {
        return false;
    }
    if (!m["parity"].isNull()) {
        out.parity = parse_parity(parity);
        if (out.parity == 0) {
            error = "modbus.parity must be N, E or O";
            return false;
        }
    }
    return true;
}

bool check_link_settings(const LinkSettings& s, std::string& error) {
    if (s.device.empty() && s.tcp.empty()) {
        error = "no link: give a serial device or a TCP address";
        return false;
    }
    if (s.is_tcp()) {
        std::string host;
        std::string port;
        if (!split_host_port(s.tcp, host, port, error)) {
            return false;
        }
    }
    if (s.baud <= 0) {
        error = "the baud rate must be positive";
        return false;
    }
    if (s.parity != 'N' && s.parity != 'E' && s.parity != 'O') {
        error = "the parity must be N, E or O";
        return false;
    }
    if (s.data_bits < 5 || s.data_bits > 8) {
        error = "the data bits must be 5 to 8";
        return false;
    }
    if (s.stop_bits != 1 && s.stop_bits != 2) {
        error = "the stop bits must be 1 or 2";
        return false;
    }
    if (s.slave < 1 || s.slave > 247) {
        error = "the slave address must be 1 to 247";
        return false;
    }
    if (s.timeout_ms < 1 || s.timeout_ms > 60000) {
        error = "the response timeout must be 1 ms to 60 s";
        return false;
    }
    if (s.pause_ms < 0 || s.pause_ms > 60000) {
        error = "the pause between requests must be 0 to 60 s";
        return false;
    }
    return true;
}

const char* exchange_name(Exchange e) {
    switch (e) {
        case Exchange::Answered:
            return "answered";
        case Exchange::NoReply:
            return "no reply";
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
    if (ctx_ != nullptr) {
        modbus_close(ctx_);
        modbus_free(ctx_);
        ctx_ = nullptr;
    }
}

bool ModbusLink::open_once(std::string& error) {
    modbus_t* ctx = nullptr;
    if (settings_.is_tcp()) {
        std::string host;
        std::string port;
        if (!split_host_port(settings_.tcp, host, port, error)) {
            return false;
        }
        ctx = modbus_new_tcp_pi(host.c_str(), port.c_str());
    } else {
        ctx = modbus_new_rtu(settings_.device.c_str(), settings_.baud, settings_.parity,
                             settings_.data_bits, settings_.stop_bits);
    }
    if (ctx == nullptr) {
        error = errno_text(errno);
        return false;
    }
    const auto sec = static_cast<std::uint32_t>(settings_.timeout_ms / 1000);
    const auto usec = static_cast<std::uint32_t>((settings_.timeout_ms % 1000) * 1000);
    if (modbus_set_slave(ctx, settings_.slave) != 0 ||
        modbus_set_response_timeout(ctx, sec, usec) != 0) {
        error = errno_text(errno);
        modbus_free(ctx);
        return false;
    }
    if (modbus_connect(ctx) != 0) {
        error = errno_text(errno);
        modbus_free(ctx);
        return false;
    }
    // Whatever the line carried before we listened is not an answer to us.
    modbus_flush(ctx);
    ctx_ = ctx;
    if (!settings_.is_tcp()) {
        device_id_ = device_identity(settings_.device);
    }
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
        reported_down_ = false;
        backoff_ = kFirstBackoff;
        return true;
    }
    log_ << "link: cannot open " << settings_.describe() << ": " << error << "; retrying in "
         << static_cast<double>(backoff_.count()) / 1000.0 << " s" << std::endl;
    reported_down_ = true;
    next_attempt_ = now + backoff_;
    backoff_ = std::min(backoff_ * 2, kMaxBackoff);
    return false;
}

bool ModbusLink::is_link_loss(int err) const {
    switch (err) {
        case ECONNRESET:
        case ECONNREFUSED:
        case ECONNABORTED:
        case ENOTCONN:
        case EPIPE:
        case EBADF:
        case EIO:
        case ENXIO:
        case ENODEV:
        case ENOENT:
        case ESHUTDOWN:
        case EHOSTUNREACH:
        case ENETUNREACH:
            return true;
        default:
            break;
    }
    // A serial port that went silent may simply be gone: an unplugged adapter's node
    // disappears, a replugged one comes back as a new node.
    return !settings_.is_tcp() && device_identity(settings_.device) != device_id_;
}

void ModbusLink::lost(const std::string& what, int err) {
    log_ << "link: " << settings_.describe() << " lost during " << what << " (" << errno_text(err)
         << "); reopening in " << static_cast<double>(kFirstBackoff.count()) / 1000.0 << " s"
         << std::endl;
    close();
    was_lost_ = true;
    backoff_ = kFirstBackoff;
    next_attempt_ = Clock::now() + kFirstBackoff;
}

void ModbusLink::wait_pause() {
    const auto until =
        std::max(last_exchange_ + std::chrono::milliseconds(settings_.pause_ms), quiet_until_);
    const auto now = Clock::now();
    if (now < until) {
        std::this_thread::sleep_for(until - now);
    }
}

Exchange ModbusLink::failed(SPModbus& device, const std::string& what, int err) {
    last_exchange_ = Clock::now();
    if (is_link_loss(err)) {
        lost(what, err);
        HostAccess::fail_request(device);
        return Exchange::LinkDown;
    }
    log_ << "link: " << what << ": " << errno_text(err) << std::endl;
    // A reply that comes after we gave up must not be taken for the next one's: the
    // next request waits until a late reply would have arrived, and the line is flushed
    // now and again before that request goes out. Replies of one-register reads are
    // alike, so nothing else could tell them apart.
    modbus_flush(ctx_);
    quiet_until_ = last_exchange_ + std::chrono::milliseconds(settings_.timeout_ms);
    HostAccess::fail_request(device);
    return Exchange::NoReply;
}

Exchange ModbusLink::exchange(SPModbus& device) {
    if (!HostAccess::has_request(device)) {
        return Exchange::NoRequest;
    }
    if (!ensure_open()) {
        HostAccess::fail_request(device);
        return Exchange::LinkDown;
    }
    wait_pause();
    // Bytes still on the line belong to an exchange already given up (a reply later than
    // the timeout); they must not be read as this request's answer.
    modbus_flush(ctx_);
    const Request& r = HostAccess::pending_request(device);
    switch (r.function) {
        case Function::ReadHoldingRegisters:
        case Function::ReadInputBits:
            return read(device);
        case Function::WriteSingleRegister:
        case Function::WriteMultipleRegisters:
            return write(device);
        case Function::None:
            break;
    }
    HostAccess::fail_request(device);
    return Exchange::NoReply;
}

Exchange ModbusLink::read(SPModbus& device) {
    const Request r = HostAccess::pending_request(device);
    std::ostringstream what;
    what << function_name(r.function) << " " << r.address << "+" << r.count;
    if (r.function == Function::ReadInputBits) {
        std::uint8_t bits[qdxhost::kMaxReadBits];
        const int rc = modbus_read_input_bits(ctx_, r.address, r.count, bits);
        if (rc != r.count) {
            return failed(device, what.str(), rc < 0 ? errno : EMBBADDATA);
        }
        last_exchange_ = Clock::now();
        HostAccess::reply_bits(device, bits, rc);
        return Exchange::Answered;
    }
    std::uint16_t regs[qdxhost::kMaxReadRegisters];
    const int rc = modbus_read_registers(ctx_, r.address, r.count, regs);
    if (rc != r.count) {
        return failed(device, what.str(), rc < 0 ? errno : EMBBADDATA);
    }
    last_exchange_ = Clock::now();
    HostAccess::reply_registers(device, regs, rc);
    return Exchange::Answered;
}

// The echo goes to the device as the controller sent it. A refusal (exception) or an
// echo of another function or address is delivered as an echo that cannot match what
// was written, so the device reports the write as not confirmed; no echo at all leaves
// its result open (fail_request).
Exchange ModbusLink::write(SPModbus& device) {
    const Request r = HostAccess::pending_request(device);
    const bool single = r.function == Function::WriteSingleRegister;
    const auto function = static_cast<std::uint8_t>(r.function);
    std::ostringstream what;
    what << function_name(r.function) << " " << r.address << "+" << r.count;

    std::uint8_t req[7 + 2 * qdxhost::kMaxWriteRegisters];
    int length = 0;
    req[0] = static_cast<std::uint8_t>(settings_.slave);
    req[1] = function;
    put_be16(req + 2, static_cast<unsigned>(r.address));
    if (single) {
        put_be16(req + 4, r.values[0]);
        length = 6;
    } else {
        put_be16(req + 4, static_cast<unsigned>(r.count));
        req[6] = static_cast<std::uint8_t>(r.count * 2);
        for (int i = 0; i < r.count; ++i) {
            put_be16(req + 7 + 2 * static_cast<std::ptrdiff_t>(i), r.values[i]);
        }
        length = 7 + 2 * r.count;
    }
    if (modbus_send_raw_request(ctx_, req, length) < 0) {
        return failed(device, what.str(), errno);
    }
    std::uint8_t rsp[MODBUS_MAX_ADU_LENGTH];
    const int rc = modbus_receive_confirmation(ctx_, rsp);
    if (rc < 0) {
        return failed(device, what.str(), errno);
    }
    const int offset = modbus_get_header_length(ctx_);
    if (rc < offset + 2) {
        return failed(device, what.str(), EMBBADDATA);
    }
    last_exchange_ = Clock::now();
    const std::uint8_t echoed_function = rsp[offset];
    const bool echo = echoed_function == function && rc >= offset + 5 &&
                      be16(rsp + offset + 1) == static_cast<unsigned>(r.address);
    if (!echo) {
        if (echoed_function == (function | 0x80U)) {
            log_ << "link: " << what.str() << ": refused with exception "
                 << static_cast<int>(rsp[offset + 1]) << std::endl;
        } else {
            log_ << "link: " << what.str() << ": echo of function "
                 << static_cast<int>(echoed_function) << " does not answer it" << std::endl;
        }
    }
    std::uint16_t words[2] = {};
    if (single) {
        words[0] =
            echo ? be16(rsp + offset + 3) : static_cast<std::uint16_t>(r.values[0] ^ 0xFFFFU);
        HostAccess::reply_registers(device, words, 1);
    } else {
        words[0] = echo ? std::uint16_t{16} : static_cast<std::uint16_t>(echoed_function);
        words[1] = echo ? be16(rsp + offset + 3) : std::uint16_t{0};
        HostAccess::reply_registers(device, words, 2);
    }
    return Exchange::Answered;
}

DriveResult ModbusLink::drive(SPModbus& device, const volatile std::sig_atomic_t* abort) {
    DriveResult result;
    for (unsigned n = 0; HostAccess::has_request(device); ++n) {
        if ((abort != nullptr && *abort != 0) || n >= kMaxRequestsPerDrive) {
            HostAccess::fail_request(device);
            result.aborted = true;
            break;
        }
        result.last = exchange(device);
        if (result.last == Exchange::Answered) {
            ++result.answered;
        } else if (result.last != Exchange::NoRequest) {
            ++result.failed;
        }
    }
    return result;
}

}  // namespace qdxhost
