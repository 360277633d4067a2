// Child processes for the tests that run the real programs: spawned with their output in
// files or a pipe, waited for with a limit, and killed when their owner goes out of
// scope, so that a failing test leaves nothing running.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace testproc {

using namespace std::chrono_literals;

// A fresh folder under /tmp, removed with its contents afterwards.
class TempDir {
  public:
    explicit TempDir(const std::string& prefix = "kv830-test");
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

class Process {
  public:
    // Standard output into `out_file`, or into a pipe read by read_line() when
    // `out_file` is empty; standard error into `err_file`; standard input from `in_file`.
    Process(std::vector<std::string> argv, const std::string& out_file, const std::string& err_file,
            const std::string& in_file = "/dev/null");
    ~Process();  // SIGKILL if still running
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    void signal(int sig);
    // The exit status, 128+N when signal N ended it, or -1 after `limit` (the process is
    // then killed).
    int wait(std::chrono::milliseconds limit);
    // SIGTERM, then SIGKILL if it has not ended within `grace`.
    int stop(std::chrono::milliseconds grace = std::chrono::seconds(5));

    std::string out() const { return read_file(out_file_); }
    std::string err() const { return read_file(err_file_); }
    // Waits until standard output (or error) holds `text`; false at the limit or when
    // the process ended without it.
    bool wait_for_out(const std::string& text, std::chrono::milliseconds limit);
    bool wait_for_err(const std::string& text, std::chrono::milliseconds limit);
    // The next line of a piped standard output, or "" when none came within `limit`.
    std::string read_line(std::chrono::milliseconds limit = std::chrono::seconds(10));

  private:
    bool wait_for(const std::string& file, const std::string& text,
                  std::chrono::milliseconds limit);

    pid_t pid_ = -1;
    int status_ = -1;
    bool timed_out_ = false;
    int out_pipe_ = -1;
    std::string out_file_;
    std::string err_file_;
};

// A server that names where it listens on the first line of its standard output, as
// plant-sim does ("pty: /dev/pts/N", "tcp: 127.0.0.1:PORT"); its standard error goes to a
// file in a folder of its own.
class ServerProcess {
  public:
    // `argv` starts with the program; the address line is waited for up to `limit`.
    explicit ServerProcess(std::vector<std::string> argv,
                           std::chrono::milliseconds limit = std::chrono::seconds(10));

    // What follows the first ": " of that line; empty when the server did not start.
    const std::string& address() const { return address_; }
    int stop(std::chrono::milliseconds grace = std::chrono::seconds(5)) {
        return process_.stop(grace);
    }
    std::string log() const { return process_.err(); }
    Process& process() { return process_; }

  private:
    TempDir dir_;
    Process process_;
    std::string address_;
};

// A TCP port on 127.0.0.1 that was free a moment ago (bound to port 0 and read back).
int free_tcp_port();

// The master end of a new pseudo-terminal and the path of its slave end; closed with
// the object.
class PtyPair {
  public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;
    bool ok() const { return master_ >= 0 && !slave_path_.empty(); }
    int master() const { return master_; }
    const std::string& slave_path() const { return slave_path_; }

  private:
    int master_ = -1;
    std::string slave_path_;
};

}  // namespace testproc
