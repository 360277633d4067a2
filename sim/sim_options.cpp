#include "sim_options.h"

#include <functional>
#include <vector>

#include "file_io.h"
#include "option_table.h"

namespace plantsim {

namespace {

bool known_baud(long long b) {
    static const long long kBauds[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
    for (long long k : kBauds) {
        if (k == b) {
            return true;
        }
    }
    return false;
}

using Handler = std::function<bool(const std::string&, std::string&)>;

template <typename Target>
Handler decimal_into(long long lo, long long hi, Target& target) {
    return [lo, hi, &target](const std::string& v, std::string& error) {
        long long n = 0;
        if (!kv830cli::parse_decimal(v, lo, hi, n)) {
            error = "bad value '" + v + "' (expected " + std::to_string(lo) + ".." +
                    std::to_string(hi) + ")";
            return false;
        }
        target = static_cast<Target>(n);
        return true;
    };
}

struct Parsed {
    SimOptions* o = nullptr;
    int transports = 0;
    bool help = false;
};

// One entry of the table; a call rather than a braced row keeps the formatter from
// aligning the handlers' bodies into columns.
kv830cli::Option option(const char* long_name, char short_name, const char* value_name,
                        const char* help, Handler handler) {
    return kv830cli::Option{long_name, short_name, value_name, help, std::move(handler)};
}

Handler flag_into(bool& target) {
    return [&target](const std::string&, std::string&) {
        target = true;
        return true;
    };
}

std::vector<kv830cli::Option> option_table(Parsed& p) {
    SimOptions& o = *p.o;
    return {
        option("pty", 0, nullptr,
               "create a pseudo-terminal in raw mode, print\n\"pty: /dev/pts/N\" on stdout and "
               "serve RTU on it",
               [&p](const std::string&, std::string&) {
                   p.o->transport = Transport::Pty;
                   ++p.transports;
                   return true;
               }),
        option("rtu", 0, "DEVICE", "serve RTU on a serial device",
               [&p](const std::string& v, std::string&) {
                   p.o->device = v;
                   p.o->transport = Transport::Rtu;
                   ++p.transports;
                   return true;
               }),
        option("tcp", 0, "PORT",
               "serve Modbus TCP on 127.0.0.1:PORT (0 picks a free\nport); prints \"tcp: "
               "127.0.0.1:PORT\" on stdout",
               [&p](const std::string& v, std::string& error) {
                   ++p.transports;
                   p.o->transport = Transport::Tcp;
                   return decimal_into(0, 65535, p.o->tcp_port)(v, error);
               }),
        option("baud", 0, "N", "1200..230400, default 9600",
               [&o](const std::string& v, std::string& error) {
                   long long n = 0;
                   if (!kv830cli::parse_decimal(v, 1, 4000000, n) || !known_baud(n)) {
                       error = "unsupported baud rate '" + v + "'";
                       return false;
                   }
                   o.baud = static_cast<int>(n);
                   return true;
               }),
        option("parity", 0, "N|E|O", "N, E, O or none, even, odd (any case), default N",
               [&o](const std::string& v, std::string& error) {
                   const char c = parse_parity(v);
                   if (c == 0) {
                       error = "bad value '" + v + "' (expected N, E, O, none, even or odd)";
                       return false;
                   }
                   o.parity = c;
                   return true;
               }),
        option("data-bits", 0, "N", "7 or 8, default 8", decimal_into(7, 8, o.data_bits)),
        option("stop-bits", 0, "N", "1 or 2, default 1", decimal_into(1, 2, o.stop_bits)),
        option("slave", 0, "N", "slave address 1..247, default 1", decimal_into(1, 247, o.slave)),
        option("also-slaves", 0, "LIST",
               "comma-separated further slave addresses 1..247 answered\non the same RTU line, "
               "each from the same plant (TCP\nanswers every unit id)",
               [&o](const std::string& list, std::string& error) {
                   std::size_t start = 0;
                   for (;;) {
                       const auto comma = list.find(',', start);
                       const std::string item = list.substr(start, comma - start);
                       long long address = 0;
                       if (!kv830cli::parse_decimal(item, 1, 247, address)) {
                           error = "bad slave address '" + item + "' (expected 1..247)";
                           return false;
                       }
                       o.also_slaves.insert(static_cast<int>(address));
                       if (comma == std::string::npos) {
                           return true;
                       }
                       start = comma + 1;
                   }
               }),
        option("seconds", 0, "N",
               "stop after N seconds with status 0 (default 600;\n0 runs until SIGINT or "
               "SIGTERM)",
               decimal_into(0, 100000000, o.seconds)),
        option("frozen", 0, nullptr, "the plant does not evolve: values change only by writes",
               flag_into(o.frozen)),
        option("seed", 0, "N", "seed of the plant's randomness (default 1)",
               decimal_into(0, 4294967295LL, o.seed)),
        option("dump", 0, "FILE",
               "write the image as JSON to FILE on SIGUSR1 and on exit:\n"
               "{\"holding\":[286 values],\"inputs\":[81 values]}; its folder\nis checked at "
               "start",
               [&o](const std::string& v, std::string&) {
                   o.dump = v;
                   return true;
               }),
        option("apply", 0, "FILE",
               "on SIGUSR2 read FILE and set what it says, one change a\nline: \"holding "
               "REGISTER VALUE\" (as a write from the line)\nor \"input INPUT 0|1\"",
               [&o](const std::string& v, std::string&) {
                   o.apply = v;
                   return true;
               }),
        option("drop-every", 0, "N",
               "ignore every Nth request (counting all requests; 0 off);\nthe ignored request "
               "is not carried out",
               decimal_into(0, 1000000000, o.drop_every)),
        option("exception-at", 0, "LIST",
               "comma-separated holding registers: a read or write that\ncovers one of them "
               "gets exception 2",
               [&o](const std::string& list, std::string& error) {
                   std::size_t start = 0;
                   for (;;) {
                       const auto comma = list.find(',', start);
                       const std::string item = list.substr(start, comma - start);
                       long long reg = 0;
                       if (!kv830cli::parse_decimal(item, 0, 65535, reg)) {
                           error = "bad register '" + item + "' (expected 0..65535)";
                           return false;
                       }
                       o.exception_at.insert(static_cast<int>(reg));
                       if (comma == std::string::npos) {
                           return true;
                       }
                       start = comma + 1;
                   }
               }),
        option("delay-ms", 0, "N", "delay every reply by N ms (0..60000)",
               decimal_into(0, 60000, o.delay_ms)),
        option("corrupt-crc-every", 0, "N", "on RTU, invert the CRC of every Nth reply (0 off)",
               decimal_into(0, 1000000000, o.corrupt_crc_every)),
        option("pace", 0, nullptr,
               "on RTU, take a request's line time and send the reply's bytes at the\n"
               "line's real rate (from the baud rate, data, parity and stop bits)",
               flag_into(o.pace)),
        option("turnaround", 0, "MS", "answer MS ms after the request ended (0..60000)",
               decimal_into(0, 60000, o.turnaround_ms)),
        option("verbose", 0, nullptr, "log each request on stderr", flag_into(o.verbose)),
        option("help", 'h', nullptr, "show this text", flag_into(p.help)),
    };
}

const char* const kUsageHead =
    "Usage: plant-sim (--pty | --rtu DEVICE | --tcp PORT) [options]\n"
    "\n"
    "Simulates the cooling plant's controller as a Modbus slave: holding registers\n"
    "0..285 (functions 03, 06, 16) and discrete inputs 0..80 (function 02).\n"
    "Exactly one of --pty, --rtu and --tcp says where to serve. The line settings\n"
    "apply to RTU; on a pty they set the frame silence only. Numbers are decimal.";

const char* const kUsageTail =
    "SIGINT and SIGTERM end the simulator with status 0 (after the dump, if any).\n"
    "Bad options end it with status 2; a dump that cannot be written with status 1.\n";

}  // namespace

std::string usage_text() {
    SimOptions scratch;
    Parsed p;
    p.o = &scratch;
    return kv830cli::format_help(option_table(p), kUsageHead, kUsageTail);
}

ParseOutcome parse_options(int argc, const char* const* argv, SimOptions& o, std::string& error) {
    Parsed p;
    p.o = &o;
    std::vector<std::string> positional;
    if (!kv830cli::parse_command_line(option_table(p), argc, argv, positional, error)) {
        return ParseOutcome::Error;
    }
    if (p.help) {
        return ParseOutcome::Help;
    }
    if (!positional.empty()) {
        error = "unexpected argument '" + positional.front() + "'";
        return ParseOutcome::Error;
    }
    if (p.transports != 1) {
        error = p.transports == 0 ? "one of --pty, --rtu DEVICE or --tcp PORT is required"
                                  : "give only one of --pty, --rtu and --tcp";
        return ParseOutcome::Error;
    }
    if (!o.dump.empty() && !kv830io::check_folder_writable(o.dump, error)) {
        error = "--dump " + o.dump + ": " + error;
        return ParseOutcome::Error;
    }
    return ParseOutcome::Run;
}

}  // namespace plantsim
