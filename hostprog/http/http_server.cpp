#include "http_server.h"

#include <httplib.h>
#include <json/reader.h>
#include <json/value.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "http_settings.h"
#include "kv830_signals.h"
#include "metrics.h"
#include "option_table.h"
#include "write_command.h"

namespace kv830host {

namespace {

// Modbus request 210 writes at most this many registers in one frame.
constexpr const char* kTextPlain = "text/plain; charset=utf-8";
constexpr const char* kJson = "application/json; charset=utf-8";

std::int64_t now_unix_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"') {
            out += "\\\"";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (u < 0x20) {
            char esc[8];
            (void)std::snprintf(esc, sizeof esc, "\\u%04x", u);
            out += esc;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string json_number(double value) {
    if (std::isnan(value) || std::isinf(value)) {
        return "null";
    }
    return format_metric_value(value);
}

std::string iso_time(std::int64_t unix_ms) {
    const auto seconds = static_cast<std::time_t>(unix_ms / 1000);
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char text[96];
    (void)std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ",
                        parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                        parts.tm_min, parts.tm_sec, static_cast<int>(unix_ms % 1000));
    return text;
}

void refuse(httplib::Response& res, int status, const std::string& reason) {
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(reason + "\n", kTextPlain);
}

bool parse_unsigned(const std::string& text, unsigned max, unsigned& out) {
    long long value = 0;
    if (!kv830cli::parse_decimal(text, 0, static_cast<long long>(max), value)) {
        return false;
    }
    out = static_cast<unsigned>(value);
    return true;
}

bool accepts_gzip(const httplib::Request& req) {
    const std::string header = req.get_header_value("Accept-Encoding");
    std::size_t start = 0;
    while (start <= header.size()) {
        std::size_t end = header.find(',', start);
        if (end == std::string::npos) {
            end = header.size();
        }
        std::string item = header.substr(start, end - start);
        const std::size_t semi = item.find(';');
        std::string name = item.substr(0, semi);
        name.erase(0, name.find_first_not_of(" \t"));
        name.erase(name.find_last_not_of(" \t") + 1);
        bool refused = false;
        if (semi != std::string::npos) {
            std::string params = item.substr(semi + 1);
            params.erase(std::remove(params.begin(), params.end(), ' '), params.end());
            refused =
                params == "q=0" || params == "q=0.0" || params == "q=0.00" || params == "q=0.000";
        }
        if ((name == "gzip" || name == "x-gzip" || name == "*") && !refused) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

bool gunzip(const unsigned char* data, std::size_t size, std::string& out) {
    z_stream stream{};
    if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) {
        return false;
    }
    stream.next_in = const_cast<unsigned char*>(data);
    stream.avail_in = static_cast<uInt>(size);
    char buffer[16384];
    int status = Z_OK;
    while (status == Z_OK) {
        stream.next_out = reinterpret_cast<unsigned char*>(buffer);
        stream.avail_out = sizeof buffer;
        status = inflate(&stream, Z_NO_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END) {
            inflateEnd(&stream);
            return false;
        }
        out.append(buffer, sizeof buffer - stream.avail_out);
    }
    inflateEnd(&stream);
    return true;
}

std::string etag_of(const unsigned char* data, std::size_t size) {
    std::uint64_t hash = 1469598103934665603ULL;
    for (std::size_t i = 0; i < size; ++i) {
        hash = (hash ^ data[i]) * 1099511628211ULL;
    }
    char text[24];
    (void)std::snprintf(text, sizeof text, "\"%016" PRIx64 "\"", hash);
    return text;
}

const kv830::SignalRow* find_signal(const std::string& name) {
    for (std::size_t i = 0; i < kv830::kSignalCount; ++i) {
        if (name == kv830::kSignals[i].key) {
            return &kv830::kSignals[i];
        }
    }
    return nullptr;
}

std::vector<std::string> signal_names() {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < kv830::kSignalCount; ++i) {
        names.emplace_back(kv830::kSignals[i].key);
    }
    return names;
}

bool days_in_month_ok(int year, int month, int day) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int days = kDays[month - 1];
    if (month == 2 && ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0)) {
        days = 29;
    }
    return day >= 1 && day <= days;
}

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t days_from_civil(int y, int m, int d) {
    y -= m <= 2 ? 1 : 0;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return static_cast<std::int64_t>(era) * 146097 + doe - 719468;
}

bool take_digits(const std::string& text, std::size_t& pos, std::size_t count, int& out) {
    if (pos + count > text.size()) {
        return false;
    }
    int value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const char c = text[pos + i];
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    pos += count;
    out = value;
    return true;
}

bool take_char(const std::string& text, std::size_t& pos, char c) {
    if (pos < text.size() && text[pos] == c) {
        ++pos;
        return true;
    }
    return false;
}

// Milliseconds of a fraction ".5", ".123456"; digits past the millisecond are ignored.
bool take_fraction(const std::string& text, std::size_t& pos, int& ms) {
    ms = 0;
    if (!take_char(text, pos, '.')) {
        return true;
    }
    std::size_t digits = 0;
    int scale = 100;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        if (digits < 3) {
            ms += (text[pos] - '0') * scale;
            scale /= 10;
        }
        ++digits;
        ++pos;
    }
    return digits > 0 && digits <= 9;
}

}  // namespace

bool parse_time_ms(const std::string& text, std::int64_t& out_ms) {
    if (text.empty() || text.size() > 40) {
        return false;
    }
    if (text.find_first_not_of("0123456789.") == std::string::npos) {
        std::size_t pos = 0;
        std::int64_t seconds = 0;
        std::size_t digits = 0;
        while (pos < text.size() && text[pos] != '.') {
            seconds = seconds * 10 + (text[pos] - '0');
            ++pos;
            if (++digits > 11) {  // past the year 5000: a typo or milliseconds
                return false;
            }
        }
        int ms = 0;
        if (digits == 0 || !take_fraction(text, pos, ms) || pos != text.size()) {
            return false;
        }
        out_ms = seconds * 1000 + ms;
        return true;
    }
    std::size_t pos = 0;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, ms = 0;
    if (!take_digits(text, pos, 4, year) || !take_char(text, pos, '-') ||
        !take_digits(text, pos, 2, month) || !take_char(text, pos, '-') ||
        !take_digits(text, pos, 2, day) ||
        !(take_char(text, pos, 'T') || take_char(text, pos, 't') || take_char(text, pos, ' ')) ||
        !take_digits(text, pos, 2, hour) || !take_char(text, pos, ':') ||
        !take_digits(text, pos, 2, minute)) {
        return false;
    }
    if (take_char(text, pos, ':') &&
        (!take_digits(text, pos, 2, second) || !take_fraction(text, pos, ms))) {
        return false;
    }
    if (month < 1 || month > 12 || !days_in_month_ok(year, month, day) || hour > 23 ||
        minute > 59 || second > 60) {
        return false;
    }
    int offset_min = 0;
    if (take_char(text, pos, 'Z') || take_char(text, pos, 'z')) {
        offset_min = 0;
    } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        const int sign = text[pos] == '-' ? -1 : 1;
        ++pos;
        int oh = 0, om = 0;
        if (!take_digits(text, pos, 2, oh)) {
            return false;
        }
        take_char(text, pos, ':');
        if (!take_digits(text, pos, 2, om) || oh > 23 || om > 59) {
            return false;
        }
        offset_min = sign * (oh * 60 + om);
    } else {
        return false;  // a time without a zone means something else on every machine
    }
    if (pos != text.size()) {
        return false;
    }
    const std::int64_t seconds = days_from_civil(year, month, day) * 86400 +
                                 std::int64_t{hour} * 3600 + std::int64_t{minute} * 60 + second -
                                 std::int64_t{offset_min} * 60;
    out_ms = seconds * 1000 + ms;
    return true;
}

struct HttpServer::Impl {
    struct Asset {
        std::string content_type;
        const unsigned char* gzip = nullptr;
        std::size_t gzip_size = 0;
        std::string identity;  // for clients that refuse gzip
        std::string etag;
    };

    // The outcome of one write, shared with the polling thread that reports it; the
    // polling side may report after the HTTP side has given up waiting.
    struct PendingWrite {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        WriteOutcome outcome;
    };

    Impl(PlantState& s, const HttpLimits& l) : state(s), limits(l) {}

    PlantState& state;
    const HttpLimits limits;
    std::map<std::string, Asset> assets;
    TrendSource* trends = nullptr;
    MetricsSource metrics_source;
    std::string token;
    RemoteWrites* writes = nullptr;
    httplib::Server server;
    std::thread listener;
    std::atomic<bool> stopping{false};
    std::atomic<unsigned> streams{0};
    int bound_port = -1;

    void install_routes();
    void serve_metrics(httplib::Response& res);
    void serve_healthz(httplib::Response& res);
    void serve_snapshot(const httplib::Request& req, httplib::Response& res);
    void serve_status(httplib::Response& res);
    void serve_events(const httplib::Request& req, httplib::Response& res);
    void serve_history(const httplib::Request& req, httplib::Response& res);
    void serve_write(const httplib::Request& req, httplib::Response& res);
    void serve_asset(const httplib::Request& req, httplib::Response& res);
    bool pick_device(const httplib::Request& req, httplib::Response& res, DeviceView& out);
};

void HttpServer::Impl::install_routes() {
    server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        std::size_t bytes = 0;
        for (const auto& header : req.headers) {
            bytes += header.first.size() + header.second.size() + 4;
        }
        if (req.headers.size() > limits.max_headers || bytes > limits.max_header_bytes) {
            refuse(res, 431, "request headers too large");
            return httplib::Server::HandlerResponse::Handled;
        }
        res.set_header("X-Content-Type-Options", "nosniff");
        return httplib::Server::HandlerResponse::Unhandled;
    });
    server.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
        // A client that sent something malformed gets no second request on the same
        // connection, so it cannot keep a worker waiting.
        if (res.status == 400 || res.status == 413 || res.status == 414 || res.status == 431) {
            res.set_header("Connection", "close");
        }
        if (!res.body.empty()) {
            return;
        }
        switch (res.status) {
            case 404:
                res.set_content("not found: " + req.path + "\n", kTextPlain);
                break;
            case 413:
                res.set_content("request body too large\n", kTextPlain);
                break;
            case 414:
                res.set_content("request line too long\n", kTextPlain);
                break;
            default:
                res.set_content("request refused (" + std::to_string(res.status) + ")\n",
                                kTextPlain);
                break;
        }
    });
    server.set_exception_handler(
        [](const httplib::Request&, httplib::Response& res, const std::exception_ptr&) {
            refuse(res, 500, "internal error");
        });

    server.Get("/metrics",
               [this](const httplib::Request&, httplib::Response& res) { serve_metrics(res); });
    server.Get("/healthz",
               [this](const httplib::Request&, httplib::Response& res) { serve_healthz(res); });
    server.Get("/api/snapshot", [this](const httplib::Request& req, httplib::Response& res) {
        serve_snapshot(req, res);
    });
    server.Get("/api/status",
               [this](const httplib::Request&, httplib::Response& res) { serve_status(res); });
    server.Get("/api/events", [this](const httplib::Request& req, httplib::Response& res) {
        serve_events(req, res);
    });
    server.Get("/api/history", [this](const httplib::Request& req, httplib::Response& res) {
        serve_history(req, res);
    });
    server.Post("/api/write", [this](const httplib::Request& req, httplib::Response& res) {
        serve_write(req, res);
    });
    server.Get("/api/write", [](const httplib::Request&, httplib::Response& res) {
        res.set_header("Allow", "POST");
        refuse(res, 405, "use POST for /api/write");
    });
    server.Get(".*", [this](const httplib::Request& req, httplib::Response& res) {
        serve_asset(req, res);
    });
}

void HttpServer::Impl::serve_metrics(httplib::Response& res) {
    MetricsText out;
    write_plant_metrics(state, now_unix_ms(), out);
    out.family("kv830_http_event_streams", "gauge", "Open /api/events streams.");
    out.sample("kv830_http_event_streams", {}, static_cast<unsigned long long>(streams.load()));
    if (metrics_source) {
        metrics_source(out);
    }
    res.set_header("Cache-Control", "no-store");
    res.set_content(out.text(), "text/plain; version=0.0.4; charset=utf-8");
}

void HttpServer::Impl::serve_healthz(httplib::Response& res) {
    const std::vector<DeviceView> devices = state.devices();
    const std::int64_t now = now_unix_ms();
    const auto limit_ms = static_cast<std::int64_t>(state.interval_s() * 3000.0);
    res.set_header("Cache-Control", "no-store");
    if (devices.empty()) {
        refuse(res, 503, "no cycle has ended yet");
        return;
    }
    std::int64_t oldest_ms = 0;
    for (const DeviceView& d : devices) {
        if (d.last_completed_unix_ms == 0 || d.from_history) {
            refuse(res, 503,
                   "data id " + std::to_string(d.data_id) + ": no cycle has completed yet");
            return;
        }
        const std::int64_t age = now - d.last_completed_unix_ms;
        if (age > limit_ms) {
            char text[160];
            (void)std::snprintf(text, sizeof text,
                                "data id %u: last cycle completed %.1f s ago, more than three "
                                "intervals (%.1f s)",
                                d.data_id, static_cast<double>(age) / 1000.0,
                                static_cast<double>(limit_ms) / 1000.0);
            refuse(res, 503, text);
            return;
        }
        oldest_ms = std::max(oldest_ms, age);
    }
    char text[96];
    (void)std::snprintf(text, sizeof text, "ok: %zu device(s), last cycle completed %.1f s ago\n",
                        devices.size(),
                        static_cast<double>(std::max<std::int64_t>(oldest_ms, 0)) / 1000.0);
    res.set_content(text, kTextPlain);
}

bool HttpServer::Impl::pick_device(const httplib::Request& req, httplib::Response& res,
                                   DeviceView& out) {
    if (req.has_param("data_id")) {
        unsigned id = 0;
        const std::string text = req.get_param_value("data_id");
        if (!parse_unsigned(text, 0xFFFFFFFFU, id)) {
            refuse(res, 400, "data_id must be a decimal number");
            return false;
        }
        if (!state.device(id, out)) {
            refuse(res, 404, "no device with data id " + text);
            return false;
        }
        return true;
    }
    const std::vector<DeviceView> devices = state.devices();
    if (devices.empty()) {
        refuse(res, 503, "no cycle has ended yet");
        return false;
    }
    out = devices.front();
    return true;
}

void HttpServer::Impl::serve_snapshot(const httplib::Request& req, httplib::Response& res) {
    DeviceView d;
    if (!pick_device(req, res, d)) {
        return;
    }
    if (!d.snapshot) {
        refuse(res, 503, "data id " + std::to_string(d.data_id) + ": no cycle has completed yet");
        return;
    }
    const bool stale =
        d.last_completed_unix_ms == 0 || now_unix_ms() - d.last_completed_unix_ms > kStaleAfterMs;
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Data-Id", std::to_string(d.data_id));
    res.set_header("X-Last-Completed-Ms", std::to_string(d.last_completed_unix_ms));
    res.set_header("X-Stale", stale ? "1" : "0");
    res.set_header("X-From-History", d.from_history ? "1" : "0");
    res.set_content(*d.snapshot, kJson);
}

void HttpServer::Impl::serve_status(httplib::Response& res) {
    const std::int64_t now = now_unix_ms();
    std::string out =
        "{\"now_unix_ms\":" + std::to_string(now) +
        ",\"interval_s\":" + json_number(state.interval_s()) +
        ",\"stale_after_s\":" + std::to_string(kStaleAfterMs / 1000) +
        ",\"event_streams\":" + std::to_string(streams.load()) +
        // The page offers its write forms only when a write could be taken.
        ",\"writes_enabled\":" + (writes != nullptr && !token.empty() ? "true" : "false") +
        ",\"devices\":[";
    bool first = true;
    for (const DeviceView& d : state.devices()) {
        const bool has = d.last_completed_unix_ms != 0;
        const std::int64_t age = now - d.last_completed_unix_ms;
        out += first ? "{" : ",{";
        first = false;
        out += "\"data_id\":" + std::to_string(d.data_id);
        out += ",\"cycle\":" + std::to_string(d.cycle);
        out +=
            ",\"last_cycle_completed\":" + std::string(d.last_cycle_completed ? "true" : "false");
        out += ",\"last_duration_s\":" + json_number(d.last_duration_s);
        out += ",\"last_completed_unix_ms\":" +
               (has ? std::to_string(d.last_completed_unix_ms) : "null");
        out += ",\"last_completed\":" +
               (has ? json_string(iso_time(d.last_completed_unix_ms)) : "null");
        out += ",\"age_s\":" + (has ? json_number(static_cast<double>(age) / 1000.0) : "null");
        out += ",\"stale\":" + std::string(!has || age > kStaleAfterMs ? "true" : "false");
        out += ",\"from_history\":" + std::string(d.from_history ? "true" : "false");
        out += ",\"answered\":" + std::to_string(d.last[RoundCounter::Answered]);
        out += ",\"failed\":" + std::to_string(d.last[RoundCounter::Failed]);
        out += ",\"requests_answered\":" + std::to_string(d.total(RoundCounter::Answered));
        out += ",\"requests_failed\":" + std::to_string(d.total(RoundCounter::Failed));
        out += ",\"cycles_completed\":" + std::to_string(d.cycles_completed);
        out += ",\"cycles_failed\":" + std::to_string(d.cycles_failed);
        out += ",\"reopens\":" + std::to_string(d.reopens);
        out += ",\"link_up\":" + std::string(d.link_up ? "true" : "false");
        out += "}";
    }
    out += "]}\n";
    res.set_header("Cache-Control", "no-store");
    res.set_content(out, kJson);
}

namespace {

std::string event_text(const CycleEvent& e, const std::shared_ptr<const std::string>& snapshot) {
    std::string data = "{\"seq\":" + std::to_string(e.seq) +
                       ",\"data_id\":" + std::to_string(e.data_id) +
                       ",\"cycle\":" + std::to_string(e.number) +
                       ",\"completed\":" + (e.completed ? "true" : "false") +
                       ",\"duration_s\":" + json_number(e.duration_s) +
                       ",\"answered\":" + std::to_string(e.counters[RoundCounter::Answered]) +
                       ",\"failed\":" + std::to_string(e.counters[RoundCounter::Failed]) +
                       ",\"end_unix_ms\":" + std::to_string(e.end_unix_ms) +
                       ",\"last_completed_unix_ms\":" + std::to_string(e.last_completed_unix_ms);
    if (snapshot) {
        data += ",\"snapshot\":" + *snapshot;
    }
    data += "}";
    // Every line of the data gets its own field, so a line break in a snapshot text cannot
    // end the event early.
    std::string out = "id: " + std::to_string(e.seq) + "\nevent: cycle\n";
    std::size_t start = 0;
    while (start <= data.size()) {
        std::size_t end = data.find('\n', start);
        if (end == std::string::npos) {
            end = data.size();
        }
        if (end > start) {
            out += "data: " + data.substr(start, end - start) + "\n";
        }
        start = end + 1;
    }
    return out + "\n";
}

}  // namespace

void HttpServer::Impl::serve_events(const httplib::Request& req, httplib::Response& res) {
    unsigned filter = 0;
    const bool filtered = req.has_param("data_id");
    if (filtered && !parse_unsigned(req.get_param_value("data_id"), 0xFFFFFFFFU, filter)) {
        refuse(res, 400, "data_id must be a decimal number");
        return;
    }
    const bool with_snapshot = req.get_param_value("snapshot") == "1";
    // Claim a place before holding a worker; the claim is given back when the stream's
    // provider is destroyed, however the stream ends.
    unsigned open = streams.load();
    do {
        if (open >= limits.event_streams) {
            res.set_header("Retry-After", "10");
            refuse(res, 503,
                   "too many event streams open (" + std::to_string(limits.event_streams) +
                       "); poll /api/status instead");
            return;
        }
    } while (!streams.compare_exchange_weak(open, open + 1));

    struct Stream {
        explicit Stream(std::atomic<unsigned>& c) : count(c) {}
        ~Stream() { --count; }
        Stream(const Stream&) = delete;
        Stream& operator=(const Stream&) = delete;
        std::atomic<unsigned>& count;
        std::uint64_t seen = 0;
        bool started = false;
        std::chrono::steady_clock::time_point last_write;
    };
    auto stream = std::make_shared<Stream>(streams);
    stream->seen = state.last_seq();
    // A reconnecting browser names the last event it got; the ones kept since are sent.
    if (req.has_header("Last-Event-ID")) {
        long long value = 0;
        if (kv830cli::parse_decimal(req.get_header_value("Last-Event-ID"), 0,
                                    static_cast<long long>(stream->seen), value)) {
            stream->seen = static_cast<std::uint64_t>(value);
        }
    }
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Accel-Buffering", "no");
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, stream, filter, filtered, with_snapshot](std::size_t, httplib::DataSink& sink) {
            if (stopping.load()) {
                return false;  // drops the connection rather than waiting for its next request
            }
            if (!stream->started) {
                stream->started = true;
                stream->last_write = std::chrono::steady_clock::now();
                const std::string hello = "retry: 3000\n: connected\n\n";
                return sink.write(hello.data(), hello.size());
            }
            // Short waits, so that stop() is noticed without waking each stream by hand.
            state.wait_for_event(stream->seen, std::chrono::milliseconds(250));
            std::string out;
            for (const CycleEvent& e : state.events_after(stream->seen)) {
                stream->seen = e.seq;
                if (filtered && e.data_id != filter) {
                    continue;
                }
                std::shared_ptr<const std::string> snapshot;
                if (with_snapshot && e.completed) {
                    DeviceView d;
                    if (state.device(e.data_id, d)) {
                        snapshot = d.snapshot;
                    }
                }
                out += event_text(e, snapshot);
            }
            const auto now = std::chrono::steady_clock::now();
            if (out.empty() &&
                now - stream->last_write >= std::chrono::seconds(limits.event_heartbeat_s)) {
                out = ": keep-alive\n\n";
            }
            if (out.empty()) {
                return true;
            }
            stream->last_write = now;
            return sink.write(out.data(), out.size());
        });
}

namespace {

// The time a query parameter names, or `absent_ms` when the query leaves it out; false
// when it names no time.
bool time_param(const httplib::Request& req, const char* name, std::int64_t absent_ms,
                std::int64_t& out_ms) {
    if (!req.has_param(name)) {
        out_ms = absent_ms;
        return true;
    }
    return parse_time_ms(req.get_param_value(name), out_ms);
}

}  // namespace

void HttpServer::Impl::serve_history(const httplib::Request& req, httplib::Response& res) {
    if (!req.has_param("signal")) {
        refuse(res, 400, "signal= is missing");
        return;
    }
    const std::string signal = req.get_param_value("signal");
    const kv830::SignalRow* row = find_signal(signal);
    if (row == nullptr) {
        const std::string hint = kv830cli::did_you_mean(signal, signal_names());
        refuse(res, 400, "unknown signal \"" + signal + "\"" + hint);
        return;
    }
    if (row->kind == kv830::SignalKind::Enum) {
        refuse(res, 400, "signal '" + signal + "' is an enumeration, not a number");
        return;
    }
    TrendRequest query;
    query.signal = signal;
    if (!time_param(req, "to", now_unix_ms(), query.to_ms)) {
        refuse(res, 400,
               "to='" + req.get_param_value("to") +
                   "' is neither unix seconds nor ISO 8601 with a zone");
        return;
    }
    if (!time_param(req, "from", query.to_ms - std::int64_t{3600} * 1000, query.from_ms)) {
        refuse(res, 400,
               "from='" + req.get_param_value("from") +
                   "' is neither unix seconds nor ISO 8601 with a zone");
        return;
    }
    if (query.from_ms >= query.to_ms) {
        refuse(res, 400, "from is not before to");
        return;
    }
    query.points = limits.default_history_points;
    if (req.has_param("points") &&
        !parse_unsigned(req.get_param_value("points"), limits.max_history_points, query.points)) {
        refuse(res, 400,
               "points must be a number from 1 to " + std::to_string(limits.max_history_points));
        return;
    }
    if (query.points == 0) {
        refuse(res, 400,
               "points must be a number from 1 to " + std::to_string(limits.max_history_points));
        return;
    }
    if (req.has_param("data_id")) {
        if (!parse_unsigned(req.get_param_value("data_id"), 0xFFFFFFFFU, query.data_id)) {
            refuse(res, 400, "data_id must be a decimal number");
            return;
        }
    } else {
        const std::vector<DeviceView> devices = state.devices();
        if (devices.empty()) {
            refuse(res, 503, "no device has reported yet; give data_id=");
            return;
        }
        query.data_id = devices.front().data_id;
    }
    if (trends == nullptr) {
        refuse(res, 503, "no history is kept by this program");
        return;
    }
    const TrendAnswer answer = trends->trend(query);
    if (!answer.ok) {
        refuse(res, 400, answer.refusal.empty() ? "history refused the query" : answer.refusal);
        return;
    }
    std::string out = "{\"data_id\":" + std::to_string(query.data_id) +
                      ",\"signal\":" + json_string(signal) +
                      ",\"from_ms\":" + std::to_string(query.from_ms) +
                      ",\"to_ms\":" + std::to_string(query.to_ms) + ",\"points\":[";
    out.reserve(out.size() + answer.points.size() * 40);
    bool first = true;
    for (const TrendPoint& p : answer.points) {
        out += first ? "[" : ",[";
        first = false;
        out += std::to_string(p.t_ms);
        out += ',';
        out += json_number(p.min);
        out += ',';
        out += json_number(p.max);
        out += ']';
    }
    out += "]}\n";
    res.set_header("Cache-Control", "no-store");
    res.set_content(out, kJson);
}

namespace {}  // namespace

namespace {

std::string write_answer(const WriteOutcome& outcome) {
    std::string out = "{\"outcome\":" + json_string(write_outcome_text(outcome.kind));
    if (!outcome.reason.empty()) {
        out += ",\"reason\":" + json_string(outcome.reason);
    }
    out += ",\"retried\":" + std::string(outcome.retried ? "true" : "false") + "}\n";
    return out;
}

}  // namespace

void HttpServer::Impl::serve_write(const httplib::Request& req, httplib::Response& res) {
    if (writes == nullptr || token.empty()) {
        refuse(res, 403, "writes are off: start with --http-writes and --http-token-file");
        return;
    }
    const std::string header = req.get_header_value("Authorization");
    const std::string scheme = "Bearer ";
    if (header.size() <= scheme.size() || header.compare(0, scheme.size(), scheme) != 0) {
        res.set_header("WWW-Authenticate", "Bearer realm=\"kv830\"");
        refuse(res, 401, "Authorization: Bearer <token> is missing");
        return;
    }
    if (!same_token(header.substr(scheme.size()), token)) {
        res.set_header("WWW-Authenticate", R"(Bearer realm="kv830", error="invalid_token")");
        refuse(res, 401, "wrong token");
        return;
    }
    auto pending = std::make_shared<PendingWrite>();
    const WriteDone done = [pending](const WriteOutcome& outcome) {
        {
            std::lock_guard<std::mutex> lock(pending->mutex);
            pending->outcome = outcome;
            pending->finished = true;
        }
        pending->done.notify_all();
    };
    RemoteWrite write;
    std::string reason;
    const bool parsed = parse_write_command(req.body, write, reason);
    write.source = "http " + req.remote_addr;
    if (!parsed) {
        writes->refuse(write, WriteRefusal::Malformed, reason, done);
    } else {
        writes->submit(write, done);
    }
    std::unique_lock<std::mutex> lock(pending->mutex);
    if (!pending->done.wait_for(lock, std::chrono::seconds(limits.write_wait_s),
                                [&] { return pending->finished; })) {
        refuse(res, 504,
               "no outcome within " + std::to_string(limits.write_wait_s) +
                   " s; the write may still be carried out");
        return;
    }
    const WriteOutcome outcome = pending->outcome;
    lock.unlock();
    // A body that is not a command is the client's mistake (400); a command the rule
    // refuses is understood and declined (422), as is a controller's refusal.
    if (outcome.refusal == WriteRefusal::Malformed) {
        res.status = 400;
    } else {
        res.status = outcome.kind == WriteOutcome::Kind::Refused ? 422 : 200;
    }
    res.set_header("Cache-Control", "no-store");
    res.set_content(write_answer(outcome), kJson);
}

void HttpServer::Impl::serve_asset(const httplib::Request& req, httplib::Response& res) {
    const std::string path = req.path == "/" ? "/index.html" : req.path;
    const auto found = assets.find(path);
    if (found == assets.end()) {
        refuse(res, 404, "not found: " + req.path);
        return;
    }
    const Asset& asset = found->second;
    // Revalidated on every load, so a new build's page shows at once; unchanged files
    // cost a 304.
    res.set_header("Cache-Control", "no-cache");
    res.set_header("ETag", asset.etag);
    res.set_header("Vary", "Accept-Encoding");
    if (path == "/index.html") {
        res.set_header("Content-Security-Policy",
                       "default-src 'self'; img-src 'self' data:; style-src 'self' "
                       "'unsafe-inline'; frame-ancestors 'none'");
    }
    if (req.get_header_value("If-None-Match") == asset.etag) {
        res.status = 304;
        return;
    }
    // Through a provider of known length: the library compresses a body set whole when
    // the client names gzip at all (even with q=0), which would compress the built-in
    // bytes a second time or send gzip to a client that refused it.
    const char* bytes = reinterpret_cast<const char*>(asset.gzip);
    std::size_t size = asset.gzip_size;
    if (accepts_gzip(req)) {
        res.set_header("Content-Encoding", "gzip");
    } else {
        bytes = asset.identity.data();
        size = asset.identity.size();
    }
    res.set_content_provider(
        size, asset.content_type,
        [bytes](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            return sink.write(bytes + offset, length);
        });
}

HttpServer::HttpServer(PlantState& state, const HttpLimits& limits)
    : impl_(std::make_unique<Impl>(state, limits)) {}

HttpServer::~HttpServer() {
    stop();
}

void HttpServer::set_assets(const HttpAsset* table, std::size_t count) {
    impl_->assets.clear();
    for (std::size_t i = 0; i < count; ++i) {
        Impl::Asset asset;
        asset.content_type = table[i].content_type;
        asset.gzip = table[i].gzip;
        asset.gzip_size = table[i].gzip_size;
        asset.etag = etag_of(table[i].gzip, table[i].gzip_size);
        if (!gunzip(table[i].gzip, table[i].gzip_size, asset.identity)) {
            continue;  // a broken entry is left out rather than served broken
        }
        impl_->assets[table[i].path] = std::move(asset);
    }
}

void HttpServer::set_trends(TrendSource* trends) {
    impl_->trends = trends;
}

void HttpServer::set_metrics_source(MetricsSource source) {
    impl_->metrics_source = std::move(source);
}

void HttpServer::enable_writes(const std::string& token, RemoteWrites& writes) {
    impl_->token = token;
    impl_->writes = &writes;
}

bool HttpServer::start(const std::string& address, int port, std::string& error) {
    Impl& s = *impl_;
    const std::size_t workers = s.limits.event_streams + s.limits.spare_workers;
    s.server.new_task_queue = [workers] { return new httplib::ThreadPool(workers); };
    s.server.set_read_timeout(s.limits.read_timeout_s, 0);
    s.server.set_write_timeout(s.limits.write_timeout_s, 0);
    s.server.set_keep_alive_timeout(s.limits.keep_alive_s);
    s.server.set_payload_max_length(s.limits.max_body_bytes);
    // Address reuse only: the library's default also sets SO_REUSEPORT, which would let a
    // second program bind the same port and take half of the requests.
    s.server.set_socket_options([](auto sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    // Headers and body go out in separate writes; without this the body waits for the
    // client's delayed acknowledgement of the headers.
    s.server.set_tcp_nodelay(true);
    s.install_routes();
    if (port == 0) {
        s.bound_port = s.server.bind_to_any_port(address);
    } else {
        s.bound_port = s.server.bind_to_port(address, port) ? port : -1;
    }
    if (s.bound_port < 0) {
        error = "cannot listen on " + address + ":" + std::to_string(port) + ": " +
                std::strerror(errno);
        return false;
    }
    s.listener = std::thread([&s] { s.server.listen_after_bind(); });
    // The library's stop() does nothing until its loop has marked itself running, so a stop
    // that came sooner would leave the loop, and the join, waiting for good.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!s.server.is_running() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

int HttpServer::port() const {
    return impl_->bound_port;
}

unsigned HttpServer::event_streams() const {
    return impl_->streams.load();
}

void HttpServer::stop() {
    Impl& s = *impl_;
    if (!s.listener.joinable()) {
        return;
    }
    s.stopping = true;
    s.state.wake_all();
    s.server.stop();
    s.listener.join();
}

}  // namespace kv830host
