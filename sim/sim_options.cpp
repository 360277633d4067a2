#include "sim_options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <vector>

#include "serial_params.h"

namespace plantsim {

namespace {

// long long: a seed reaches 2^32 - 1, beyond a 32-bit target's long.
bool to_long(const std::string& text, long long lo, long long hi, long long& out) {
    if (text.empty() || text.size() > 18) {
        return false;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) {
        return false;
    }
    out = v;
    return true;
}

bool known_baud(long b) {
    static const long kBauds[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
    for (long k : kBauds) {
        if (k == b) {
            return true;
        }
    }
    return false;
}

}  // namespace

const char* usage_text() {
    return "usage: plant-sim (--pty | --rtu DEVICE | --tcp PORT) [options]\n"
           "\n"
           "Simulates the cooling plant's controller as a Modbus slave: holding registers\n"
           "0..285 (functions 03, 06, 16) and discrete inputs 0..80 (function 02).\n"
           "\n"
           "Where to serve (exactly one):\n"
           "  --pty                  create a pseudo-terminal in raw mode, print\n"
           "                         \"pty: /dev/pts/N\" on stdout and serve RTU on it\n"
           "  --rtu DEVICE           serve RTU on a serial device\n"
           "  --tcp PORT             serve Modbus TCP on 127.0.0.1:PORT (0 picks a free port);\n"
           "                         prints \"tcp: 127.0.0.1:PORT\" on stdout\n"
           "\n"
           "Line settings (RTU; on a pty they set the frame silence only):\n"
           "  --baud N               1200..230400, default 9600\n"
           "  --parity N|E|O         default N (or none, even, odd)\n"
           "  --data-bits N          7 or 8, default 8\n"
           "  --stop-bits N          1 or 2, default 1\n"
           "  --slave N              slave address 1..247, default 1\n"
           "\n"
           "Plant:\n"
           "  --seconds N            stop after N seconds with status 0 (default 600;\n"
           "                         0 runs until SIGINT or SIGTERM)\n"
           "  --frozen               the plant does not evolve: values change only by writes\n"
           "  --seed N               seed of the plant's randomness (default 1)\n"
           "  --dump FILE            write the image as JSON to FILE on SIGUSR1 and on exit:\n"
           "                         {\"holding\":[286 values],\"inputs\":[81 values]}\n"
           "\n"
           "Faults to inject:\n"
           "  --drop-every N         ignore every Nth request (counting all requests; 0 off);\n"
           "                         the ignored request is not carried out\n"
           "  --exception-at LIST    comma-separated holding registers: a read or write that\n"
           "                         covers one of them gets exception 2\n"
           "  --delay-ms N           delay every reply by N ms (0..60000)\n"
           "  --corrupt-crc-every N  on RTU, invert the CRC of every Nth reply (0 off)\n"
           "\n"
           "Line timing:\n"
           "  --pace                 on RTU, take a request's line time and send the reply's\n"
           "                         bytes at the line's real rate (from the baud rate, data,\n"
           "                         parity and stop bits)\n"
           "  --turnaround MS        answer MS ms after the request ended (0..60000)\n"
           "  --verbose              log each request on stderr\n"
           "  --help                 show this text\n"
           "\n"
           "SIGINT and SIGTERM end the simulator with status 0 (after the dump, if any).\n"
           "Bad options end it with status 2.\n";
}

ParseOutcome parse_options(int argc, const char* const* argv, SimOptions& o, std::string& error) {
    std::vector<std::string> args(argv + 1, argv + argc);
    int transports = 0;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool has_inline = false;
        const auto eq = name.find('=');
        if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            has_inline = true;
        }
        auto take = [&](std::string& out) {
            if (has_inline) {
                out = value;
                return true;
            }
            if (i + 1 >= args.size()) {
                error = "option " + name + " needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        // Every range fits the field it fills, so the narrowing after the check is exact.
        auto number = [&](long long lo, long long hi, auto& out) {
            std::string text;
            if (!take(text)) {
                return false;
            }
            long long parsed = 0;
            if (!to_long(text, lo, hi, parsed)) {
                error = "bad value for " + name + ": '" + text + "' (expected " +
                        std::to_string(lo) + ".." + std::to_string(hi) + ")";
                return false;
            }
            out = static_cast<std::remove_reference_t<decltype(out)>>(parsed);
            return true;
        };
        auto flag = [&]() {
            if (has_inline) {
                error = "option " + name + " takes no value";
                return false;
            }
            return true;
        };
        long n = 0;
        if (name == "--help" || name == "-h") {
            return ParseOutcome::Help;
        } else if (name == "--pty") {
            if (!flag())
                return ParseOutcome::Error;
            o.transport = Transport::Pty;
            ++transports;
        } else if (name == "--rtu") {
            if (!take(o.device))
                return ParseOutcome::Error;
            if (o.device.empty()) {
                error = "--rtu needs a device path";
                return ParseOutcome::Error;
            }
            o.transport = Transport::Rtu;
            ++transports;
        } else if (name == "--tcp") {
            if (!number(0, 65535, n))
                return ParseOutcome::Error;
            o.tcp_port = static_cast<int>(n);
            o.transport = Transport::Tcp;
            ++transports;
        } else if (name == "--baud") {
            if (!number(1, 4000000, n))
                return ParseOutcome::Error;
            if (!known_baud(n)) {
                error = "unsupported baud rate " + std::to_string(n);
                return ParseOutcome::Error;
            }
            o.baud = static_cast<int>(n);
        } else if (name == "--parity") {
            std::string p;
            if (!take(p))
                return ParseOutcome::Error;
            o.parity = kv830cli::parse_parity(p);
            if (o.parity == 0) {
                error = "bad value for --parity: '" + p + "' (expected N, E, O, none, even or odd)";
                return ParseOutcome::Error;
            }
        } else if (name == "--data-bits") {
            if (!number(7, 8, n))
                return ParseOutcome::Error;
            o.data_bits = static_cast<int>(n);
        } else if (name == "--stop-bits") {
            if (!number(1, 2, n))
                return ParseOutcome::Error;
            o.stop_bits = static_cast<int>(n);
        } else if (name == "--slave") {
            if (!number(1, 247, n))
                return ParseOutcome::Error;
            o.slave = static_cast<int>(n);
        } else if (name == "--seconds") {
            if (!number(0, 100000000, o.seconds))
                return ParseOutcome::Error;
        } else if (name == "--frozen") {
            if (!flag())
                return ParseOutcome::Error;
            o.frozen = true;
        } else if (name == "--seed") {
            if (!number(0, 4294967295LL, n))
                return ParseOutcome::Error;
            o.seed = static_cast<std::uint32_t>(n);
        } else if (name == "--dump") {
            if (!take(o.dump))
                return ParseOutcome::Error;
            if (o.dump.empty()) {
                error = "--dump needs a file name";
                return ParseOutcome::Error;
            }
        } else if (name == "--drop-every") {
            if (!number(0, 1000000000, o.drop_every))
                return ParseOutcome::Error;
        } else if (name == "--exception-at") {
            std::string list;
            if (!take(list))
                return ParseOutcome::Error;
            std::size_t start = 0;
            while (true) {
                const auto comma = list.find(',', start);
                const std::string item = list.substr(start, comma - start);
                long long reg = 0;
                if (!to_long(item, 0, 65535, reg)) {
                    error = "bad register '" + item + "' in --exception-at (expected 0..65535)";
                    return ParseOutcome::Error;
                }
                o.exception_at.insert(static_cast<int>(reg));
                if (comma == std::string::npos)
                    break;
                start = comma + 1;
            }
        } else if (name == "--delay-ms") {
            if (!number(0, 60000, o.delay_ms))
                return ParseOutcome::Error;
        } else if (name == "--corrupt-crc-every") {
            if (!number(0, 1000000000, o.corrupt_crc_every))
                return ParseOutcome::Error;
        } else if (name == "--pace") {
            if (!flag())
                return ParseOutcome::Error;
            o.pace = true;
        } else if (name == "--turnaround") {
            if (!number(0, 60000, o.turnaround_ms))
                return ParseOutcome::Error;
        } else if (name == "--verbose") {
            if (!flag())
                return ParseOutcome::Error;
            o.verbose = true;
        } else {
            error = "unknown option '" + args[i] + "'";
            return ParseOutcome::Error;
        }
    }
    if (transports != 1) {
        error = transports == 0 ? "one of --pty, --rtu DEVICE or --tcp PORT is required"
                                : "give only one of --pty, --rtu and --tcp";
        return ParseOutcome::Error;
    }
    return ParseOutcome::Run;
}

}  // namespace plantsim
