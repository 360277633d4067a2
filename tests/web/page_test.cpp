// The page in headless Chromium, served by kv830-host --http while it polls the plant
// simulator: what the page shows against /api/snapshot, live updates, the stale marker,
// trends, writes and the requests the page makes.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <json/value.h>
#include <json/writer.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "cdp_client.h"
#include "e2e_support.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kUpdateTimeKey = "更新时间";
constexpr int kStaleAfterS = 61;
constexpr const char* kChilledSupply = "冷冻供水温度";

std::string format_tenths(int counts) {
    return std::to_string(counts / 10) + "." + std::to_string(counts % 10);
}

// A port nothing listens on now: bound to port 0, read back and released.
int free_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        return -1;
    }
    ::close(fd);
    return ntohs(a.sin_port);
}

struct HttpReply {
    int status = 0;  // 0: no answer
    std::string body;
};

// One request on its own connection, bounded in time; the test's own view of the API,
// independent of the page's scripts.
HttpReply http_request(int port, const std::string& method, const std::string& path,
                       const std::string& body = std::string(),
                       const std::string& extra_headers = std::string()) {
    HttpReply reply;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return reply;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return reply;
    }
    std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                          "Connection: close\r\n" + extra_headers;
    if (!body.empty() || method == "POST") {
        request +=
            "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
            "\r\n";
    }
    request += "\r\n" + body;
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
        ::close(fd);
        return reply;
    }
    std::string raw;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) {
            break;
        }
        char chunk[65536];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            break;
        }
        raw.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    const auto end = raw.find("\r\n\r\n");
    if (raw.compare(0, 5, "HTTP/") != 0 || end == std::string::npos) {
        return reply;
    }
    reply.status = static_cast<int>(std::strtol(raw.c_str() + raw.find(' ') + 1, nullptr, 10));
    const std::string head = raw.substr(0, end);
    std::string rest = raw.substr(end + 4);
    if (head.find("chunked") != std::string::npos) {
        std::string joined;
        std::size_t pos = 0;
        while (pos < rest.size()) {
            const auto line_end = rest.find("\r\n", pos);
            if (line_end == std::string::npos) {
                break;
            }
            const std::size_t size = std::stoul(rest.substr(pos, line_end - pos), nullptr, 16);
            if (size == 0) {
                break;
            }
            joined += rest.substr(line_end + 2, size);
            pos = line_end + 2 + size + 2;
        }
        rest = joined;
    }
    reply.body = rest;
    return reply;
}

std::string js_quote(const std::string& text) {
    return Json::valueToQuotedString(text.c_str());
}

// The page's view: every element that shows a signal, with what it shows.
constexpr const char* kPageValues = R"JS(
(() => {
  const out = {};
  for (const e of document.querySelectorAll('[data-signal]')) {
    const shown = e.querySelector(e.dataset.kind === 'value' ? 'td.v' : 'b.st');
    out[e.dataset.signal] = { kind: e.dataset.kind, value: e.dataset.value ?? null,
                              shown: shown ? shown.textContent : null };
  }
  return out;
})()
)JS";

class PageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const e2e::HostRun help = e2e::run_host(dir_, {"--help"}, std::chrono::milliseconds(10000));
        help_ = help.out + help.err;
        if (help_.find("--http") == std::string::npos) {
            GTEST_SKIP() << "kv830-host has no --http option yet: the page tests run once the "
                            "HTTP server is part of kv830-host";
        }
        ASSERT_FALSE(webtest::find_chromium().empty())
            << "Chromium is missing: make deps installs the Debian package chromium";
    }

    void TearDown() override {
        if (browser_ && !HasFatalFailure()) {
            expect_only_local_requests();
        }
        browser_.reset();
        host_.reset();
        sim_.reset();
    }

    // The simulator on TCP and kv830-host polling it every `interval` with the page served.
    void start(bool frozen, const std::vector<std::string>& host_extra = {},
               const std::string& interval = "1s") {
        std::vector<std::string> sim_extra;
        if (frozen) {
            sim_extra.emplace_back("--frozen");
        }
        sim_ = std::make_unique<e2e::Simulator>(dir_, std::vector<std::string>{"--tcp", "0"},
                                                sim_extra);
        ASSERT_TRUE(sim_->started()) << sim_->log();
        port_ = free_port();
        ASSERT_GT(port_, 0);
        std::vector<std::string> args = {
            "--tcp", sim_->address(), "--interval", interval, "--history", dir_.file("history.db"),
            // Trends read what is committed: commit often.
            "--history-commit", "1s", "--http", "127.0.0.1:" + std::to_string(port_)};
        args.insert(args.end(), host_extra.begin(), host_extra.end());
        host_ = std::make_unique<e2e::Process>(e2e::host_argv(args), dir_.file("host.out"),
                                               dir_.file("host.err"));
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        while (Clock::now() < deadline && snapshot().isNull()) {
            ASSERT_TRUE(host_->running()) << host_->err();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ASSERT_FALSE(snapshot().isNull()) << "no snapshot over HTTP: " << host_->err();
        browser_ = std::make_unique<webtest::Browser>(1280, 900);
        ASSERT_TRUE(browser_->ok()) << browser_->error();
        ASSERT_TRUE(browser_->navigate(base() + "/")) << browser_->error();
        ASSERT_TRUE(
            browser_->wait_until("window.kv830 && window.kv830.stats.firstDrawMs !== undefined",
                                 std::chrono::milliseconds(20000)))
            << browser_->error();
    }

    std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }

    Json::Value snapshot() {
        const HttpReply r = http_request(port_, "GET", "/api/snapshot?data_id=1");
        Json::Value doc;
        if (r.status != 200 || !e2e::parse_json(r.body, doc) || !doc.isObject()) {
            return {};
        }
        return doc;
    }

    long long cycle() {
        const HttpReply r = http_request(port_, "GET", "/api/status");
        Json::Value doc;
        if (r.status != 200 || !e2e::parse_json(r.body, doc)) {
            return -1;
        }
        return doc["devices"][0]["cycle"].asInt64();
    }

    Json::Value page_values() { return browser_->evaluate(kPageValues); }

    Json::Value signal_model() {
        const HttpReply r = http_request(port_, "GET", "/api/signals?data_id=1");
        Json::Value doc;
        if (r.status != 200 || !e2e::parse_json(r.body, doc)) {
            return {};
        }
        return doc;
    }

    // A value signal whose value differs between two snapshots a few cycles apart.
    std::string changing_value_signal(Json::Value& before, Json::Value& after) {
        before = snapshot();
        const Json::Value page = page_values();
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        while (Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            after = snapshot();
            for (const std::string& name : after.getMemberNames()) {
                if (page.isMember(name) && page[name]["kind"].asString() == "value" &&
                    before.isMember(name) && before[name] != after[name]) {
                    return name;
                }
            }
        }
        return {};
    }

    void expect_only_local_requests() {
        browser_->pump(std::chrono::milliseconds(100));
        const std::string own = base() + "/";
        for (const std::string& url : browser_->requested_urls()) {
            SCOPED_TRACE(url);
            EXPECT_TRUE(url.compare(0, own.size(), own) == 0 || url.rfind("data:", 0) == 0 ||
                        url == "about:blank")
                << "the page asked for something outside the program";
        }
        EXPECT_FALSE(browser_->requested_urls().empty());
    }

    e2e::TempDir dir_;
    std::string help_;
    int port_ = -1;
    std::unique_ptr<e2e::Simulator> sim_;
    std::unique_ptr<e2e::Process> host_;
    std::unique_ptr<webtest::Browser> browser_;
};

TEST_F(PageTest, EveryValueOnThePageEqualsTheSnapshot) {
    ASSERT_NO_FATAL_FAILURE(start(true));
    // A frozen plant: the page and the snapshot cannot drift apart between the two reads.
    ASSERT_TRUE(browser_->wait_until(
        "[...document.querySelectorAll('[data-signal]')].every(e => e.dataset.value !== "
        "undefined)",
        std::chrono::milliseconds(10000)));
    const Json::Value snap = snapshot();
    const Json::Value page = page_values();
    const Json::Value model = signal_model()["signals"];
    ASSERT_TRUE(model.isObject());
    const Json::Value shown_time =
        browser_->evaluate("document.getElementById('ctime').textContent");
    const Json::Value snap_after = snapshot();
    ASSERT_TRUE(snap.isObject());
    ASSERT_TRUE(page.isObject()) << browser_->error();
    EXPECT_EQ(page.size() + 1, snap.size()) << "every member but the update time has a place";
    int shown_units = 0;
    for (const std::string& name : snap.getMemberNames()) {
        if (name == kUpdateTimeKey) {
            continue;
        }
        SCOPED_TRACE(name);
        ASSERT_TRUE(page.isMember(name));
        const Json::Value& shown = page[name];
        const Json::Value& want = snap[name];
        if (want.isString()) {
            EXPECT_EQ(shown["value"].asString(), want.asString());
            EXPECT_EQ(shown["shown"].asString(), want.asString());
        } else {
            EXPECT_DOUBLE_EQ(std::stod(shown["value"].asString()), want.asDouble());
            if (shown["kind"].asString() == "value") {
                // The counts in the signal's unit: "6.5 °C" for 65 counts of 0.1 °C.
                const Json::Value& m = model[name];
                ASSERT_TRUE(m.isObject());
                const double counts = m["signed"].asBool() && want.asDouble() > 32767
                                          ? want.asDouble() - 65536
                                          : want.asDouble();
                char text[64];
                std::snprintf(text, sizeof text, "%.*f", m["decimals"].asInt(),
                              counts * m["scale"].asDouble() + m["offset"].asDouble());
                const std::string unit = m["unit_of_measurement"].asString();
                std::string expected = text;
                expected = expected == "-0.0" || expected == "-0" ? expected.substr(1) : expected;
                EXPECT_EQ(shown["shown"].asString(),
                          unit.empty() ? expected : expected + " " + unit);
                shown_units += unit.empty() ? 0 : 1;
            } else {
                EXPECT_NE(shown["shown"].asString(), "—");
            }
        }
    }
    EXPECT_GT(shown_units, 100) << "values shown without their unit";
    // A known register: the chilled-water supply in 0.1 °C counts.
    EXPECT_EQ(page[kChilledSupply]["shown"].asString(),
              format_tenths(snap[kChilledSupply].asInt()) + " °C");
    // The controller's clock moves on even in a frozen plant: the page shows the time of the
    // snapshot it has, read between the two requests.
    // A busy machine may let a cycle complete between them, so within a few seconds.
    const auto seconds_of = [](const std::string& text) {
        std::tm t{};
        // Every field is a few digits of the page's clock, and all six are counted.
        // NOLINTNEXTLINE(cert-err34-c)
        if (std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d", &t.tm_year, &t.tm_mon, &t.tm_mday,
                        &t.tm_hour, &t.tm_min, &t.tm_sec) != 6) {
            return -1LL;
        }
        t.tm_year -= 1900;
        t.tm_mon -= 1;
        return static_cast<long long>(timegm(&t));
    };
    const long long shown_s = seconds_of(shown_time.asString());
    ASSERT_GE(shown_s, 0) << shown_time.asString();
    EXPECT_EQ(shown_time.asString().size(), std::string("2026-12-08 09:05:00").size())
        << "padded as the last cycle's time beside it: " << shown_time.asString();
    EXPECT_GE(shown_s, seconds_of(snap[kUpdateTimeKey].asString()) - 3) << shown_time.asString();
    EXPECT_LE(shown_s, seconds_of(snap_after[kUpdateTimeKey].asString()) + 3)
        << shown_time.asString();
    EXPECT_EQ(browser_->evaluate("document.getElementById('state').textContent").asString(),
              "LIVE");
    EXPECT_TRUE(browser_->evaluate("document.getElementById('stale').hidden").asBool());
}

TEST_F(PageTest, AValueTheSimulatorChangesShowsWithinTwoCycles) {
    // Cycles of two seconds: the bound is counted in cycles, and a machine busy compiling
    // should not turn a browser's scheduling delay into a failure.
    ASSERT_NO_FATAL_FAILURE(start(false, {}, "2s"));
    Json::Value before;
    Json::Value after;
    const long long first = cycle();
    const std::string name = changing_value_signal(before, after);
    ASSERT_FALSE(name.empty()) << "no value signal changed in 20 s; " << browser_->error();
    const long long changed_in = cycle();
    ASSERT_GE(changed_in, first);
    const std::string shown =
        "(() => { const r = [...document.querySelectorAll('tr[data-signal]')]"
        ".find(r => r.dataset.signal === " +
        js_quote(name) +
        "); return r && Number(r.dataset.value) !== " + std::to_string(before[name].asDouble()) +
        "; })()";
    ASSERT_TRUE(browser_->wait_until(shown, std::chrono::milliseconds(15000))) << name;
    const long long seen_in = cycle();
    EXPECT_LE(seen_in - changed_in, 2)
        << name << " changed in cycle " << changed_in << " and showed in cycle " << seen_in;
}

TEST_F(PageTest, StaleMarkerAppearsAfterTheSimulatorStops) {
    ASSERT_NO_FATAL_FAILURE(start(false));
    EXPECT_TRUE(browser_->evaluate("document.getElementById('stale').hidden").asBool());
    const auto stopped = Clock::now();
    sim_->stop();
    ASSERT_TRUE(
        browser_->wait_until("!document.getElementById('stale').hidden && "
                             "document.body.classList.contains('is-stale') && "
                             "document.getElementById('state').textContent === 'STALE'",
                             std::chrono::seconds(kStaleAfterS + 40)));
    // Not before the device's own limit: a slow cycle is not stale data.
    EXPECT_GE(Clock::now() - stopped, std::chrono::seconds(kStaleAfterS - 3));
}

TEST_F(PageTest, TrendOfAChangingSignalDrawsPoints) {
    ASSERT_NO_FATAL_FAILURE(start(false));
    Json::Value before;
    Json::Value after;
    const std::string name = changing_value_signal(before, after);
    ASSERT_FALSE(name.empty()) << "no value signal changed in 20 s";
    std::this_thread::sleep_for(std::chrono::seconds(3));  // a few more rows in the history
    const std::string open =
        "(() => { const r = [...document.querySelectorAll('tr[data-signal]')]"
        ".find(r => r.dataset.signal === " +
        js_quote(name) + "); r.querySelector('button.tr').click(); return true; })()";
    ASSERT_TRUE(browser_->evaluate(open).asBool()) << browser_->error();
    ASSERT_TRUE(
        browser_->wait_until("window.kv830.stats.trend && "
                             "window.kv830.stats.trend.signal === " +
                                 js_quote(name),
                             std::chrono::milliseconds(10000)));
    const Json::Value stats = browser_->evaluate("window.kv830.stats.trend");
    EXPECT_FALSE(stats.isMember("error")) << stats["error"].asString();
    EXPECT_GE(stats["points"].asInt(), 2);
    // The line is drawn in the accent colour: count its pixels on the canvas. The page may
    // draw a frame after it records the trend, so a loaded machine gets a moment.
    const std::string accent_pixels = R"JS(
(() => {
  const c = document.getElementById('trend-canvas');
  const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
  let n = 0;
  for (let i = 0; i < d.length; i += 4) {
    if (d[i + 3] > 200 && d[i + 2] > 200 && d[i] < 140 && d[i + 1] > 150) n++;
  }
  return n;
})()
)JS";
    EXPECT_TRUE(browser_->wait_until(accent_pixels + " > 20", std::chrono::milliseconds(5000)))
        << "no line on the canvas: " << browser_->evaluate(accent_pixels).asInt() << " pixels";
}

TEST_F(PageTest, AWriteReachesTheSimulatorOnlyWithTheToken) {
    const std::regex token_option("(--http-token[-a-z]*)");
    std::smatch m;
    if (help_.find("--http-writes") == std::string::npos ||
        !std::regex_search(help_, m, token_option)) {
        GTEST_SKIP() << "kv830-host has no --http-writes with a token file yet";
    }
    // Long enough and private to its owner, as kv830-host asks of a token file.
    const std::string token = "page-test-token-5f2c9a41";
    e2e::write_file(dir_.file("token"), token + "\n");
    ASSERT_EQ(::chmod(dir_.file("token").c_str(), 0600), 0);
    ASSERT_NO_FATAL_FAILURE(start(true, {"--http-writes", m.str(1), dir_.file("token")}));
    ASSERT_TRUE(
        browser_->wait_until("document.querySelector('tr.setting form.w') && "
                             "!document.querySelector('tr.setting form.w').hidden",
                             std::chrono::milliseconds(10000)))
        << "no writable setting offered a form";
    const Json::Value setting = browser_->evaluate(
        "(() => { const r = document.querySelector('tr.setting'); return { name: "
        "r.dataset.signal, value: r.dataset.value }; })()");
    const std::string name = setting["name"].asString();
    const int old_value = std::stoi(setting["value"].asString());
    // A step from the present value stays within the setting's range, which the write
    // rule holds every remote write to.
    const int wanted_value = old_value > 1 ? old_value - 1 : old_value + 1;
    SCOPED_TRACE(name);
    // The form takes the setting's unit and sends counts.
    const Json::Value traits = signal_model()["signals"][name];
    ASSERT_TRUE(traits.isObject());
    const auto in_unit = [&traits](double counts) {
        char text[64];
        std::snprintf(text, sizeof text, "%.*f", traits["decimals"].asInt(),
                      counts * traits["scale"].asDouble() + traits["offset"].asDouble());
        return std::string(text);
    };
    const std::string refused_value = in_unit(wanted_value);

    const auto submit = [&](const std::string& presented, const std::string& value) {
        const std::string js =
            "(() => { document.getElementById('token').value = " + js_quote(presented) +
            "; const r = [...document.querySelectorAll('tr.setting')].find(r => "
            "r.dataset.signal === " +
            js_quote(name) +
            "); const f = r.querySelector('form.w'); f.querySelector('output').textContent = ''; "
            "f.querySelector('input').value = '" +
            value + "'; f.requestSubmit(); return true; })()";
        browser_->evaluate(js);
        const std::string done =
            "(() => { const t = [...document.querySelectorAll('tr.setting')]"
            ".find(r => r.dataset.signal === " +
            js_quote(name) +
            ").querySelector('output').textContent; return t && t !== "
            "'sending…'; })()";
        browser_->wait_until(done, std::chrono::milliseconds(15000));
        return browser_
            ->evaluate(
                "[...document.querySelectorAll('tr.setting')].find(r => "
                "r.dataset.signal === " +
                js_quote(name) + ").querySelector('output').textContent")
            .asString();
    };

    // Without a token and with a wrong one: refused, and the plant keeps its value.
    EXPECT_NE(submit("", refused_value).find("token"), std::string::npos);
    EXPECT_EQ(submit("not-the-token", refused_value).rfind("refused", 0), 0u);
    const HttpReply bare =
        http_request(port_, "POST", "/api/write", R"({"data_id":1,"register":0,"values":[1]})");
    EXPECT_TRUE(bare.status == 401 || bare.status == 403) << bare.status << " " << bare.body;
    const long long c0 = cycle();
    while (cycle() < c0 + 2) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    EXPECT_DOUBLE_EQ(snapshot()[name].asDouble(), old_value);

    // Outside the setting's range: refused in the form, nothing sent.
    const std::string above =
        std::to_string(traits["max"].asDouble() + 10 * traits["scale"].asDouble());
    const auto audited = [this] {
        const std::string err = host_->err();
        std::size_t n = 0;
        for (std::size_t at = err.find("write from http"); at != std::string::npos;
             at = err.find("write from http", at + 1)) {
            ++n;
        }
        return n;
    };
    const std::size_t audited_before = audited();
    EXPECT_NE(submit(token, above).find(" is outside "), std::string::npos);
    EXPECT_EQ(audited(), audited_before) << "a write outside the range reached the program";

    // With the token: confirmed, and the simulator holds the value.
    EXPECT_EQ(submit(token, in_unit(wanted_value)), "confirmed");
    const Json::Value meta = browser_->evaluate(
        "fetch('/signals.json').then(r => r.json()).then(m => m.signals.find(s => s.name === " +
        js_quote(name) + "))");
    ASSERT_TRUE(meta.isObject()) << browser_->error();
    sim_->stop();
    std::vector<int> holding;
    std::vector<int> inputs;
    ASSERT_TRUE(sim_->read_dump(holding, inputs));
    const auto reg = static_cast<std::size_t>(meta["source"].asInt());
    ASSERT_LT(reg, holding.size());
    EXPECT_EQ(holding[reg], wanted_value);
}

}  // namespace
