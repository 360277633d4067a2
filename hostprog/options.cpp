#include "options.h"

#include <fcntl.h>
#include <json/reader.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <sstream>

#include "kv830_protocol.h"

namespace kv830host {

namespace {

// long long: a data id reaches 2^32 - 1, beyond a 32-bit target's long.
bool parse_long(const std::string& text, long long min, long long max, long long& out) {
    if (text.empty()) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 0);
    if (errno != 0 || end == nullptr || *end != '\0' || v < min || v > max) {
        return false;
    }
    out = v;
    return true;
}

// "1.5" and "2s" are seconds, "500ms" milliseconds.
bool parse_duration_ms(const std::string& text, double max_ms, double& out_ms) {
    std::string number = text;
    double scale = 1000.0;
    if (number.size() > 2 && number.compare(number.size() - 2, 2, "ms") == 0) {
        number.resize(number.size() - 2);
        scale = 1.0;
    } else if (number.size() > 1 && number.back() == 's') {
        number.pop_back();
    }
    if (number.empty()) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(number.c_str(), &end);
    if (errno != 0 || end == nullptr || *end != '\0' || !std::isfinite(v) || v < 0.0) {
        return false;
    }
    out_ms = v * scale;
    return out_ms <= max_ms;
}

bool read_settings_file(const std::string& path, Json::Value& doc, std::string& error) {
    // Plain POSIX reads, so that a folder or a device given by mistake is refused with
    // the system's own reason rather than taken for an empty document.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot read settings file " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string content;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            error = "cannot read settings file " + path + ": " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (n == 0) {
            break;
        }
        content.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    builder["failIfExtra"] = true;
    builder["rejectDupKeys"] = true;
    std::string errors;
    std::istringstream stream(content);
    if (!Json::parseFromStream(builder, stream, &doc, &errors)) {
        while (!errors.empty() && errors.back() == '\n') {
            errors.pop_back();
        }
        error = "settings file " + path + " is not valid JSON: " + errors;
        return false;
    }
    if (!doc.isObject()) {
        error = "settings file " + path + " must hold a JSON object";
        return false;
    }
    return true;
}

bool parse_write(const std::string& text, WriteRequest& out, std::string& error) {
    const auto eq = text.find('=');
    long long reg = 0;
    if (eq == std::string::npos || !parse_long(text.substr(0, eq), 0, 0xFFFF, reg)) {
        error =
            "--write needs REG=VALUE or REG=V1,V2,... with REG 0 to 65535, not \"" + text + "\"";
        return false;
    }
    out = WriteRequest{};
    out.present = true;
    out.address = static_cast<int>(reg);
    const std::string list = text.substr(eq + 1);
    std::istringstream items(list);
    std::string item;
    while (std::getline(items, item, ',')) {
        long long v = 0;
        if (!parse_long(item, 0, 0xFFFF, v)) {
            error = "--write value \"" + item + "\" is not a number from 0 to 65535";
            return false;
        }
        out.values.push_back(static_cast<std::uint16_t>(v));
    }
    if (out.values.empty() || (!list.empty() && list.back() == ',')) {
        error = "--write needs a value after REG=";
        return false;
    }
    if (out.values.size() > static_cast<std::size_t>(kv830::kMaxWriteRegisters)) {
        error = "--write takes at most 123 values";
        return false;
    }
    if (reg + static_cast<long>(out.values.size()) > 0x10000) {
        error = "--write runs past register 65535";
        return false;
    }
    return true;
}

// Link options given on the command line; they win over the settings document.
struct LinkOverrides {
    std::optional<std::string> device;
    std::optional<std::string> tcp;
    std::optional<int> baud;
    std::optional<char> parity;
    std::optional<int> data_bits;
    std::optional<int> stop_bits;
    std::optional<int> slave;
    std::optional<int> timeout_ms;
    std::optional<int> pause_ms;
    std::optional<int> retries;
};

}  // namespace

std::string usage(const char* program) {
    std::ostringstream u;
    u << "Usage: " << program << " (--device PATH [link options] | --tcp HOST:PORT) [options]\n"
      << "\n"
      << "Loads the kv830.so plant controller driver, polls the controller over Modbus and\n"
      << "prints the signal snapshot (request 801) on standard output when it ends.\n"
      << "\n"
      << "Link (command-line values win over the settings file's \"modbus\" object):\n"
      << "  --device PATH        Modbus RTU on this serial device\n"
      << "  -b, --baud N         baud rate (9600)\n"
      << "  -P, --parity N|E|O   parity: none, even or odd (N)\n"
      << "  -d, --data-bits N    data bits, 5 to 8 (8)\n"
      << "  -s, --stop-bits N    stop bits, 1 or 2 (1)\n"
      << "  -a, --slave N        slave address, 1 to 247; the unit id over TCP, 0 to 255 (1)\n"
      << "  --tcp HOST:PORT      Modbus TCP to this address instead of a serial device\n"
      << "  -t, --timeout T      response timeout (1s)\n"
      << "  --pause T            silence before each request (the line's: 3.5 characters,\n"
      << "                       1.75ms above 19200 baud; none over TCP)\n"
      << "  --retries N          ask again after a lost or garbled reply, 0 to 10 (2)\n"
      << "                       T is seconds (0.5, 2s) or milliseconds (500ms)\n"
      << "\n"
      << "Device:\n"
      << "  --plugin PATH        the driver (kv830.so beside this program)\n"
      << "  --data-id N          the device's data id (1)\n"
      << "  --settings FILE      JSON settings document handed to the device\n"
      << "\n"
      << "Polling and output:\n"
      << "  -l, --interval T     time from the start of one cycle to the next (1s)\n"
      << "  -c, --cycles N       stop after N cycles (run until SIGINT or SIGTERM);\n"
      << "                       0 serves the record stored in the history only\n"
      << "  --watch              print the snapshot after every cycle, not only at the end\n"
      << "  --pretty             print the snapshot as a listing grouped by plant unit\n"
      << "  --output FILE        also write the last snapshot text to FILE, as the device\n"
      << "                       returned it\n"
      << "  --log FILE           append the driver's own messages to FILE (standard\n"
      << "                       error); standard output carries snapshots only, and\n"
      << "                       the cycle, link and write reports go to standard error\n"
      << "\n"
      << "History:\n"
      << "  --history FILE       SQLite file of the completed rounds (kv830-history.db);\n"
      << "                       its newest record is served until the first new cycle\n"
      << "  --no-history         neither read nor write a history\n"
      << "\n"
      << "Write:\n"
      << "  --write REG=VALUE    write one holding register (request 206)\n"
      << "  --write REG=V1,V2,.. write consecutive registers from REG (request 210)\n"
      << "                       The write runs before any cycle (--cycles defaults to 0);\n"
      << "                       its outcome is reported on standard error.\n"
      << "\n"
      << "  -h, --help           this text\n"
      << "\n"
      << "Settings file: {\"modbus\": {\"device\": \"/dev/ttyUSB0\", \"baud\": 9600,\n"
      << "  \"parity\": \"N\", \"data_bits\": 8, \"stop_bits\": 1, \"slave\": 1, \"tcp\": \"\",\n"
      << "  \"timeout_ms\": 1000, \"pause_ms\": 5}, ...}; the whole document also goes to\n"
      << "  the device (appSetting, thresholdSetting).\n"
      << "\n"
      << "Exit status: 0 done (write confirmed); 1 the driver or the history could not be\n"
      << "used; 2 bad command line or settings file; 3 write not confirmed (refused or\n"
      << "mis-echoed); 4 write got no reply.\n";
    return u.str();
}

bool parse_options(int argc, char** argv, Options& out, std::string& error) {
    static const std::map<std::string, std::string> kShort = {
        {"-b", "--baud"     },
        {"-P", "--parity"   },
        {"-d", "--data-bits"},
        {"-s", "--stop-bits"},
        {"-a", "--slave"    },
        {"-t", "--timeout"  },
        {"-l", "--interval" },
        {"-c", "--cycles"   },
        {"-h", "--help"     },
    };
    static const char* const kFlags[] = {"--help", "--watch", "--pretty", "--no-history"};
    static const char* const kValued[] = {
        "--device",    "--tcp",     "--baud",    "--parity",   "--data-bits",
        "--stop-bits", "--slave",   "--timeout", "--pause",    "--interval",
        "--cycles",    "--plugin",  "--data-id", "--settings", "--output",
        "--log",       "--history", "--write",   "--retries",
    };
    LinkOverrides link;
    bool cycles_given = false;
    bool history_given = false;

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool has_value = false;
        if (arg.rfind("--", 0) == 0) {
            const auto eq = arg.find('=');
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg.resize(eq);
                has_value = true;
            }
        } else if (arg.size() > 2 && arg[0] == '-' && kShort.count(arg.substr(0, 2)) != 0) {
            value = arg.substr(2);  // -b9600
            arg.resize(2);
            has_value = true;
        }
        const auto alias = kShort.find(arg);
        if (alias != kShort.end()) {
            arg = alias->second;
        }
        bool flag = false;
        for (const char* f : kFlags) {
            flag = flag || arg == f;
        }
        bool valued = false;
        for (const char* v : kValued) {
            valued = valued || arg == v;
        }
        if (!flag && !valued) {
            error = arg.rfind("-", 0) == 0 ? "unknown option " + arg
                                           : "unexpected argument \"" + arg + "\"";
            return false;
        }
        if (flag) {
            if (has_value) {
                error = arg + " takes no value";
                return false;
            }
        } else if (!has_value) {
            if (i + 1 >= argc) {
                error = arg + " needs a value";
                return false;
            }
            value = argv[++i];
        }

        long long n = 0;
        double ms = 0;
        if (arg == "--help") {
            out.help = true;
        } else if (arg == "--watch") {
            out.watch = true;
        } else if (arg == "--pretty") {
            out.pretty = true;
        } else if (arg == "--no-history") {
            out.history = false;
        } else if (arg == "--device") {
            if (value.empty()) {
                error = "--device needs a path";
                return false;
            }
            link.device = value;
        } else if (arg == "--tcp") {
            std::string host;
            std::string port;
            if (!qdxhost::split_host_port(value, host, port, error)) {
                error = "--tcp " + error;
                return false;
            }
            link.tcp = value;
        } else if (arg == "--baud") {
            if (!parse_long(value, 1, 4000000, n)) {
                error = "--baud needs a positive number, not \"" + value + "\"";
                return false;
            }
            link.baud = static_cast<int>(n);
        } else if (arg == "--parity") {
            const char p = qdxhost::parse_parity(value);
            if (p == 0) {
                error = "--parity needs N, E or O (none, even, odd), not \"" + value + "\"";
                return false;
            }
            link.parity = p;
        } else if (arg == "--data-bits") {
            if (!parse_long(value, 5, 8, n)) {
                error = "--data-bits needs 5 to 8, not \"" + value + "\"";
                return false;
            }
            link.data_bits = static_cast<int>(n);
        } else if (arg == "--stop-bits") {
            if (!parse_long(value, 1, 2, n)) {
                error = "--stop-bits needs 1 or 2, not \"" + value + "\"";
                return false;
            }
            link.stop_bits = static_cast<int>(n);
        } else if (arg == "--slave") {
            if (!parse_long(value, 0, 255, n)) {
                error = "--slave needs 1 to 247 (0 to 255 over TCP), not \"" + value + "\"";
                return false;
            }
            link.slave = static_cast<int>(n);
        } else if (arg == "--timeout") {
            if (!parse_duration_ms(value, 60000.0, ms) || ms < 1.0) {
                error = "--timeout needs 1ms to 60s, not \"" + value + "\"";
                return false;
            }
            link.timeout_ms = static_cast<int>(std::lround(ms));
        } else if (arg == "--pause") {
            if (!parse_duration_ms(value, 60000.0, ms)) {
                error = "--pause needs 0 to 60s, not \"" + value + "\"";
                return false;
            }
            link.pause_ms = static_cast<int>(std::lround(ms));
        } else if (arg == "--retries") {
            if (!parse_long(value, 0, qdxhost::kMaxRetries, n)) {
                error = "--retries needs 0 to 10, not \"" + value + "\"";
                return false;
            }
            link.retries = static_cast<int>(n);
        } else if (arg == "--interval") {
            if (!parse_duration_ms(value, 86400000.0, ms)) {
                error = "--interval needs 0 to 86400s, not \"" + value + "\"";
                return false;
            }
            out.interval_s = ms / 1000.0;
        } else if (arg == "--cycles") {
            if (!parse_long(value, 0, 1000000000L, n)) {
                error = "--cycles needs a count of 0 or more, not \"" + value + "\"";
                return false;
            }
            out.cycles = static_cast<long>(n);
            cycles_given = true;
        } else if (arg == "--plugin") {
            out.plugin = value;
        } else if (arg == "--data-id") {
            if (!parse_long(value, 0, 0xFFFFFFFFLL, n)) {
                error = "--data-id needs a number from 0 to 4294967295, not \"" + value + "\"";
                return false;
            }
            out.data_id = static_cast<unsigned>(n);
        } else if (arg == "--settings") {
            out.settings_file = value;
        } else if (arg == "--output") {
            out.output_file = value;
        } else if (arg == "--log") {
            out.log_file = value;
        } else if (arg == "--history") {
            out.history_file = value;
            history_given = true;
        } else if (arg == "--write") {
            if (out.write.present) {
                error = "--write may be given once";
                return false;
            }
            if (!parse_write(value, out.write, error)) {
                return false;
            }
        } else {
            error = "unknown option " + arg;
            return false;
        }
    }
    if (out.help) {
        return true;
    }
    if (history_given && !out.history) {
        error = "--history and --no-history exclude each other";
        return false;
    }
    if (link.device && link.tcp) {
        error = "--device and --tcp exclude each other";
        return false;
    }
    if (out.history && out.history_file.empty()) {
        error = "--history needs a file name";
        return false;
    }
    if (out.write.present && !cycles_given) {
        out.cycles = 0;
    }

    out.settings = Json::Value(Json::objectValue);
    if (!out.settings_file.empty() && !read_settings_file(out.settings_file, out.settings, error)) {
        return false;
    }
    if (!qdxhost::read_link_settings(out.settings, out.link, error)) {
        error = "settings file " + out.settings_file + ": " + error;
        return false;
    }
    if (link.device) {
        out.link.device = *link.device;
        out.link.tcp.clear();
    }
    if (link.tcp) {
        out.link.tcp = *link.tcp;
        out.link.device.clear();
    }
    if (link.baud)
        out.link.baud = *link.baud;
    if (link.parity)
        out.link.parity = *link.parity;
    if (link.data_bits)
        out.link.data_bits = *link.data_bits;
    if (link.stop_bits)
        out.link.stop_bits = *link.stop_bits;
    if (link.slave)
        out.link.slave = *link.slave;
    if (link.timeout_ms)
        out.link.timeout_ms = *link.timeout_ms;
    if (link.pause_ms)
        out.link.pause_ms = *link.pause_ms;
    if (link.retries)
        out.link.retries = *link.retries;
    if (!out.link.device.empty() && !out.link.tcp.empty()) {
        error = "settings file " + out.settings_file +
                ": modbus.device and modbus.tcp exclude each other";
        return false;
    }
    if (out.link.device.empty() && out.link.tcp.empty()) {
        error = "no link: give --device PATH or --tcp HOST:PORT";
        return false;
    }
    if (!qdxhost::check_link_settings(out.link, error)) {
        if (!out.settings_file.empty()) {
            error = "settings file " + out.settings_file + ": " + error;
        }
        return false;
    }
    return true;
}

}  // namespace kv830host
