// The Modbus server in-process, made through its kind as the program makes it, asked by
// clients nobody here wrote (mbpoll, pymodbus) and by raw frames for every exception.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client_session.h"
#include "kv830_data.h"
#include "modbus_client.h"
#include "modbus_server_output.h"
#include "process.h"

namespace kv830host {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

// Every holding register of the record reads 3R+1 and every third input is on, set field by
// field, so that what a client should read does not come from the poll chain.
std::array<unsigned char, kv830::kRecordSize> pattern_record() {
    KV830_Data_t d{};
    const auto fill = [](std::uint16_t* words, int first, int count) {
        for (int i = 0; i < count; ++i) {
            words[i] = static_cast<std::uint16_t>(3 * (first + i) + 1);
        }
    };
    fill(d.hr_0_2, 0, 3), fill(d.hr_3_12, 3, 10), fill(d.hr_19_52, 19, 34);
    fill(d.hr_61_72, 61, 12), fill(d.hr_75_138, 75, 64), fill(&d.hr_139, 139, 1);
    fill(&d.hr_140, 140, 1), fill(&d.hr_141, 141, 1), fill(d.hr_142_165, 142, 24);
    fill(d.hr_166_175, 166, 10), fill(d.hr_176_213, 176, 38), fill(&d.hr_214, 214, 1);
    fill(&d.hr_243, 243, 1), fill(&d.hr_244, 244, 1), fill(&d.hr_245, 245, 1);
    fill(d.hr_246_285, 246, 40);
    for (int b = 0; b < 81; ++b) {
        d.inputs[b] = b % 3 == 0 ? 1 : 0;
    }
    std::array<unsigned char, kv830::kRecordSize> record{};
    std::memcpy(record.data(), &d, sizeof d);
    return record;
}

RoundPtr round_of(unsigned data_id, std::chrono::milliseconds age, bool from_history = false) {
    auto r = std::make_shared<Round>();
    r->data_id = data_id;
    r->completed = true;
    r->from_history = from_history;
    r->end_unix_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::system_clock::now().time_since_epoch() - age)
                         .count();
    r->record = pattern_record();
    return r;
}

// A device on slave address `slave`, answering `server_unit` instead when one is given.
DeviceInfo device(unsigned data_id, int slave, std::optional<int> server_unit = std::nullopt) {
    DeviceInfo d;
    d.data_id = data_id;
    d.slave = slave;
    d.gateway.server_unit = server_unit;
    return d;
}

// Unit 1 (data id 1) and unit 7 (data id 2, by its "server_unit") are current; unit 3's
// round is 62 s old, unit 4 has only a record from the history and unit 5 no round at all.
std::vector<DeviceInfo> served_devices() {
    return {device(1, 1), device(2, 1, 7), device(3, 3), device(4, 4), device(5, 5)};
}

// The server as the program makes it: its option rows parsed, its check, made, started.
struct Server {
    Server(std::vector<std::string> args, const std::vector<DeviceInfo>& devices) {
        args.insert(args.begin(), "kv830-host");
        std::vector<const char*> argv;
        argv.reserve(args.size());
        for (std::string& a : args) {
            argv.push_back(a == "PORT" ? (a = std::to_string(port)).c_str() : a.c_str());
        }
        std::vector<std::string> positional;
        context.devices = devices;
        context.status = &sink;
        if (kv830cli::parse_command_line(kind->option_rows(), static_cast<int>(argv.size()),
                                         argv.data(), positional, error) &&
            kind->check(context, error)) {
            output = kind->make(context, error);
        }
        if (output && !output->start(error)) {
            output.reset();
        }
    }
    ~Server() {
        if (output) {
            output->stop();
        }
    }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    int port = testproc::free_tcp_port();
    std::unique_ptr<OutputKind> kind = make_modbus_server_kind();
    std::ostringstream status_text;
    StatusSink sink{status_text};
    OutputContext context;
    std::unique_ptr<Output> output;
    std::string error;
};

using RawClient = testproc::RawModbusClient;

// Each request of a client program, as `args`; its standard output.
std::string run_client(const std::vector<std::string>& args) {
    testproc::TempDir dir;
    testproc::Process p(args, dir.file("out"), dir.file("err"));
    EXPECT_EQ(p.wait(20s), 0) << p.err();
    return p.out();
}

class ModbusServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server_.output) << server_.error;
        for (const unsigned id : {1U, 2U}) {
            server_.output->on_round(round_of(id, 0ms));
        }
        server_.output->on_round(round_of(3, 62s));
        server_.output->on_served(round_of(4, 0ms, true));
        server_.output->on_round(round_of(4, 0ms, true));
    }
    Server server_{
        {"--modbus-server", "PORT", "--modbus-server-max-clients", "3"},
        served_devices()
    };
};

TEST_F(ModbusServerTest, AnswersWhatTheChainReadsAndTheExceptionsModbusPrescribesElse) {
    const struct {
        const char* name;
        std::uint8_t unit;
        Bytes pdu;
        Bytes reply;
    } rows[] = {
        {"blocks of one register",
         1,                                           {3, 0, 139, 0, 3},
         {3, 6, 0x01, 0xA2, 0x01, 0xA5, 0x01, 0xA8}                                                  },
        {"across two blocks",                     1,  {3, 0, 2, 0, 2},            {3, 4, 0, 7, 0, 10}},
        {"the last register",                     1,  {3, 1, 29, 0, 1},           {3, 2, 0x03, 0x58} },
        {"inputs",                                1,  {2, 0, 0, 0, 10},           {2, 2, 0x49, 0x02} },
        {"unit by server_unit",                   7,  {3, 0, 19, 0, 1},           {3, 2, 0, 58}      },
        {"a gap",                                 1,  {3, 0, 13, 0, 1},           {0x83, 2}          },
        {"a block into a gap",                    1,  {3, 0, 10, 0, 4},           {0x83, 2}          },
        {"past the last",                         1,  {3, 1, 30, 0, 1},           {0x83, 2}          },
        {"the last address",                      1,  {3, 0xFF, 0xFF, 0, 1},      {0x83, 2}          },
        {"inputs past the last",                  1,  {2, 0, 80, 0, 2},           {0x82, 2}          },
        {"no registers",                          1,  {3, 0, 0, 0, 0},            {0x83, 3}          },
        {"126 registers",                         1,  {3, 0, 0, 0, 126},          {0x83, 3}          },
        {"2001 inputs",                           1,  {2, 0, 0, 0x07, 0xD1},      {0x82, 3}          },
        {"a byte too many",                       1,  {3, 0, 0, 0, 1, 0},         {0x83, 3}          },
        {"coils",                                 1,  {1, 0, 0, 0, 1},            {0x81, 1}          },
        {"input registers",                       1,  {4, 0, 0, 0, 1},            {0x84, 1}          },
        {"write without --modbus-server-writes",  1,  {6, 0, 19, 0, 5},           {0x86, 1}          },
        {"writes without --modbus-server-writes", 1,  {16, 0, 19, 0, 1, 2, 0, 5}, {0x90, 1}          },
        {"unknown unit",                          42, {3, 0, 0, 0, 1},            {0x83, 0x0B}       },
        {"a round 62 s old",                      3,  {3, 0, 0, 0, 1},            {0x83, 0x0B}       },
        {"a record from the history",             4,  {3, 0, 0, 0, 1},            {0x83, 0x0B}       },
        {"no round yet",                          5,  {2, 0, 0, 0, 1},            {0x82, 0x0B}       },
    };
    RawClient client(server_.port);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(client.ask(row.unit, row.pdu), row.reply);
    }
    MetricsText metrics;
    server_.output->describe_metrics(metrics);
    EXPECT_NE(metrics.text().find("kv830_modbus_server_exceptions_total{code=\"11\"} 4\n"),
              std::string::npos)
        << metrics.text();
    EXPECT_NE(metrics.text().find("kv830_modbus_server_requests_total{function=\"3\"} 14\n"),
              std::string::npos);
}

TEST_F(ModbusServerTest, ClosesClientsThatSendGarbageOrTooManyWithoutDisturbingOthers) {
    RawClient steady(server_.port);
    const Bytes read = {3, 0, 0, 0, 1};
    ASSERT_EQ(steady.ask(1, read), (Bytes{3, 2, 0, 1}));
    const struct {
        const char* name;
        Bytes adu;
    } rows[] = {
        {"protocol id 1", {0, 1, 0, 1, 0, 6, 1, 3, 0, 0, 0, 1}},
        {"length 1",      {0, 1, 0, 0, 0, 1, 1}               },
        {"length 255",    {0, 1, 0, 0, 0, 255, 1, 3}          },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        RawClient garbage(server_.port);
        EXPECT_TRUE(garbage.send_raw(row.adu).empty());
        EXPECT_EQ(steady.ask(1, read), (Bytes{3, 2, 0, 1}));
    }
    RawClient second(server_.port);
    RawClient third(server_.port);
    ASSERT_FALSE(third.ask(1, read).empty());
    RawClient fourth(server_.port);
    EXPECT_TRUE(fourth.ask(1, read).empty()) << "a fourth client over the limit of 3";
    Json::Value status;
    server_.output->describe_status(status);
    EXPECT_EQ(status["modbus_server"]["clients"].asUInt(), 3U);
    EXPECT_EQ(status["modbus_server"]["address"].asString(),
              "127.0.0.1:" + std::to_string(server_.port));

    Server idle({"--modbus-server", "PORT", "--modbus-server-idle-timeout", "1"}, served_devices());
    RawClient quiet(idle.port);
    ASSERT_EQ(quiet.ask(5, read), (Bytes{0x83, 0x0B}));
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(quiet.ask(5, read).empty()) << "closed after a second without a request";
}

TEST_F(ModbusServerTest, MbpollAndPymodbusReadEveryBlockAndTheInputs) {
    for (const kv830::PollStep& s : kv830::kPollChain) {
        const bool inputs = s.source == kv830::Source::InputBits;
        const std::string ask =
            (inputs ? "i:" : "r:") + std::to_string(s.first) + ":" + std::to_string(s.count);
        std::ostringstream expected;
        std::ostringstream mbpoll_expected;
        for (int i = 0; i < s.count; ++i) {
            const int a = s.first + i;
            const int value = inputs ? (a % 3 == 0 ? 1 : 0) : 3 * a + 1;
            expected << (i == 0 ? "" : " ") << value;
            mbpoll_expected << "[" << a << "]: \t" << value << "\n";
        }
        SCOPED_TRACE(ask);
        const std::string out =
            run_client({KV830_MBPOLL, "-m", "tcp", "-p", std::to_string(server_.port), "-a", "1",
                        "-0", "-1", "-t", inputs ? "1" : "4", "-r", std::to_string(s.first), "-c",
                        std::to_string(s.count), "127.0.0.1"});
        EXPECT_NE(out.find(mbpoll_expected.str()), std::string::npos) << out;
        const std::string py = run_client(
            {KV830_PYTHON3, PYMODBUS_CLIENT, "127.0.0.1", std::to_string(server_.port), "1", ask});
        EXPECT_EQ(py, expected.str() + "\n");
    }
}

TEST(ModbusServerWrites, AnswerEachOutcomeWithTheExceptionModbusPrescribes) {
    using Kind = WriteOutcome::Kind;
    const auto outcome = [](Kind kind, WriteRefusal refusal, int exception) {
        WriteOutcome o;
        o.kind = kind;
        o.refusal = refusal;
        o.exception = exception;
        return o;
    };
    const struct {
        const char* name;
        WriteOutcome outcome;
        std::uint8_t code;  // 0: the echo
    } rows[] = {
        {"confirmed",                    outcome(Kind::Confirmed,    WriteRefusal::None,          0), 0   },
        {"the echo differs",             outcome(Kind::NotConfirmed, WriteRefusal::None,          0), 4   },
        {"no reply",                     outcome(Kind::NoReply,      WriteRefusal::None,          0), 0x0B},
        {"a garbled reply",              outcome(Kind::Garbled,      WriteRefusal::None,          0), 0x0B},
        {"no operator's setting",        outcome(Kind::Refused,      WriteRefusal::Address,       0), 2   },
        {"out of range",                 outcome(Kind::Refused,      WriteRefusal::Value,         0), 3   },
        {"no such device",               outcome(Kind::Refused,      WriteRefusal::UnknownDevice, 0), 0x0B},
        {"too many waiting",             outcome(Kind::Refused,      WriteRefusal::Busy,          0), 6   },
        {"the controller's exception 2", outcome(Kind::Refused,      WriteRefusal::None,          2), 2   },
        {"the controller's exception 5", outcome(Kind::Refused,      WriteRefusal::None,          5), 5   },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(write_exception(row.outcome), row.code);
    }
}

TEST(ModbusServerSettings, RefusesWhatDoesNotHoldTogether) {
    const struct {
        const char* name;
        std::vector<std::string> args;
        std::vector<DeviceInfo> devices;
        const char* refusal;  // "" for none
    } rows[] = {
        {"writes without the server",
         {"--modbus-server-writes"},
         {device(1, 1)},
         "need --modbus-server"                                                                                          },
        {"two devices on unit 1",
         {"--modbus-server", "PORT"},
         {device(1, 1), device(2, 1)},
         "both answer unit id 1"                                                                                         },
        {"one moved by server_unit",
         {"--modbus-server", "PORT"},
         {device(1, 1), device(2, 1, 2)},
         ""                                                                                                              },
        {"the same slaves, no server", {},                                {device(1, 1), device(2, 1)}, ""               },
        {"IPv6 without brackets",
         {"--modbus-server", "::1:1502"},
         {device(1, 1)},
         "[ADDRESS]:PORT"                                                                                                },
        {"port 65536",                 {"--modbus-server", "65536"},      {device(1, 1)},               "from 0 to 65535"},
        {"no clients",
         {"--modbus-server", "PORT", "--modbus-server-max-clients", "0"},
         {},
         "from 1 to 1000"                                                                                                },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Server s(row.args, row.devices);
        EXPECT_NE(s.error.find(row.refusal), std::string::npos) << s.error;
        EXPECT_EQ(s.error.empty(), std::string(row.refusal).empty()) << s.error;
    }
}

}  // namespace
}  // namespace kv830host
