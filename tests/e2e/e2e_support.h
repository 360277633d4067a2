// Running the plant simulator and kv830-host as child processes for end-to-end tests.
//
// Every process is bounded in time and killed when its owner goes out of scope, so a
// failing test leaves nothing running.
#pragma once

#include <json/value.h>
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace e2e {

using namespace std::chrono_literals;

// A fresh folder under /tmp, removed with its contents afterwards.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& text);

// A child process with standard output and standard error in files.
class Process {
  public:
    Process(std::vector<std::string> argv, const std::string& out_file,
            const std::string& err_file);
    ~Process();  // SIGKILL if still running
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    void signal(int sig);
    // The exit status, or -1 after `limit` (the process is then killed), or 128+N when
    // signal N ended it.
    int wait(std::chrono::milliseconds limit);
    // SIGTERM, then SIGKILL if it has not ended within `grace`.
    int stop(std::chrono::milliseconds grace = 5000ms);

    std::string out() const { return read_file(out_file_); }
    std::string err() const { return read_file(err_file_); }
    // Waits until standard output (or error) holds `text`; false at the limit or when
    // the process ended without it.
    bool wait_for_out(const std::string& text, std::chrono::milliseconds limit);
    bool wait_for_err(const std::string& text, std::chrono::milliseconds limit);

  private:
    bool wait_for(const std::string& file, const std::string& text,
                  std::chrono::milliseconds limit);

    pid_t pid_ = -1;
    int status_ = -1;
    std::string out_file_;
    std::string err_file_;
};

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

  private:
    std::string dump_;
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
