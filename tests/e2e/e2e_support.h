// Running the plant simulator and kv830-host as child processes for end-to-end tests.
#pragma once

#include <json/value.h>
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "process.h"

namespace e2e {

using namespace std::chrono_literals;

// Folders and child processes come from the shared test harness.
using testproc::Process;
using testproc::read_file;
using testproc::TempDir;
using testproc::write_file;

// The plant simulator on a pseudo-terminal or on a TCP port.
class Simulator {
  public:
    // `transport` is {"--pty"} or {"--tcp", "0"} and the like; `extra` more options.
    Simulator(const TempDir& dir, std::vector<std::string> transport,
              std::vector<std::string> extra, const std::string& name = "sim");
    ~Simulator();

    bool started() const { return !address_.empty(); }
    // "/dev/pts/N" or "127.0.0.1:PORT".
    const std::string& address() const { return address_; }
    std::string port() const;
    const std::string& dump_file() const { return dump_; }
    // Ends the simulator (which writes its dump) and returns its exit status.
    int stop();
    // The register image the simulator dumped last: holding registers and inputs.
    bool read_dump(std::vector<int>& holding, std::vector<int>& inputs) const;
    std::string log() const;
    // Sets holding registers and discrete inputs while a client holds the connection:
    // lines of plant-sim's --apply ("holding 214 1024", "input 4 1").
    void apply(const std::string& lines);

  private:
    std::string dump_;
    std::string apply_;
    std::string address_;
    Process* process_ = nullptr;
};

struct HostRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs kv830-host to its end (killed after `limit`).
HostRun run_host(const TempDir& dir, const std::vector<std::string>& args,
                 std::chrono::milliseconds limit = 30000ms);
std::vector<std::string> host_argv(const std::vector<std::string>& args);

// Sends SIGTERM to a running kv830-host and waits for its end; what a service manager
// expects of it: exit status 0 within 2 s.
void expect_prompt_stop(Process& host);

// Cycle status lines of a host's standard error.
struct CycleLine {
    long number = 0;
    unsigned answered = 0;
    unsigned failed = 0;
};
std::vector<CycleLine> cycle_lines(const std::string& err);

// What the snapshot should say for a register image, member by member; built from the
// plant simulator's named model, not from the plug-in's signal table.
Json::Value expected_snapshot(const std::vector<int>& holding, const std::vector<int>& inputs);
bool parse_json(const std::string& text, Json::Value& out);

struct HistoryRowData {
    long long id = 0;
    long long data_id = 0;
    int record_type = 0;
    std::vector<unsigned char> record;
};
std::vector<HistoryRowData> history_rows(const std::string& db_file);

}  // namespace e2e
