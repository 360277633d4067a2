// plant-sim as a program: a Modbus master (libmodbus) talks to it over a pty and over
// TCP. Every wait is bounded and every child is killed when its test ends, so a broken
// simulator fails a test instead of hanging the suite.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <gtest/gtest.h>
#include <modbus.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "process.h"
#include "rtu_frame.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct PollStep {
    int first;
    int count;
    bool inputs;
};
// The host's cycle: 16 register reads and the read of the discrete inputs.
constexpr PollStep kCycle[] = {
    {0,   3,  false},
    {3,   10, false},
    {19,  34, false},
    {61,  12, false},
    {75,  64, false},
    {139, 1,  false},
    {140, 1,  false},
    {141, 1,  false},
    {142, 24, false},
    {166, 10, false},
    {176, 38, false},
    {214, 1,  false},
    {243, 1,  false},
    {244, 1,  false},
    {245, 1,  false},
    {246, 40, false},
    {0,   81, true },
};

using testproc::read_file;
using testproc::TempDir;

// A running plant-sim with its standard output on a pipe; killed at the end of scope if
// still running.
class SimProcess {
  public:
    explicit SimProcess(std::vector<std::string> args)
        : dir_("plant-sim-test"),
          process_(with_program(std::move(args)), "", dir_.file("stderr")) {}

    // The first line of standard output, or "" when none came within `limit`.
    std::string first_line(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        return process_.read_line(limit);
    }
    void signal(int sig) { process_.signal(sig); }
    // Exit status, or -1 when it did not end within `limit`.
    int wait(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        return process_.wait(limit);
    }
    std::string err() const { return process_.err(); }

  private:
    static std::vector<std::string> with_program(std::vector<std::string> args) {
        args.insert(args.begin(), PLANT_SIM_BIN);
        return args;
    }

    TempDir dir_;
    testproc::Process process_;
};

// The two integer arrays of a dump, in order of appearance.
bool parse_dump(const std::string& text, std::vector<int>& holding, std::vector<int>& inputs) {
    const auto h = text.find("\"holding\":[");
    const auto i = text.find("\"inputs\":[");
    if (h == std::string::npos || i == std::string::npos) {
        return false;
    }
    auto numbers = [&](std::size_t from, std::vector<int>& out) {
        std::size_t p = text.find('[', from) + 1;
        const std::size_t end = text.find(']', p);
        std::stringstream s(text.substr(p, end - p));
        std::string item;
        while (std::getline(s, item, ',')) {
            out.push_back(std::stoi(item));
        }
    };
    numbers(h, holding);
    numbers(i, inputs);
    return holding.size() == 286 && inputs.size() == 81;
}

// A libmodbus master with short time-outs.
struct Master {
    explicit Master(modbus_t* c) : ctx(c) {
        if (ctx == nullptr) {
            return;
        }
        modbus_set_slave(ctx, 1);
        modbus_set_response_timeout(ctx, 1, 0);
        connected = modbus_connect(ctx) == 0;
    }
    ~Master() {
        if (ctx != nullptr) {
            modbus_close(ctx);
            modbus_free(ctx);
        }
    }
    Master(const Master&) = delete;
    Master& operator=(const Master&) = delete;

    // Runs one polling cycle into `holding` (by address) and `inputs`; the number of
    // requests that failed.
    int cycle(std::vector<int>& holding, std::vector<int>& inputs) {
        holding.assign(286, -1);
        inputs.assign(81, -1);
        int failed = 0;
        for (const PollStep& s : kCycle) {
            if (s.inputs) {
                std::uint8_t bits[81];
                if (modbus_read_input_bits(ctx, s.first, s.count, bits) != s.count) {
                    ++failed;
                    continue;
                }
                for (int k = 0; k < s.count; ++k) {
                    inputs[static_cast<std::size_t>(k)] = bits[k];
                }
            } else {
                std::uint16_t regs[64];
                if (modbus_read_registers(ctx, s.first, s.count, regs) != s.count) {
                    ++failed;
                    continue;
                }
                for (int k = 0; k < s.count; ++k) {
                    holding[static_cast<std::size_t>(s.first) + static_cast<std::size_t>(k)] =
                        regs[k];
                }
            }
        }
        return failed;
    }

    modbus_t* ctx;
    bool connected = false;
};

std::string after_prefix(const std::string& line, const std::string& prefix) {
    return line.rfind(prefix, 0) == 0 ? line.substr(prefix.size()) : "";
}

void expect_cycle_matches_dump(const std::vector<int>& holding, const std::vector<int>& inputs,
                               const std::string& dump_text) {
    std::vector<int> dh;
    std::vector<int> di;
    ASSERT_TRUE(parse_dump(dump_text, dh, di)) << dump_text;
    for (std::size_t r = 0; r < holding.size(); ++r) {
        if (holding[r] >= 0) {
            EXPECT_EQ(holding[r], dh[r]) << "register " << r;
        }
    }
    EXPECT_EQ(inputs, di);
}

TEST(PlantSimProcess, PtyServesAFullCycleThatMatchesTheDump) {
    TempDir dir;
    const std::string dump = dir.file("image.json");
    SimProcess sim({"--pty", "--frozen", "--seed", "3", "--seconds", "60", "--dump", dump});
    const std::string pty = after_prefix(sim.first_line(), "pty: ");
    ASSERT_EQ(pty.rfind("/dev/pts/", 0), 0U) << sim.err();

    Master m(modbus_new_rtu(pty.c_str(), 9600, 'N', 8, 1));
    ASSERT_TRUE(m.connected) << modbus_strerror(errno);
    std::vector<int> holding;
    std::vector<int> inputs;
    const auto t0 = Clock::now();
    ASSERT_EQ(m.cycle(holding, inputs), 0);
    const auto took = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    std::cout << "[ measure  ] one 17-request cycle over the pty: " << took << " ms\n";
    RecordProperty("cycle_ms", std::to_string(took));

    sim.signal(SIGTERM);
    ASSERT_EQ(sim.wait(), 0) << sim.err();
    expect_cycle_matches_dump(holding, inputs, read_file(dump));
}

TEST(PlantSimProcess, PtyKeepsServingWhenTheHostReopensIt) {
    SimProcess sim({"--pty", "--frozen", "--seconds", "60"});
    const std::string pty = after_prefix(sim.first_line(), "pty: ");
    ASSERT_FALSE(pty.empty()) << sim.err();
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("opening " + std::to_string(round + 1));
        Master m(modbus_new_rtu(pty.c_str(), 9600, 'N', 8, 1));
        ASSERT_TRUE(m.connected);
        std::uint16_t regs[3];
        EXPECT_EQ(modbus_read_registers(m.ctx, 0, 3, regs), 3) << modbus_strerror(errno);
    }
    sim.signal(SIGINT);
    EXPECT_EQ(sim.wait(), 0);
}

TEST(PlantSimProcess, TcpWritesShowInTheDumpOnSigusr1) {
    TempDir dir;
    const std::string dump = dir.file("image.json");
    SimProcess sim({"--tcp", "0", "--frozen", "--seconds", "60", "--dump", dump});
    const std::string port = after_prefix(sim.first_line(), "tcp: 127.0.0.1:");
    ASSERT_FALSE(port.empty()) << sim.err();

    Master m(modbus_new_tcp("127.0.0.1", std::stoi(port)));
    ASSERT_TRUE(m.connected) << modbus_strerror(errno);
    ASSERT_EQ(modbus_write_register(m.ctx, 19, 4321), 1) << modbus_strerror(errno);
    const std::uint16_t values[3] = {11, 22, 33};
    ASSERT_EQ(modbus_write_registers(m.ctx, 61, 3, values), 3) << modbus_strerror(errno);
    std::uint16_t back[3] = {};
    ASSERT_EQ(modbus_read_registers(m.ctx, 61, 3, back), 3);
    EXPECT_EQ(back[0], 11);
    EXPECT_EQ(back[2], 33);

    sim.signal(SIGUSR1);
    std::vector<int> holding;
    std::vector<int> inputs;
    const auto end = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < end && !parse_dump(read_file(dump), holding, inputs)) {
        holding.clear();
        inputs.clear();
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_EQ(holding.size(), 286U);
    EXPECT_EQ(holding[19], 4321);
    EXPECT_EQ(holding[61], 11);
    EXPECT_EQ(holding[62], 22);
    EXPECT_EQ(holding[63], 33);
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.wait(), 0);
}

TEST(PlantSimProcess, InjectsTheFaultsAskedFor) {
    struct Row {
        const char* what;
        std::vector<std::string> options;
        int expected_errno_at_even;  // what every second request meets; 0: answered
        int expected_errno_at_5;     // a read covering register 5
    };
    const Row rows[] = {
        {"no faults",                    {},                           0,         0        },
        {"every second request dropped", {"--drop-every", "2"},        ETIMEDOUT, 0        },
        {"every second CRC corrupted",   {"--corrupt-crc-every", "2"}, EMBBADCRC, 0        },
        {"register 5 refused",           {"--exception-at", "5"},      0,         EMBXILADD},
        {"replies delayed",              {"--delay-ms", "20"},         0,         0        },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<std::string> args = {"--pty", "--frozen", "--seconds", "60"};
        args.insert(args.end(), row.options.begin(), row.options.end());
        SimProcess sim(args);
        const std::string pty = after_prefix(sim.first_line(), "pty: ");
        ASSERT_FALSE(pty.empty()) << sim.err();
        Master m(modbus_new_rtu(pty.c_str(), 9600, 'N', 8, 1));
        ASSERT_TRUE(m.connected);
        std::uint16_t regs[10];
        for (int n = 1; n <= 4; ++n) {
            SCOPED_TRACE("request " + std::to_string(n));
            errno = 0;
            const int rc = modbus_read_registers(m.ctx, 19, 10, regs);
            const int expected = n % 2 == 0 ? row.expected_errno_at_even : 0;
            if (expected == 0) {
                EXPECT_EQ(rc, 10) << modbus_strerror(errno);
            } else {
                EXPECT_EQ(rc, -1);
                EXPECT_EQ(errno, expected) << modbus_strerror(errno);
                modbus_flush(m.ctx);
            }
        }
        if (row.options.empty() || row.expected_errno_at_5 != 0) {
            errno = 0;
            const int rc = modbus_read_registers(m.ctx, 3, 10, regs);
            if (row.expected_errno_at_5 == 0) {
                EXPECT_EQ(rc, 10) << modbus_strerror(errno);
            } else {
                EXPECT_EQ(rc, -1);
                EXPECT_EQ(errno, row.expected_errno_at_5) << modbus_strerror(errno);
            }
        }
        sim.signal(SIGTERM);
        EXPECT_EQ(sim.wait(), 0) << sim.err();
    }
}

// Sends `request` with its CRC on `line` and collects the reply up to the next silence.
std::vector<std::uint8_t> exchange(int line, std::vector<std::uint8_t> request) {
    const std::uint16_t crc = plantsim::crc16(request.data(), request.size());
    request.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    request.push_back(static_cast<std::uint8_t>(crc >> 8));
    EXPECT_EQ(::write(line, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    std::vector<std::uint8_t> reply;
    const auto end = Clock::now() + std::chrono::milliseconds(500);
    while (Clock::now() < end) {
        pollfd p{};
        p.fd = line;
        p.events = POLLIN;
        if (::poll(&p, 1, 20) <= 0) {
            if (!reply.empty()) {
                break;  // the silence after the reply
            }
            continue;
        }
        std::uint8_t buf[256];
        const ssize_t n = ::read(line, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        reply.insert(reply.end(), buf, buf + n);
    }
    return reply;
}

// --rtu on a serial device: the test holds the other end of a pty pair and speaks raw
// RTU frames, so the bytes on the line are checked, not only what a master makes of them.
TEST(PlantSimProcess, RtuDeviceAnswersRawFramesOfItsOwnSlaveOnly) {
    const testproc::PtyPair pair;
    ASSERT_TRUE(pair.ok());
    const int line = pair.master();
    const std::string& device = pair.slave_path();
    SimProcess sim(
        {"--rtu", device, "--slave", "17", "--frozen", "--seconds", "60", "--exception-at", "7"});
    ASSERT_EQ(sim.first_line(), "rtu: " + device) << sim.err();

    struct Row {
        const char* what;
        std::vector<std::uint8_t> request;
        std::size_t reply_size;  // 0: no reply
        std::uint8_t function;
    };
    const Row rows[] = {
        {"read of 3 registers",              {17, 3, 0, 0, 0, 3},  5 + 6,  3   },
        {"read of 81 inputs",                {17, 2, 0, 0, 0, 81}, 5 + 11, 2   },
        {"write of register 20",             {17, 6, 0, 20, 0, 9}, 8,      6   },
        {"read covering refused register 7", {17, 3, 0, 5, 0, 3},  5,      0x83},
        {"request for slave 1",              {1, 3, 0, 0, 0, 3},   0,      0   },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const std::vector<std::uint8_t> reply = exchange(line, row.request);
        ASSERT_EQ(reply.size(), row.reply_size);
        if (reply.empty()) {
            continue;
        }
        EXPECT_EQ(reply[0], 17);
        EXPECT_EQ(reply[1], row.function);
        EXPECT_TRUE(plantsim::crc_ok(reply.data(), reply.size()));
    }
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.wait(), 0) << sim.err();
}

TEST(PlantSimProcess, EndsByItselfAfterItsSeconds) {
    SimProcess sim({"--tcp", "0", "--seconds", "1"});
    EXPECT_FALSE(sim.first_line().empty());
    EXPECT_EQ(sim.wait(std::chrono::seconds(15)), 0) << sim.err();
}

TEST(PlantSimProcess, RefusesBadOptionsWithStatusTwo) {
    const std::vector<std::vector<std::string>> rows = {
        {"--bogus"   },
        {    "--pty",               "--baud", "12345"},
        {                     },
        {    "--tcp", "0",      "--seconds", "x"},
        { "--tcp",                                     "0",                  "--dump", "/no/such/folder/dump.json"},
    };
    for (const auto& args : rows) {
        SimProcess sim(args);
        EXPECT_EQ(sim.wait(), 2);
        EXPECT_NE(sim.err().find("plant-sim:"), std::string::npos) << sim.err();
    }
    SimProcess help({"--help"});
    EXPECT_EQ(help.wait(), 0);
}

// The dump's folder was there at start and is gone at the end: the run ends with 1.
TEST(PlantSimProcess, DumpThatCannotBeWrittenEndsWithStatusOne) {
    TempDir dir;
    const std::string folder = dir.file("dumps");
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    SimProcess sim({"--tcp", "0", "--seconds", "60", "--dump", folder + "/image.json"});
    ASSERT_FALSE(sim.first_line().empty()) << sim.err();
    ASSERT_EQ(::rmdir(folder.c_str()), 0);
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.wait(), 1) << sim.err();
    EXPECT_NE(sim.err().find("image.json"), std::string::npos) << sim.err();
}

}  // namespace

namespace {

// A raw TCP connection, to send frames no Modbus library would.
class RawTcp {
  public:
    explicit RawTcp(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~RawTcp() { ::close(fd_); }
    RawTcp(const RawTcp&) = delete;
    RawTcp& operator=(const RawTcp&) = delete;
    bool connected() const { return connected_; }
    void send(const std::vector<std::uint8_t>& bytes) {
        ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Whatever arrives within `limit`.
    std::vector<std::uint8_t> receive(std::chrono::milliseconds limit) {
        std::vector<std::uint8_t> got;
        const auto end = Clock::now() + limit;
        while (Clock::now() < end) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) {
                continue;
            }
            std::uint8_t buf[300];
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n <= 0) {
                break;
            }
            got.insert(got.end(), buf, buf + n);
        }
        return got;
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
};

}  // namespace

TEST(PlantSimProcess, TcpDropsFramesAModbusServerMustNotAnswer) {
    SimProcess sim({"--tcp", "0", "--frozen", "--seconds", "60"});
    const std::string port = after_prefix(sim.first_line(), "tcp: 127.0.0.1:");
    ASSERT_FALSE(port.empty()) << sim.err();
    RawTcp tcp(std::stoi(port));
    ASSERT_TRUE(tcp.connected());
    struct Row {
        const char* name;
        std::vector<std::uint8_t> frame;
    };
    std::vector<Row> dropped;
    dropped.push_back({"protocol id 1", {0, 1, 0, 1, 0, 6, 1, 3, 0, 0, 0, 1}});
    dropped.push_back({"length says one byte more", {0, 2, 0, 0, 0, 7, 1, 3, 0, 0, 0, 1, 0}});
    dropped.push_back({"length says one byte less", {0, 3, 0, 0, 0, 5, 1, 3, 0, 0, 0}});
    for (const auto& row : dropped) {
        SCOPED_TRACE(row.name);
        tcp.send(row.frame);
        EXPECT_TRUE(tcp.receive(300ms).empty());
        // The stream is still followed: a good request right after is answered.
        tcp.send({0, 9, 0, 0, 0, 6, 1, 3, 0, 0, 0, 1});
        const auto reply = tcp.receive(300ms);
        ASSERT_EQ(reply.size(), 11U);
        EXPECT_EQ(reply[1], 9) << "the good request's transaction id";
        EXPECT_EQ(reply[7], 3);
    }
}
