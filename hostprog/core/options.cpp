#include "options.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sstream>
#include <utility>

#include "gateway_members.h"
#include "json_text.h"
#include "kv830_protocol.h"
#include "node_id.h"
#include "option_table.h"

namespace kv830host {

namespace {

constexpr long long kMaxBaud = 4000000;
constexpr long long kMaxRetries = 10;
constexpr long long kMaxUnitId = 255;  // a TCP unit id is one byte
constexpr int kFirstRtuAddress = 1;    // 0 is the broadcast address
constexpr int kLastRtuAddress = 247;   // above are reserved
constexpr double kMaxTimeoutMs = 60000.0;
constexpr double kMaxIntervalMs = 86400000.0;
constexpr long long kMaxCycles = 1000000000LL;
constexpr long long kMaxRegister = 0xFFFF;
constexpr auto kMaxWriteValues = static_cast<std::size_t>(kv830::kMaxWriteRegisters);

constexpr const char* kDevicesMember = "devices";

// The top-level members of a settings document that the program or the device reads:
// those of one device, or a list of devices each holding its own, and the gateway's.
const std::vector<std::string>& settings_members() {
    static const std::vector<std::string> members = [] {
        std::vector<std::string> m = device_members();
        m.emplace_back(kDevicesMember);
        for (std::string& name : gateway_member_names(SettingsPlace::OneDevice)) {
            m.push_back(std::move(name));
        }
        return m;
    }();
    return members;
}

bool read_whole_file(const std::string& path, std::string& content, std::string& error) {
    // Non-blocking, so that a FIFO given by mistake is refused instead of waited on.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        error = "cannot read settings file " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "cannot read settings file " + path + ": " +
                (S_ISDIR(st.st_mode) ? std::string(std::strerror(EISDIR))
                                     : std::string("not a regular file"));
        ::close(fd);
        return false;
    }
    if (st.st_size > kMaxSettingsBytes) {
        error = "cannot read settings file " + path + ": larger than " +
                std::to_string(kMaxSettingsBytes) + " bytes";
        ::close(fd);
        return false;
    }
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
        // The file may grow while it is read.
        if (content.size() > static_cast<std::size_t>(kMaxSettingsBytes)) {
            error = "cannot read settings file " + path + ": larger than " +
                    std::to_string(kMaxSettingsBytes) + " bytes";
            ::close(fd);
            return false;
        }
    }
    ::close(fd);
    return true;
}

bool parse_write(const std::string& text, WriteRequest& out, std::string& error) {
    const auto eq = text.find('=');
    long long reg = 0;
    if (eq == std::string::npos ||
        !kv830cli::parse_decimal(text.substr(0, eq), 0, kMaxRegister, reg)) {
        error = "needs REG=VALUE or REG=V1,V2,... with REG 0 to 65535, not \"" + text + "\"";
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
        if (!kv830cli::parse_decimal(item, 0, kMaxRegister, v)) {
            error = "value \"" + item + "\" is not a number from 0 to 65535";
            return false;
        }
        out.values.push_back(static_cast<std::uint16_t>(v));
    }
    if (out.values.empty() || (!list.empty() && list.back() == ',')) {
        error = "needs a value after REG=";
        return false;
    }
    if (out.values.size() > kMaxWriteValues) {
        error = "takes at most " + std::to_string(kMaxWriteValues) + " values";
        return false;
    }
    if (reg + static_cast<long long>(out.values.size()) > kMaxRegister + 1) {
        error = "runs past register 65535";
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
};

// What the handlers of the table fill in.
struct Parsed {
    Options* out = nullptr;
    LinkOverrides link;
    bool data_id_given = false;
    bool settings_given = false;
    bool no_settings = false;
};

using Handler = std::function<bool(const std::string&, std::string&)>;

// A handler storing a decimal number from `min` to `max` through `store`.
template <typename Store>
Handler decimal(long long min, long long max, const char* what, Store store) {
    return [min, max, what, store](const std::string& v, std::string& error) {
        long long n = 0;
        if (!kv830cli::parse_decimal(v, min, max, n)) {
            error = std::string("needs ") + what + ", not \"" + v + "\"";
            return false;
        }
        store(n);
        return true;
    };
}

// A handler storing a duration in milliseconds through `store`.
template <typename Store>
Handler duration(double min_ms, double max_ms, const char* what, Store store) {
    return [min_ms, max_ms, what, store](const std::string& v, std::string& error) {
        double ms = 0.0;
        if (!parse_duration_ms(v, max_ms, ms) || ms < min_ms) {
            error = std::string("needs ") + what + ", not \"" + v + "\"";
            return false;
        }
        store(ms);
        return true;
    };
}

Handler text_into(std::string& target) {
    return [&target](const std::string& v, std::string&) {
        target = v;
        return true;
    };
}

Handler flag_into(bool& target, bool value) {
    return [&target, value](const std::string&, std::string&) {
        target = value;
        return true;
    };
}

// One entry of the table; a call rather than a braced row keeps the formatter from
// aligning the handlers' bodies into columns.
kv830cli::Option option(const char* long_name, char short_name, const char* value_name,
                        const char* help, Handler handler) {
    return kv830cli::Option{long_name, short_name, value_name, help, std::move(handler)};
}

std::vector<kv830cli::Option> program_rows(Parsed& p);

std::vector<kv830cli::Option> option_table(Parsed& p) {
    return program_rows(p);
}

std::vector<kv830cli::Option> program_rows(Parsed& p) {
    Options& o = *p.out;
    LinkOverrides& l = p.link;
    return {
        option("device", 0, "PATH", "Modbus RTU on this serial device",
               [&l](const std::string& v, std::string&) {
                   l.device = v;
                   return true;
               }),
        option("baud", 'b', "N", "baud rate (9600)",
               decimal(1, kMaxBaud, "a positive number",
                       [&l](long long n) { l.baud = static_cast<int>(n); })),
        option("parity", 'P', "N|E|O", "parity: N, E, O or none, even, odd (N)",
               [&l](const std::string& v, std::string& error) {
                   const char c = qdxhost::parse_parity(v);
                   if (c == 0) {
                       error = "needs N, E or O (none, even, odd), not \"" + v + "\"";
                       return false;
                   }
                   l.parity = c;
                   return true;
               }),
        option("data-bits", 'd', "N", "data bits, 5 to 8 (8)",
               decimal(5, 8, "5 to 8", [&l](long long n) { l.data_bits = static_cast<int>(n); })),
        option("stop-bits", 's', "N", "stop bits, 1 or 2 (1)",
               decimal(1, 2, "1 or 2", [&l](long long n) { l.stop_bits = static_cast<int>(n); })),
        option("slave", 'a', "N", "slave address, 1 to 247; the unit id over TCP, 0 to 255\n(1)",
               decimal(0, kMaxUnitId, "0 to 255",
                       [&l](long long n) { l.slave = static_cast<int>(n); })),
        option("tcp", 0, "HOST:PORT", "Modbus TCP to this address instead of a serial device",
               [&l](const std::string& v, std::string& error) {
                   std::string host;
                   std::string port;
                   if (!qdxhost::split_host_port(v, host, port, error)) {
                       return false;
                   }
                   l.tcp = v;
                   return true;
               }),
        option("timeout", 't', "T", "response timeout (1s)",
               duration(1.0, kMaxTimeoutMs, "1ms to 60s",
                        [&l](double ms) { l.timeout_ms = static_cast<int>(std::lround(ms)); })),
        option("pause", 0, "T",
               "silence before each request (3.5 characters on a serial\nline, none over TCP); "
               "T is seconds (0.5, 2s) or\nmilliseconds (500ms)",
               duration(0.0, kMaxTimeoutMs, "0 to 60s",
                        [&l](double ms) { l.pause_ms = static_cast<int>(std::lround(ms)); })),
        option("retries", 0, "N",
               "send a read again up to N times when its reply is lost or\ngarbled, before the "
               "round is given up (2)",
               decimal(0, kMaxRetries, "0 to 10",
                       [&o](long long n) { o.retries = static_cast<int>(n); })),
        option("plugin", 0, "PATH", "the driver (kv830.so beside this program)",
               text_into(o.plugin)),
        option("data-id", 0, "N",
               "the device's data id (1); with a \"devices\" list, the\ndevice --write goes to",
               decimal(0, 0xFFFFFFFFLL, "a number from 0 to 4294967295",
                       [&p](long long n) {
                           p.out->data_id = static_cast<unsigned>(n);
                           p.data_id_given = true;
                       })),
        option("settings", 0, "FILE",
               "JSON settings document handed to the device\n(/etc/kv830/kv830-host.json when it "
               "exists)",
               [&p](const std::string& v, std::string&) {
                   p.out->settings_file = v;
                   p.settings_given = true;
                   return true;
               }),
        option("no-settings", 0, nullptr,
               "read no settings file, not even the default one: the\ncommand line says it all",
               [&p](const std::string&, std::string&) {
                   p.no_settings = true;
                   return true;
               }),
        option("interval", 'l', "T", "time from the start of one cycle to the next (1s)",
               duration(0.0, kMaxIntervalMs, "0 to 86400s",
                        [&o](double ms) { o.interval_s = ms / 1000.0; })),
        option("cycles", 'c', "N",
               "stop after N cycles (run until SIGINT or SIGTERM);\n0 serves the record stored "
               "in the history only",
               decimal(0, kMaxCycles, "a count of 0 or more",
                       [&p](long long n) {
                           p.out->cycles = static_cast<long>(n);
                           p.out->cycles_given = true;
                       })),
        option("log", 0, "FILE",
               "append the driver's own messages to FILE (standard\nerror); standard output "
               "carries snapshots only, and\nthe cycle, link and write reports go to standard "
               "error",
               text_into(o.log_file)),
        option("write", 0, "REG=V[,V...]",
               "write one holding register (request 206), or consecutive\nregisters from REG "
               "(request 210). The write runs before\nany cycle (--cycles defaults to 0); its "
               "outcome is\nreported on standard error",
               [&o](const std::string& v, std::string& error) {
                   return parse_write(v, o.write, error);
               }),
        option("node-id", 0, "ID",
               "this gateway's name in MQTT client ids and Home Assistant\nunique ids (the "
               "settings' \"node_id\", else derived from\n/etc/machine-id)",
               [&o](const std::string& v, std::string& error) {
                   o.node_id = v;
                   return check_node_id(v, error);
               }),
        option("alarm-chatter", 0, "N/M",
               "an alarm that changes more than N times within M minutes\nis marked chattering "
               "and its changes are counted, not\ntold, until it is quiet for M minutes (5/10)",
               [&o](const std::string& v, std::string& error) {
                   return parse_alarm_chatter(v, o.alarm_limits, error);
               }),
        option("help", 'h', nullptr, "this text", flag_into(o.help, true)),
        option("version", 0, nullptr, "the program's version", flag_into(o.version, true)),
    };
}

const char* const kUsageHead =
    "Usage: kv830-host (--device PATH [link options] | --tcp HOST:PORT) [options]\n"
    "\n"
    "Loads the kv830.so plant controller driver, polls the controller over Modbus and\n"
    "prints the signal snapshot (request 801) on standard output when it ends.\n"
    "Link options on the command line win over the settings file's \"modbus\" object.\n"
    "Numbers are decimal: 010 is ten.";

const char* const kUsageTail =
    "Settings file: {\"modbus\": {\"device\": \"/dev/ttyUSB0\", \"baud\": 9600,\n"
    "  \"parity\": \"N\", \"data_bits\": 8, \"stop_bits\": 1, \"slave\": 1, \"tcp\": \"\",\n"
    "  \"timeout_ms\": 1000, \"retries\": 2}, \"appSetting\": {...},\n"
    "  \"thresholdSetting\": {...}}; a regular file of at most 1 MiB. The document also\n"
    "  goes to the device, without the gateway's own members: \"signals\" and\n"
    "  \"server_unit\" (per device) and \"node_id\" (see docs/signals.md); other\n"
    "  top-level members are refused.\n"
    "\n"
    "Several controllers: {\"devices\": [{\"data_id\": 1, \"modbus\": {...},\n"
    "  \"appSetting\": {...}, \"thresholdSetting\": {...}}, ...]} instead of the\n"
    "  top-level members; each entry is one device (data ids 0 to 4294967295, each\n"
    "  once) and its InitSetting gets the entry's own members. The link options and\n"
    "  --data-id are then refused, except --data-id to pick the device of --write.\n"
    "  Devices on one serial line (or one TCP HOST:PORT) share one link and are polled\n"
    "  in turn, so they must agree on its settings; every line has its own thread.\n"
    "  Status lines start with \"[data id] \"; --output needs {data_id} in FILE;\n"
    "  snapshots on standard output are {\"data_id\":N,\"snapshot\":{...}} lines (with\n"
    "  --pretty a \"data id N:\" heading per listing); --mqtt-topic and\n"
    "  --mqtt-client-id take {data_id} and need it; --cycles N exits 5 when no device completed a "
    "round, 7 when some\n"
    "  did not. A device that answers nothing for 3 rounds in a row on a line it shares\n"
    "  is asked every 30 s (doubling to 8 min) until it answers, so that the others keep\n"
    "  their interval.\n"
    "  A cycle on a link that is down waits for its reopening (0.5 s doubling to 8 s):\n"
    "  a run of --cycles N takes at most about N x (the interval, or 8 s when longer,\n"
    "  + timeout x (retries + 1) x the devices on the line).\n"
    "\n"
    "Signals: SIGINT ends the run after the cycle under way (a second one at once);\n"
    "SIGTERM abandons the exchange under way, saves the history and ends with 0 (with\n"
    "--mqtt after at most --mqtt-flush-timeout for the broker);\n"
    "SIGHUP reopens the --log file. Under a service manager ($NOTIFY_SOCKET) the program\n"
    "sends READY=1 once the driver and the history are open, WATCHDOG=1 while it polls,\n"
    "and STOPPING=1.\n";

void apply_overrides(const LinkOverrides& link, qdxhost::LinkSettings& out) {
    if (link.device) {
        out.device = *link.device;
        out.tcp.clear();
    }
    if (link.tcp) {
        out.tcp = *link.tcp;
        out.device.clear();
    }
    if (link.baud) {
        out.baud = *link.baud;
    }
    if (link.parity) {
        out.parity = *link.parity;
    }
    if (link.data_bits) {
        out.data_bits = *link.data_bits;
    }
    if (link.stop_bits) {
        out.stop_bits = *link.stop_bits;
    }
    if (link.slave) {
        out.slave = *link.slave;
    }
    if (link.timeout_ms) {
        out.timeout_ms = *link.timeout_ms;
    }
    if (link.pause_ms) {
        out.pause_ms = *link.pause_ms;
    }
}

// The link's own settings carry the retry count once the link has one.

bool is_container(const Json::Value& v) {
    return v.isArray() || v.isObject();
}

// The command-line options that set one device's link; with a "devices" list each entry
// names its own.
std::vector<std::pair<bool, const char*>> link_options_given(const Parsed& p) {
    const LinkOverrides& l = p.link;
    return {
        {l.device.has_value(),     "--device"   },
        {l.tcp.has_value(),        "--tcp"      },
        {l.baud.has_value(),       "--baud"     },
        {l.parity.has_value(),     "--parity"   },
        {l.data_bits.has_value(),  "--data-bits"},
        {l.stop_bits.has_value(),  "--stop-bits"},
        {l.slave.has_value(),      "--slave"    },
        {l.timeout_ms.has_value(), "--timeout"  },
        {l.pause_ms.has_value(),   "--pause"    },
        {p.out->retries >= 0,      "--retries"  },
    };
}

// The settings document lists "devices": each entry carries its own link, so the command
// line's link options would be ambiguous and are refused; --data-id only picks the device
// a --write goes to.
bool take_device_list(Parsed& p, std::string& error) {
    Options& out = *p.out;
    const std::string file = "settings file " + out.settings_file + ": ";
    for (const auto& [given, name] : link_options_given(p)) {
        if (given) {
            error = std::string(name) +
                    ": the settings file lists \"devices\"; set each device's link in its "
                    "entry's \"modbus\" object";
            return false;
        }
    }
    for (const std::string& member : device_members()) {
        if (out.settings.isMember(member)) {
            error = file;
            error += "\"" + member;
            error += R"(" belongs in each entry of "devices")";
            return false;
        }
    }
    if (!read_device_list(out.settings, out.devices, error)) {
        error = file + error;
        return false;
    }
    out.device_list = true;
    if (p.data_id_given && !out.write.present) {
        error = "--data-id: with a \"devices\" list it only picks the device of --write";
        return false;
    }
    if (p.data_id_given) {
        bool known = false;
        for (const DeviceOptions& d : out.devices) {
            known = known || d.data_id == out.data_id;
        }
        if (!known) {
            error = "--data-id: the settings file lists no device with data id " +
                    std::to_string(out.data_id);
            return false;
        }
    } else if (out.write.present && out.devices.size() > 1) {
        error = "--write: the settings file lists several devices; pick one with --data-id";
        return false;
    } else {
        out.data_id = out.devices.front().data_id;
    }
    out.link = out.devices.front().link;
    return true;
}

}  // namespace

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

std::string usage(const char* program, const std::vector<kv830cli::Option>& extra_rows) {
    Options scratch;
    Parsed p;
    p.out = &scratch;
    std::vector<kv830cli::Option> table = option_table(p);
    table.insert(table.end(), extra_rows.begin(), extra_rows.end());
    std::string head = kUsageHead;
    const std::string name = "kv830-host";
    if (program != nullptr && name != program) {
        head.replace(head.find(name), name.size(), program);
    }
    std::string tail = kUsageTail;
    // The exit statuses come from the one table the program ends by.
    const std::size_t signals = tail.find("Signals:");
    tail.insert(signals == std::string::npos ? tail.size() : signals, exit_status_help() + "\n");
    return kv830cli::format_help(table, head, tail);
}

bool parse_settings_text(const std::string& text, Json::Value& doc, std::string& error) {
    JsonTextRules rules;
    rules.max_depth = kMaxSettingsDepth;
    rules.allow_comments = true;
    if (!read_json_text(text, rules, doc, error)) {
        error = "is " + error;
        return false;
    }
    if (!doc.isObject()) {
        error = "must hold a JSON object";
        return false;
    }
    for (const std::string& name : doc.getMemberNames()) {
        bool known = false;
        for (const std::string& k : settings_members()) {
            known = known || k == name;
        }
        if (!known) {
            error = "unknown member \"" + name + "\"";
            error += kv830cli::did_you_mean(name, settings_members());
            return false;
        }
    }
    return true;
}

bool read_settings_file(const std::string& path, Json::Value& doc, std::string& error) {
    std::string content;
    if (!read_whole_file(path, content, error)) {
        return false;
    }
    if (!parse_settings_text(content, doc, error)) {
        error = "settings file " + path + " " + error;
        return false;
    }
    return true;
}

std::string misshapen_setting(const Json::Value& doc) {
    if (!doc.isObject()) {
        return "the settings document";
    }
    const Json::Value& app = doc["appSetting"];
    if (app.isObject() && is_container(app["b_mode"])) {
        return "appSetting.b_mode";
    }
    const Json::Value& thresholds = doc["thresholdSetting"];
    if (thresholds.isArray()) {
        return "thresholdSetting";
    }
    if (!thresholds.isObject()) {
        return "";
    }
    for (const std::string& key : thresholds.getMemberNames()) {
        const Json::Value& entry = thresholds[key];
        if (!entry.isObject()) {
            continue;
        }
        for (const char* field : {"SignalName", "NMAlarmID", "ID", "SignalNumber"}) {
            if (is_container(entry[field])) {
                return "thresholdSetting." + key + "." + field;
            }
        }
    }
    return "";
}

bool parse_options(int argc, const char* const* argv, Options& out, std::string& error,
                   const std::string& default_settings_file,
                   const std::vector<kv830cli::Option>& extra_rows) {
    Parsed p;
    p.out = &out;
    std::vector<kv830cli::Option> table = option_table(p);
    table.insert(table.end(), extra_rows.begin(), extra_rows.end());
    std::vector<std::string> positional;
    if (!kv830cli::parse_command_line(table, argc, argv, positional, error)) {
        return false;
    }
    if (!positional.empty()) {
        error = "unexpected argument \"" + positional.front() + "\"";
        return false;
    }
    if (out.help || out.version) {
        return true;
    }
    if (p.link.device && p.link.tcp) {
        error = "--device and --tcp exclude each other";
        return false;
    }
    if (out.write.present && !out.cycles_given) {
        out.cycles = 0;
    }

    if (p.settings_given && p.no_settings) {
        error = "--settings and --no-settings exclude each other";
        return false;
    }
    if (!p.no_settings && out.settings_file.empty() && !default_settings_file.empty() &&
        ::access(default_settings_file.c_str(), F_OK) == 0) {
        out.settings_file = default_settings_file;
    }
    out.settings = Json::Value(Json::objectValue);
    if (!out.settings_file.empty() && !read_settings_file(out.settings_file, out.settings, error)) {
        return false;
    }
    GatewayMembers gateway;
    const bool listed = out.settings.isMember(kDevicesMember);
    if (!take_gateway_members(out.settings,
                              listed ? SettingsPlace::ListTop : SettingsPlace::OneDevice, gateway,
                              error)) {
        error = "settings file " + out.settings_file + ": " + error;
        return false;
    }
    if (out.node_id.empty()) {
        out.node_id = gateway.node_id;
    }
    if (listed) {
        return take_device_list(p, error);
    }
    if (!qdxhost::read_link_settings(out.settings, out.link, error)) {
        error = "settings file " + out.settings_file + ": " + error;
        return false;
    }
    apply_overrides(p.link, out.link);
    // A serial line knows fewer addresses than a TCP unit id can name.
    if (p.link.slave && !out.link.is_tcp() &&
        (*p.link.slave < kFirstRtuAddress || *p.link.slave > kLastRtuAddress)) {
        error = "--slave: needs 1 to 247 on a serial line (0 to 255 over TCP), not " +
                std::to_string(*p.link.slave);
        return false;
    }
    if (out.retries >= 0) {
        out.link.retries = out.retries;
    }
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
    out.devices = {
        DeviceOptions{out.data_id, out.settings, out.link, std::move(gateway)}
    };
    return true;
}

}  // namespace kv830host
