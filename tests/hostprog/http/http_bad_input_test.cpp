// Writes and hostile input: nothing is handed on unless the token, the body and the
// program's write rule hold, and no malformed, huge, slow or silent client gets in the way
// of the others.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "auth_throttle.h"
#include "http_server.h"
#include "http_test_support.h"
#include "write_policy.h"

namespace {

using kv830host::HttpServer;
using kv830host::PlantState;
using kv830host::WriteCommand;
using kv830host::WriteOutcome;
using kv830test::completed_report;
using kv830test::raw_get;
using kv830test::raw_request;

constexpr const char* kToken = "s3cret-token-0123456789";

// Registers of the signal table for the write rows: settings an operator may write, and
// one that is not (a measurement).
struct Registers {
    std::vector<int> settings;
    int measured = -1;
    int setting_before_other = -1;  // a setting whose next register is not one
    Registers() {
        for (std::size_t i = 0; i < kv830::kSignalCount; ++i) {
            const kv830::SignalRow& row = kv830::kSignals[i];
            if (row.kind == kv830::SignalKind::Input) {
                continue;
            }
            if (row.setting) {
                settings.push_back(row.source);
            } else if (measured < 0) {
                measured = row.source;
            }
        }
        std::sort(settings.begin(), settings.end());
        settings.erase(std::unique(settings.begin(), settings.end()), settings.end());
        for (const int r : settings) {
            if (setting_before_other < 0 &&
                !std::binary_search(settings.begin(), settings.end(), r + 1)) {
                setting_before_other = r;
            }
        }
    }
};
const Registers& registers() {
    static const Registers r;
    return r;
}

// Stands in for the polling thread of the line behind the program's write rule: takes
// commands in order and reports each outcome from its own thread, as the program's loop
// does. The second setting is refused by the controller; the third never gets an answer.
class PollingLine {
  public:
    PollingLine() : thread_([this] { run(); }) {}
    ~PollingLine() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    kv830host::WritePolicy::Dispatch dispatch() {
        return [this](const WriteCommand& c, kv830host::WriteDone done) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                received_.push_back(c);
                queue_.emplace_back(c, std::move(done));
            }
            wake_.notify_all();
        };
    }
    std::vector<WriteCommand> received() {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }

  private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
            if (stop_) {
                return;
            }
            auto item = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            WriteOutcome outcome;
            if (item.first.address == registers().settings[1]) {
                outcome.kind = WriteOutcome::Kind::Refused;
                outcome.reason = "exception 2";
                outcome.exception = 2;
                item.second(outcome);
            } else if (item.first.address != registers().settings[2]) {
                outcome.kind = WriteOutcome::Kind::Confirmed;
                item.second(outcome);
            }
            lock.lock();
        }
    }
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::pair<WriteCommand, kv830host::WriteDone>> queue_;
    std::vector<WriteCommand> received_;
    bool stop_ = false;
    std::thread thread_;
};

// The audit lines, written by the server's and the line's threads, read by the test's.
class AuditText : public std::stringbuf {
  public:
    std::string text() {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        return str();
    }

  protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        return std::stringbuf::xsputn(s, n);
    }
    int_type overflow(int_type c) override {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        return std::stringbuf::overflow(c);
    }

  private:
    std::recursive_mutex mutex_;  // the string buffer's xsputn calls overflow
};

class BadInputTest : public ::testing::Test {
  protected:
    void start(bool writes, kv830host::HttpLimits limits = kv830host::HttpLimits()) {
        state_ = std::make_unique<PlantState>(1.0);
        server_ = std::make_unique<HttpServer>(*state_, limits);
        if (writes) {
            server_->enable_writes(kToken, policy_);
        }
        std::string error;
        ASSERT_TRUE(server_->start("127.0.0.1", 0, error)) << error;
        port_ = server_->port();
        state_->on_round(completed_report(1, 1, "{}"));
    }
    void TearDown() override {
        if (server_) {
            server_->stop();
        }
    }
    kv830test::RawResponse post_write(const std::string& body, const std::string& auth,
                                      const char* from = nullptr) {
        const std::string headers = auth.empty() ? "" : "Authorization: " + auth + "\r\n";
        kv830test::RawSocket socket(port_, from);
        if (!socket.send_all(
                "POST /api/write HTTP/1.1\r\nHost: x\r\n" + headers +
                "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
                "\r\nConnection: close\r\n\r\n" + body)) {
            return {};
        }
        return kv830test::parse_raw(socket.read_until_closed(std::chrono::seconds(40)));
    }
    std::string audit() { return audit_text_.text(); }

    PollingLine line_;
    AuditText audit_text_;
    std::ostream audit_stream_{&audit_text_};
    kv830host::StatusSink audit_sink_{audit_stream_};
    kv830host::WritePolicy policy_{{{1, kv830host::WritableRegisters::settings_of_signal_table()}},
                                   audit_sink_,
                                   line_.dispatch()};
    std::unique_ptr<PlantState> state_;
    std::unique_ptr<HttpServer> server_;
    int port_ = 0;
};

TEST_F(BadInputTest, WritesOffWithoutTokenAndSwitch) {
    start(false);
    const auto r =
        post_write(R"({"data_id":1,"register":3,"values":[1]})", std::string("Bearer ") + kToken);
    EXPECT_EQ(r.status, 403);
    EXPECT_NE(r.body.find("--http-writes"), std::string::npos) << r.body;
    EXPECT_TRUE(line_.received().empty());
}

std::string command(int reg, const std::string& values, const std::string& extra = "") {
    return "{\"data_id\":1,\"register\":" + std::to_string(reg) + ",\"values\":[" + values + "]" +
           extra + "}";
}

TEST_F(BadInputTest, WritesRefusedWithNothingHandedOn) {
    start(true);
    const Registers& regs = registers();
    const std::string bearer = std::string("Bearer ") + kToken;
    const int s0 = regs.settings[0];
    const std::string good = command(s0, "1");
    std::string many;
    for (int i = 0; i < 124; ++i) {
        many += (i ? ",1" : "1");
    }
    const std::string other_device =
        R"({"data_id":2,"register":)" + std::to_string(s0) + R"(,"values":[1]})";
    std::string deep;
    for (int i = 0; i < 2000; ++i) {
        deep += "[";
    }
    struct Row {
        const char* name;
        std::string body;
        std::string auth;
        int status;
        std::string reason;
    } const rows[] = {
        {"no token",         good,                 "",                                      401,                           "Bearer"},
        {"wrong token",      good,                 "Bearer s3cret-token-0123456780",        401,                           "wrong token"},
        {"token prefix",     good,                 "Bearer s3cret",                         401,                           "wrong token"},
        {"token longer",     good,                 bearer + "x",                            401,                           "wrong token"},
        {"basic scheme",     good,                 "Basic czNjcmV0",                        401,                           "Bearer"},
        {"empty body",       "",                   bearer,                                  400,                           "JSON"},
        {"not JSON",         "register=3",         bearer,                                  400,                           "JSON"},
        {"truncated",        "{\"register\":3,",   bearer,                                  400,                           "JSON"},
        {"trailing garbage", good + "x",           bearer,                                  400,                           "after"},
        {"NUL then garbage", good + std::string(1, '\0') + "junk",                          bearer,                        400,"NUL"},
        {"deep nesting",                  deep,                         bearer,                                           400,                                          "nest"},
        {"array",                  "[1,2]",                                bearer,                                               400,                                       "not an object"},
        {"duplicate key",                  R"({"register":3,"register":4,"values":[1]})",                        bearer, 400, "register"},
        {"unknown member",                  command(s0,                       "1",                                   ",\"force\":true"),                                       bearer,400, "force"},
        {"no register",               "{\"values\":[1]}",                            bearer,                                                                   400,                                                                                    "register"},
        {"register text",               R"({"register":"3","values":[1]})",                         bearer,400,"register"},
        {"register negative",               R"({"register":-1,"values":[1]})",                         bearer,                                                                   400,                                                                                                                                                     "register"                                                                                                                         },
        {"register too big",               R"({"register":65536,"values":[1]})",                         bearer,400,"register"},
        {"register fraction",               R"({"register":3.5,"values":[1]})",                         bearer,                                                                   400,                                                                                                                                                                                                                         "register"                                                                                                                                                                                                                                                                                                                                                                                                                                                                                              },
        {"no values",               "{\"register\":3}",                         bearer,400,"values"},
        {"empty values",               command(s0,                           ""),                                                                     bearer,                                                                                                                                                                                                                                                                                             400,                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                           "values"},
        {"too many values",            command(s0,                             many),bearer,400,"at most"},
        {"value too big",             command(s0,"65536"),                                            bearer,                                                                                                                                                                                                                                                                                                                                        400,                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                                          "value"},
        {"value negative",command(s0,          "-1"),bearer,400,"value"},
        {"value text",   command(s0,                  "\"1\""),                                           bearer,                                                                   400,                                                                                                                                                                                                      "value"},
        {"past the last register",                  R"({"register":65535,"values":[1,2]})",                           bearer,                                                      400,                                                          "65535"},
        {"not a setting",           command(regs.measured,                               "1"),                                               bearer,                     422,"not an operator's setting"},
        {"running past the setting",           command(regs.setting_before_other,                               "1,1"),                                                        bearer,422,
         "not an operator's setting"},
        {"unknown device",               other_device,        bearer,                                               422,                               "no device with data id 2"                                                                                                                                                                                                    },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const auto r = post_write(row.body, row.auth);
        EXPECT_EQ(r.status, row.status) << r.body;
        EXPECT_NE(r.body.find(row.reason), std::string::npos) << r.body;
        if (row.status == 401) {
            EXPECT_EQ(r.headers.count("www-authenticate"), 1U);
        } else {
            EXPECT_EQ(r.body.rfind(R"({"outcome":"refused","reason":)", 0), 0U) << r.body;
        }
    }
    EXPECT_TRUE(line_.received().empty()) << "a refused write reached the line";
    // The rule's refusals leave their audit line, naming the client.
    EXPECT_NE(audit().find("write from http 127.0.0.1: data id 2, register " + std::to_string(s0) +
                           ", values [1]: refused (no device with data id 2)"),
              std::string::npos)
        << audit();
}

TEST_F(BadInputTest, ValidWritesReachTheLineAndReport) {
    start(true);
    const Registers& regs = registers();
    const std::string bearer = std::string("Bearer ") + kToken;
    const std::string lower = std::string("bearer ") + kToken;
    const std::string upper = std::string("BEARER  ") + kToken;
    const int r0 = regs.settings[0];
    const int r1 = regs.settings[1];
    const std::string s0 = std::to_string(r0);
    const std::string no_id = R"({"register":)" + s0 + R"(,"values":[28]})";
    const std::string with_id = R"(,"command_id":"a1")";
    const std::string first_id = command(r0, "29", with_id);
    const std::string same_id = command(r0, "30", with_id);
    const char* const confirmed = R"({"outcome":"confirmed","retried":false})";
    const char* const exception = R"({"outcome":"refused","reason":"exception 2")";
    struct Row {
        const char* name;
        std::string body;
        std::string auth;
        int status;
        const char* answer;
    } const rows[] = {
        {"one value",  command(r0,     "25"),                 bearer,                     200,                                                                            confirmed},
        {"the scheme in lower case",            command(r0, "26"), lower,                      200,                                                                                               "confirmed"},
        {"the scheme in capitals", command(r0,               "27"),             upper,                             200,"confirmed"},
        {"the only device",         no_id,            bearer,                                 200,               "confirmed"                                                                                      },
        {"refused by the controller",         command(r1,            "1"), bearer,422,exception},
        {"a command id",      first_id,                 bearer,                             200,                                                                     "confirmed"                                                                                                                                                                             },
        {"the same id again",      same_id, bearer,422,"carried out before"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const auto r = post_write(row.body, row.auth);
        EXPECT_EQ(r.status, row.status) << r.body;
        EXPECT_NE(r.body.find(row.answer), std::string::npos) << r.body;
    }
    const auto received = line_.received();
    ASSERT_EQ(received.size(), 6U);
    EXPECT_EQ(received[0].data_id, 1U);
    EXPECT_EQ(received[0].address, regs.settings[0]);
    EXPECT_EQ(received[0].values, std::vector<std::uint16_t>({25}));
    EXPECT_EQ(received[3].data_id, 1U) << "the only device when data_id is left out";
    EXPECT_EQ(received[3].values, std::vector<std::uint16_t>({28}));
    EXPECT_NE(audit().find("write from http 127.0.0.1: data id 1, register " + s0 +
                           ", values [25]: confirmed"),
              std::string::npos)
        << audit();
}

TEST_F(BadInputTest, WriteWithoutOutcomeEndsInTime) {
    kv830host::HttpLimits limits;
    limits.write_wait_s = 1;
    start(true, limits);
    const auto t0 = std::chrono::steady_clock::now();
    const auto r =
        post_write(command(registers().settings[2], "1"), std::string("Bearer ") + kToken);
    EXPECT_EQ(r.status, 504) << r.body;
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(15));
    EXPECT_EQ(line_.received().size(), 1U);
    EXPECT_EQ(raw_get(port_, "/api/status").status, 200) << "still serving";
}

// After a few wrong tokens each further one waits longer for its 401, per client, while
// the server serves everyone else; every wrong token is counted in /metrics.
TEST_F(BadInputTest, WrongTokensSlowedDownAndCounted) {
    kv830host::HttpLimits limits;
    limits.auth.first_delay = std::chrono::seconds(3);
    start(true, limits);
    const std::string good = command(registers().settings[0], "1");
    const std::string wrong = "Bearer not-the-token-0123456789";
    for (unsigned i = 0; i < limits.auth.free_failures; ++i) {
        EXPECT_EQ(post_write(good, wrong).status, 401);
    }
    std::atomic<bool> answered{false};
    const auto t0 = std::chrono::steady_clock::now();
    std::thread slow([&] {
        EXPECT_EQ(post_write(good, wrong).status, 401);
        answered = true;
    });
    const std::string fourth =
        "kv830_http_auth_failures_total " + std::to_string(limits.auth.free_failures + 1);
    std::string metrics;
    for (int i = 0; i < 400 && metrics.find(fourth) == std::string::npos; ++i) {
        metrics = raw_get(port_, "/metrics").body;
    }
    EXPECT_NE(metrics.find(fourth), std::string::npos) << metrics;
    EXPECT_FALSE(answered.load()) << "the fourth wrong token was answered at once";
    // Another client is neither slowed down nor refused meanwhile.
    EXPECT_EQ(post_write(good, wrong, "127.0.0.2").status, 401);
    EXPECT_EQ(post_write(good, std::string("Bearer ") + kToken, "127.0.0.2").status, 200);
    slow.join();
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2900));
}

TEST(AuthThrottle, DelaysGrowPerClientAndAreForgotten) {
    using std::chrono::milliseconds;
    kv830host::AuthThrottleLimits limits;
    limits.free_failures = 2;
    limits.first_delay = milliseconds(100);
    limits.max_delay = milliseconds(500);
    limits.forget_after = std::chrono::seconds(60);
    kv830host::AuthThrottle throttle(limits);
    const auto t0 = kv830host::AuthThrottle::Clock::now();
    struct Row {
        const char* client;
        int seconds_later;
        long delay_ms;
    } const rows[] = {
        {"a", 0,   0  },
        {"a", 0,   0  },
        {"a", 0,   100},
        {"a", 0,   200},
        {"b", 0,   0  }, // another client starts afresh
        {"a", 0,   400},
        {"a", 0,   500}, // at most max_delay
        {"a", 0,   500},
        {"a", 120, 0  }, // quiet for longer than forget_after
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.client) + " +" + std::to_string(row.seconds_later));
        EXPECT_EQ(
            throttle.on_failure(row.client, t0 + std::chrono::seconds(row.seconds_later)).count(),
            row.delay_ms);
    }
    throttle.on_success("a");
    EXPECT_EQ(throttle.on_failure("a", t0).count(), 0);
    EXPECT_EQ(throttle.failures_total(), 10U);
}

TEST_F(BadInputTest, HugeHeadersAndBodiesRefused) {
    kv830host::HttpLimits limits;
    limits.request_head_s = 1;
    limits.idle_s = 1;
    start(true, limits);
    std::string many;
    for (int i = 0; i < 4; ++i) {
        many += "X-Part-" + std::to_string(i) + ": " + std::string(5000, 'b') + "\r\n";
    }
    std::string count;
    for (int i = 0; i < 150; ++i) {
        count += "X-N" + std::to_string(i) + ": 1\r\n";
    }
    struct Row {
        const char* name;
        std::string target;
        std::string headers;
        int status;
    } const rows[] = {
        {"one line of 10 KB",           "/api/status", "X-Big: " + std::string(10000, 'a') + "\r\n", 200               },
        {"one line of 20 KB",           "/api/status", "X-Big: " + std::string(20000, 'a') + "\r\n", 431               },
        {"lines adding up past 16 KiB", "/api/status", many,                          431          },
        {"too many lines",                "/api/status",         count,                           431             },
        {"a target of 7 KB",                         "/api/status?x=" + std::string(7000,                                    'u'),                           "",              200                  },
        {"a target of 20 KB",                         "/api/snapshot?x=" + std::string(20000,                                    'u'),                           "",              414 },
        {"a target of 9 KB",                         "/api/snapshot?x=" + std::string(9000,                                    'u'),                           "",              414},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const auto r = raw_get(port_, row.target, row.headers);
        EXPECT_EQ(r.status, row.status) << r.body;
        if (row.status != 200) {
            EXPECT_FALSE(r.body.empty()) << "a refusal says why";
        }
    }
    const std::string body(std::size_t{200} * 1024, ' ');
    const auto r = raw_request(
        port_, "POST /api/write HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " +
                   std::string(kToken) + "\r\nContent-Length: " + std::to_string(body.size()) +
                   "\r\nConnection: close\r\n\r\n" + body);
    EXPECT_EQ(r.status, 413);
    EXPECT_TRUE(line_.received().empty());
    EXPECT_EQ(raw_get(port_, "/api/status").status, 200) << "still serving";
}

// Every known path refuses the methods it does not take with 405 and says which it takes.
TEST_F(BadInputTest, UnknownPathsAndMethods) {
    kv830host::HttpLimits limits;
    limits.request_head_s = 1;
    limits.idle_s = 1;
    start(false, limits);
    struct Row {
        const char* request_line;
        int status;
        const char* allow;  // the Allow header a 405 carries
    } const rows[] = {
        {"GET /nope HTTP/1.1",             404, nullptr    },
        {"GET /api/nope HTTP/1.1",         404, nullptr    },
        {"GET /../../etc/passwd HTTP/1.1", 404, nullptr    },
        {"GET /index.html HTTP/1.1",       404, nullptr    },
        {"POST /nope HTTP/1.1",            404, nullptr    },
        {"DELETE /metrics HTTP/1.1",       405, "GET, HEAD"},
        {"BREW /metrics HTTP/1.1",         405, "GET, HEAD"},
        {"OPTIONS /metrics HTTP/1.1",      405, "GET, HEAD"},
        {"POST /healthz HTTP/1.1",         405, "GET, HEAD"},
        {"PUT /api/snapshot HTTP/1.1",     405, "GET, HEAD"},
        {"POST /api/status HTTP/1.1",      405, "GET, HEAD"},
        {"POST /api/events HTTP/1.1",      405, "GET"      },
        {"HEAD /api/events HTTP/1.1",      405, "GET"      },
        {"DELETE /api/history HTTP/1.1",   405, "GET, HEAD"},
        {"GET /api/write HTTP/1.1",        405, "POST"     },
        {"PUT /api/write HTTP/1.1",        405, "POST"     },
        {"HEAD /api/status HTTP/1.1",      200, nullptr    },
        {"GET /metrics HTTP/1.2",          505, nullptr    },
        {"GET /metrics HTTP/9.9",          505, nullptr    },
        {"garbage",                        400, nullptr    },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.request_line);
        auto r = raw_request(
            port_, std::string(row.request_line) + "\r\nHost: x\r\nConnection: close\r\n\r\n");
        EXPECT_EQ(r.status, row.status) << r.body;
        if (row.allow != nullptr) {
            EXPECT_EQ(r.headers["allow"], row.allow);
        }
        const bool head = std::string(row.request_line).rfind("HEAD", 0) == 0;
        EXPECT_EQ(r.body.empty(), head) << "a refusal says why; HEAD has no body";
    }
    EXPECT_EQ(raw_get(port_, "/api/status").status, 200) << "still serving";
}

// Silent and half-sent requests hold nothing but their socket until their deadline, and
// are dropped then without an answer; everyone else is served meanwhile.
TEST_F(BadInputTest, SilentClientsHoldUpNoOne) {
    kv830host::HttpLimits limits;
    limits.request_head_s = 1;
    limits.idle_s = 1;
    start(false, limits);
    std::vector<std::unique_ptr<kv830test::RawSocket>> silent;
    for (int i = 0; i < 10; ++i) {
        silent.push_back(std::make_unique<kv830test::RawSocket>(port_));
        ASSERT_TRUE(silent.back()->connected());
        if (i % 2 == 1) {
            ASSERT_TRUE(silent.back()->send_all("GET /metrics HTTP/1.1\r\nHost:"));
        }
    }
    for (int i = 0; i < 30; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(raw_get(port_, "/api/status").status, 200);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1))
            << "a request waited for a silent client";
    }
    for (auto& s : silent) {
        EXPECT_EQ(s->read_until_closed(std::chrono::seconds(10)), "");
    }
    const std::string metrics = raw_get(port_, "/metrics").body;
    EXPECT_NE(metrics.find("kv830_http_request_timeouts_total 5"), std::string::npos) << metrics;
}

// A client over its bound of connections is refused, and at the bound of all the oldest
// waiting connection gives way: either way the others are still answered.
TEST_F(BadInputTest, ConnectionBoundsKeepTheServerAnswering) {
    kv830host::HttpLimits limits;
    limits.max_connections_per_client = 3;
    limits.max_connections = 6;
    start(false, limits);
    const char* const from[] = {"127.0.0.2", "127.0.0.2", "127.0.0.2",
                                "127.0.0.3", "127.0.0.4", "127.0.0.5"};
    std::vector<std::unique_ptr<kv830test::RawSocket>> slow;
    for (const char* address : from) {
        slow.push_back(std::make_unique<kv830test::RawSocket>(port_, address));
        ASSERT_TRUE(slow.back()->connected()) << address;
        ASSERT_TRUE(slow.back()->send_all("GET /healthz HTTP/1.1\r\n"));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // in order of age
    }
    kv830test::RawSocket fourth(port_, "127.0.0.2");
    const auto refused = kv830test::parse_raw(fourth.read_until_closed(std::chrono::seconds(10)));
    EXPECT_EQ(refused.status, 503);
    EXPECT_NE(refused.body.find("too many connections from 127.0.0.2"), std::string::npos)
        << refused.body;
    // Seven would be one too many: the oldest slow one gives way to the probe.
    EXPECT_EQ(raw_get(port_, "/api/status").status, 200);
    EXPECT_TRUE(slow.front()->read_until_closed(std::chrono::seconds(10)).empty())
        << "the oldest waiting connection was closed";
    const auto metrics = raw_get(port_, "/metrics").body;
    EXPECT_NE(metrics.find("kv830_http_connections_refused_total 1"), std::string::npos) << metrics;
}

TEST_F(BadInputTest, StopEndsOpenStreamsPromptly) {
    start(false);
    std::vector<std::unique_ptr<kv830test::RawSocket>> open;
    for (int i = 0; i < 5; ++i) {
        open.push_back(std::make_unique<kv830test::RawSocket>(port_));
        ASSERT_TRUE(open.back()->send_all("GET /api/events HTTP/1.1\r\nHost: x\r\n\r\n"));
    }
    for (int i = 0; i < 400 && server_->event_streams() < 5; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ASSERT_EQ(server_->event_streams(), 5U);
    const auto t0 = std::chrono::steady_clock::now();
    server_->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    EXPECT_EQ(server_->event_streams(), 0U);
}

TEST(HttpStart, PortInUseRefused) {
    PlantState state;
    HttpServer first(state);
    std::string error;
    ASSERT_TRUE(first.start("127.0.0.1", 0, error)) << error;
    HttpServer second(state);
    EXPECT_FALSE(second.start("127.0.0.1", first.port(), error));
    EXPECT_NE(error.find(std::to_string(first.port())), std::string::npos) << error;
    HttpServer bad(state);
    EXPECT_FALSE(bad.start("no-such-host.invalid", 0, error));
}

}  // namespace
