// kv830-host's program run in-process against real plant-sim processes: what the program
// tests and the tests of several controllers share.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "process.h"
#include "program.h"

namespace kv830host::programtest {

using testproc::TempDir;

// plant-sim on TCP or a pty, its requests logged to `name`.err, stopped at the end of the
// test.
class Sim {
  public:
    Sim(const TempDir& dir, const std::string& name, std::vector<std::string> args)
        : log_file_(dir.file(name + ".err")) {
        args.insert(args.begin(), PLANT_SIM_BIN);
        args.insert(args.end(), {"--seconds", "120", "--frozen", "--verbose"});
        process_ = std::make_unique<testproc::Process>(args, "", log_file_);
        const std::string line = process_->read_line(std::chrono::seconds(10));
        const auto colon = line.find(": ");
        address_ = colon == std::string::npos ? "" : line.substr(colon + 2);
    }
    Sim(const TempDir& dir, std::vector<std::string> args) : Sim(dir, "sim", std::move(args)) {}
    ~Sim() { process_->stop(std::chrono::milliseconds(3000)); }
    Sim(const Sim&) = delete;
    Sim& operator=(const Sim&) = delete;
    const std::string& address() const { return address_; }
    std::string log() const { return testproc::read_file(log_file_); }

  private:
    std::string log_file_;
    std::unique_ptr<testproc::Process> process_;
    std::string address_;
};

struct ProgramRun {
    int status = -1;
    std::string out;
    std::string status_text;
    std::vector<Round> reports;
    std::vector<std::thread::id> report_threads;
};

// Runs the program with `args` (the plug-in added, no default settings file) to its end;
// `on_program` may add watchers or take the write submitter first. Reports are collected
// under a lock, since several lines report from threads of their own.
inline ProgramRun run_program(
    const TempDir& dir, std::vector<std::string> args,
    const std::function<void(Program&, ProgramRun&, std::mutex&)>& on_program = nullptr) {
    args.insert(args.begin(), {"kv830-host", "--plugin", KV830_SO});
    std::vector<const char*> argv;
    argv.reserve(args.size());
    for (const std::string& a : args) {
        argv.push_back(a.c_str());
    }
    ProgramRun run;
    ProgramOptions options;
    std::string error;
    if (!parse_program_options(static_cast<int>(argv.size()), argv.data(), options, error, "")) {
        run.status = kExitUsage;
        run.status_text = error;
        return run;
    }
    const std::string out_file = dir.file("stdout");
    const int out_fd = ::open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    std::ostringstream status;
    std::mutex mutex;
    {
        Program program(std::move(options), out_fd, status);
        program.add_watcher([&run, &mutex](const RoundPtr& r) {
            const std::lock_guard<std::mutex> lock(mutex);
            run.reports.push_back(*r);
            run.report_threads.push_back(std::this_thread::get_id());
        });
        if (on_program) {
            on_program(program, run, mutex);
        }
        run.status = program.run();
    }
    ::close(out_fd);
    run.out = testproc::read_file(out_file);
    run.status_text = status.str();
    return run;
}

// Each test starts with no stop asked and leaves none behind for the next.
class ProgramFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        EXPECT_NE(std::signal(SIGPIPE, SIG_IGN), SIG_ERR);
        reset_stop();
    }
    void TearDown() override { reset_stop(); }
    TempDir dir_;
};

}  // namespace kv830host::programtest
