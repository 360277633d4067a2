// Writes and hostile input: nothing is handed on unless the token and the body hold, and
// no malformed, huge or silent client gets in the way of the others.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

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

// Stands in for the polling thread of the line: takes commands in order and reports each
// outcome from its own thread, as the program's loop does. Register 9999 is unknown to
// it; the controller refuses register 22 and never answers for register 23.
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
    void queue(const WriteCommand& c, kv830host::WriteDone done) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            received_.push_back(c);
            queue_.emplace_back(c, std::move(done));
        }
        wake_.notify_all();
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
            if (item.first.address == 22) {
                outcome.kind = WriteOutcome::Kind::Refused;
                outcome.exception = 4;
                outcome.reason = "exception 4";
                item.second(outcome);
            } else if (item.first.address != 23) {
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
    kv830test::RawResponse post_write(const std::string& body, const std::string& auth) {
        const std::string headers = auth.empty() ? "" : "Authorization: " + auth + "\r\n";
        return raw_request(port_, "POST /api/write HTTP/1.1\r\nHost: x\r\n" + headers +
                                      "Content-Type: application/json\r\nContent-Length: " +
                                      std::to_string(body.size()) +
                                      "\r\nConnection: close\r\n\r\n" + body);
    }

    // The real rule in front of a scripted line; the server goes first when the test ends.
    PollingLine line_;
    std::ostringstream audit_text_;
    kv830host::StatusSink audit_{audit_text_};
    kv830host::WritePolicy policy_{{{1, kv830host::WritableRegisters::settings_of_signal_table()}},
                                   audit_,
                                   [this](const WriteCommand& c, kv830host::WriteDone done) {
                                       line_.queue(c, std::move(done));
                                   }};
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

TEST_F(BadInputTest, WritesRefusedWithNothingHandedOn) {
    start(true);
    const std::string bearer = std::string("Bearer ") + kToken;
    const std::string good = R"({"data_id":1,"register":3,"values":[1]})";
    std::string many = R"({"data_id":1,"register":3,"values":[)";
    for (int i = 0; i < 124; ++i) {
        many += (i ? ",1" : "1");
    }
    many += "]}";
    std::string deep;
    for (int i = 0; i < 1000; ++i) {
        deep += "[";
    }
    struct Row {
        const char* name;
        std::string body;
        std::string auth;
        int status;
        const char* reason;
    } const rows[] = {
        {"no token",               good,                                          "",                               401,                                       "Bearer"              },
        {"wrong token",            good,                                          "Bearer s3cret-token-0123456780", 401,                                       "wrong token"         },
        {"token prefix",           good,                                          "Bearer s3cret",                  401,                                       "wrong token"         },
        {"token longer",           good,                                          bearer + "x",                     401,                                       "wrong token"         },
        {"basic scheme",           good,                                          "Basic czNjcmV0",                 401,                                       "Bearer"              },
        {"empty body",             "",                                            bearer,                           400,                                       "JSON"                },
        {"not JSON",               "register=3",                                  bearer,                           400,                                       "JSON"                },
        {"truncated",              "{\"register\":3,",                            bearer,                           400,                                       "JSON"                },
        {"trailing garbage",       good + "x",                                    bearer,                           400,                                       "JSON"                },
        {"deep nesting",           deep,                                          bearer,                           400,                                       "nested deeper"       },
        {"array",                  "[1,2]",                                       bearer,                           400,                                       "object"              },
        {"duplicate key",          R"({"register":3,"register":4,"values":[1]})", bearer,                           400,                                       "JSON"                },
        {"unknown member",         R"({"register":3,"values":[1],"force":true})", bearer,                           400,                                       "force"               },
        {"no register",            "{\"values\":[1]}",                            bearer,                           400,                                       "register"            },
        {"register text",          R"({"register":"3","values":[1]})",            bearer,                           400,                                       "register"            },
        {"register negative",      R"({"register":-1,"values":[1]})",             bearer,                           400,                                       "register"            },
        {"register too big",       R"({"register":65536,"values":[1]})",          bearer,                           400,                                       "register"            },
        {"register fraction",      R"({"register":3.5,"values":[1]})",            bearer,                           400,                                       "register"            },
        {"no values",              "{\"register\":3}",                            bearer,                           400,                                       "values"              },
        {"empty values",           R"({"register":3,"values":[]})",               bearer,                           400,                                       "values"              },
        {"too many values",        many,                                          bearer,                           400,                                       "at most 123"         },
        {"value too big",          R"({"register":3,"values":[65536]})",          bearer,                           400,                                       "value"               },
        {"value negative",         R"({"register":3,"values":[-1]})",             bearer,                           400,                                       "value"               },
        {"value text",             R"({"register":3,"values":["1"]})",            bearer,                           400,                                       "value"               },
        {"past the last register", R"({"register":65535,"values":[1,2]})",        bearer,                           400,                                       "65535"               },
        {"a NUL and garbage",      good + std::string(1,                          '\0') + "x",                      bearer,                                    400,                    "NUL"},
        {"unknown device",                        R"({"data_id":2,"register":3,"values":[1]})",                                                      bearer,                   422, "data id 2" },
        {"not a setting",                        R"({"register":100,"values":[1]})",                                                       bearer,                              422,           "register 100"},
        {"runs out of settings",                        R"({"register":35,"values":[1,1]})",                                                bearer,                      422,          "register 36"        },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const auto r = post_write(row.body, row.auth);
        EXPECT_EQ(r.status, row.status) << r.body;
        EXPECT_NE(r.body.find(row.reason), std::string::npos) << r.body;
        if (row.status == 401) {
            EXPECT_EQ(r.headers.count("www-authenticate"), 1U);
        }
    }
    EXPECT_TRUE(line_.received().empty()) << "a refused write reached the line";
    EXPECT_EQ(raw_get(port_, "/api/write").status, 405);
}

TEST_F(BadInputTest, ValidWritesReachTheLineAndReport) {
    start(true);
    const std::string bearer = std::string("Bearer ") + kToken;
    auto r = post_write(R"({"data_id":1,"register":19,"values":[25]})", bearer);
    EXPECT_EQ(r.status, 200) << r.body;
    EXPECT_NE(r.body.find("\"outcome\":\"confirmed\""), std::string::npos) << r.body;
    r = post_write(R"({"register":3,"values":[1,2,65535]})", bearer);
    EXPECT_EQ(r.status, 200) << r.body;
    r = post_write(R"({"data_id":1,"register":22,"values":[1]})", bearer);
    EXPECT_EQ(r.status, 422) << r.body;
    EXPECT_NE(r.body.find("exception 4"), std::string::npos) << r.body;

    const auto received = line_.received();
    ASSERT_EQ(received.size(), 3U);
    EXPECT_EQ(received[0].data_id, 1U);
    EXPECT_EQ(received[0].address, 19);
    EXPECT_EQ(received[0].values, std::vector<std::uint16_t>({25}));
    EXPECT_EQ(received[1].data_id, 1U) << "the only device when data_id is left out";
    EXPECT_EQ(received[1].values, std::vector<std::uint16_t>({1, 2, 65535}));
}

TEST_F(BadInputTest, WriteWithoutOutcomeEndsInTime) {
    kv830host::HttpLimits limits;
    limits.write_wait_s = 1;
    start(true, limits);
    const auto t0 = std::chrono::steady_clock::now();
    const auto r = post_write(R"({"register":23,"values":[1]})", std::string("Bearer ") + kToken);
    EXPECT_EQ(r.status, 504) << r.body;
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(15));
    EXPECT_EQ(line_.received().size(), 1U);
}

TEST_F(BadInputTest, HugeHeadersAndBodiesRefused) {
    kv830host::HttpLimits limits;
    limits.read_timeout_s = 1;
    limits.keep_alive_s = 1;
    start(true, limits);
    // One header line past the library's line limit, and many lines under it that add up
    // past ours.
    const std::string one_huge = "X-Big: " + std::string(20000, 'a') + "\r\n";
    std::string many;
    for (int i = 0; i < 4; ++i) {
        many += "X-Part-" + std::to_string(i) + ": " + std::string(7000, 'b') + "\r\n";
    }
    std::string count;
    for (int i = 0; i < 150; ++i) {
        count += "X-N" + std::to_string(i) + ": 1\r\n";
    }
    struct Row {
        const char* name;
        std::string headers;
    } const rows[] = {
        {"one huge line",   one_huge},
        {"lines adding up", many    },
        {"too many",        count   }
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const auto r = raw_get(port_, "/metrics", row.headers);
        EXPECT_TRUE(r.status == 431 || r.status == 400) << r.status;
    }
    const auto long_uri = raw_get(port_, "/api/snapshot?x=" + std::string(20000, 'u'));
    EXPECT_TRUE(long_uri.status == 414 || long_uri.status == 400) << long_uri.status;

    const std::string body(std::size_t{200} * 1024, ' ');
    const auto r = raw_request(
        port_, "POST /api/write HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " +
                   std::string(kToken) + "\r\nContent-Length: " + std::to_string(body.size()) +
                   "\r\nConnection: close\r\n\r\n" + body);
    EXPECT_EQ(r.status, 413);
    EXPECT_TRUE(line_.received().empty());
    EXPECT_EQ(raw_get(port_, "/api/status").status, 200) << "still serving";
}

TEST_F(BadInputTest, UnknownPathsAndMethods) {
    kv830host::HttpLimits limits;
    limits.read_timeout_s = 1;
    limits.keep_alive_s = 1;
    start(false, limits);
    const std::pair<std::string, int> rows[] = {
        {"GET /nope HTTP/1.1",             404},
        {"GET /api/nope HTTP/1.1",         404},
        {"GET /../../etc/passwd HTTP/1.1", 404},
        {"GET /index.html HTTP/1.1",       404},
        {"DELETE /metrics HTTP/1.1",       404},
        {"BREW /metrics HTTP/1.1",         400},
        {"GET /metrics HTTP/9.9",          400},
        {"garbage",                        400},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.first);
        // A malformed request line is answered at once; the connection then ends at the
        // read timeout at the latest.
        const auto r = raw_request(port_, row.first + "\r\nHost: x\r\nConnection: close\r\n\r\n");
        if (row.second == 400) {
            EXPECT_GE(r.status == 0 ? 400 : r.status, 400) << "refused or closed";
        } else {
            EXPECT_EQ(r.status, row.second);
            EXPECT_FALSE(r.body.empty()) << "a refusal says why";
        }
    }
    EXPECT_EQ(raw_get(port_, "/api/status").status, 200) << "still serving";
}

// Silent and half-sent requests hold a worker each until the read timeout; everyone else
// is served meanwhile.
TEST_F(BadInputTest, SilentClientsHoldUpNoOne) {
    kv830host::HttpLimits limits;
    limits.read_timeout_s = 1;
    limits.keep_alive_s = 1;
    start(false, limits);
    std::vector<std::unique_ptr<kv830test::RawSocket>> silent;
    for (int i = 0; i < 10; ++i) {
        silent.push_back(std::make_unique<kv830test::RawSocket>(port_));
        ASSERT_TRUE(silent.back()->connected());
        if (i % 2 == 1) {
            ASSERT_TRUE(silent.back()->send_all("GET /metrics HTTP/1.1\r\nHost:"));
        }
    }
    httplib::Client c("127.0.0.1", port_);
    c.set_read_timeout(20, 0);
    for (int i = 0; i < 30; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        const auto r = c.Get("/api/status");
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 200);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1))
            << "a request waited for a silent client";
    }
    // The silent ones are dropped after the read timeout.
    for (auto& s : silent) {
        const std::string rest = s->read_until_closed(std::chrono::seconds(10));
        EXPECT_TRUE(rest.empty() || rest.rfind("HTTP/1.1 4", 0) == 0) << rest.substr(0, 40);
    }
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
