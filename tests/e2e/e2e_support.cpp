#include "e2e_support.h"

#include <fcntl.h>
#include <json/reader.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "history_store.h"
#include "plant_signal_map.h"

namespace e2e {

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

TempDir::TempDir() {
    char tmpl[] = "/tmp/kv830-e2e.XXXXXX";
    const char* made = ::mkdtemp(tmpl);
    if (made == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = made;
}

TempDir::~TempDir() {
    const std::string command = "rm -rf '" + path_ + "'";
    if (std::system(command.c_str()) != 0) {
        // Leftovers under /tmp are harmless; the test result stands.
    }
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

Process::Process(std::vector<std::string> argv, const std::string& out_file,
                 const std::string& err_file)
    : out_file_(out_file), err_file_(err_file) {
    std::vector<char*> args;
    for (auto& a : argv) {
        args.push_back(a.data());
    }
    args.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 ||
            ::dup2(err, 2) < 0) {
            ::_exit(127);
        }
        ::execv(args[0], args.data());
        ::_exit(127);
    }
}

Process::~Process() {
    if (running()) {
        ::kill(pid_, SIGKILL);
        wait(5000ms);
    }
}

bool Process::running() {
    if (pid_ <= 0 || status_ != -1) {
        return false;
    }
    int st = 0;
    const pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return false;
    }
    return r == 0;
}

void Process::signal(int sig) {
    if (running()) {
        ::kill(pid_, sig);
    }
}

int Process::wait(std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (running()) {
        if (Clock::now() >= end) {
            ::kill(pid_, SIGKILL);
            int st = 0;
            ::waitpid(pid_, &st, 0);
            status_ = -2;
            return -1;
        }
        std::this_thread::sleep_for(10ms);
    }
    return status_ == -2 ? -1 : status_;
}

int Process::stop(std::chrono::milliseconds grace) {
    signal(SIGTERM);
    return wait(grace);
}

bool Process::wait_for(const std::string& file, const std::string& text,
                       std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    for (;;) {
        if (read_file(file).find(text) != std::string::npos) {
            return true;
        }
        if (!running() || Clock::now() >= end) {
            return read_file(file).find(text) != std::string::npos;
        }
        std::this_thread::sleep_for(10ms);
    }
}

bool Process::wait_for_out(const std::string& text, std::chrono::milliseconds limit) {
    return wait_for(out_file_, text, limit);
}

bool Process::wait_for_err(const std::string& text, std::chrono::milliseconds limit) {
    return wait_for(err_file_, text, limit);
}

Simulator::Simulator(const TempDir& dir, std::vector<std::string> transport,
                     std::vector<std::string> extra, const std::string& name)
    : dump_(dir.file(name + "-dump.json")) {
    std::vector<std::string> argv{PLANT_SIM_BIN};
    argv.insert(argv.end(), transport.begin(), transport.end());
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.insert(argv.end(), {"--dump", dump_, "--seconds", "120"});
    process_ = new Process(argv, dir.file(name + ".out"), dir.file(name + ".err"));
    const bool pty = transport.front() == "--pty";
    const std::string prefix = pty ? "pty: " : "tcp: ";
    if (!process_->wait_for_out("\n", 5000ms)) {
        return;
    }
    const std::string out = process_->out();
    const auto at = out.find(prefix);
    if (at == std::string::npos) {
        return;
    }
    const auto end = out.find('\n', at);
    address_ = out.substr(at + prefix.size(), end - at - prefix.size());
}

Simulator::~Simulator() {
    if (process_ != nullptr) {
        process_->stop(3000ms);
        delete process_;
    }
}

std::string Simulator::port() const {
    const auto colon = address_.rfind(':');
    return colon == std::string::npos ? std::string() : address_.substr(colon + 1);
}

int Simulator::stop() {
    return process_->stop(5000ms);
}

std::string Simulator::log() const {
    return process_->err();
}

bool Simulator::read_dump(std::vector<int>& holding, std::vector<int>& inputs) const {
    Json::Value doc;
    if (!parse_json(read_file(dump_), doc) || !doc["holding"].isArray() ||
        !doc["inputs"].isArray()) {
        return false;
    }
    holding.clear();
    inputs.clear();
    for (const auto& v : doc["holding"]) {
        holding.push_back(v.asInt());
    }
    for (const auto& v : doc["inputs"]) {
        inputs.push_back(v.asInt());
    }
    return holding.size() == 286 && inputs.size() == 81;
}

std::vector<std::string> host_argv(const std::vector<std::string>& args) {
    std::vector<std::string> argv{KV830_HOST_BIN, "--plugin", KV830_SO};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

HostRun run_host(const TempDir& dir, const std::vector<std::string>& args,
                 std::chrono::milliseconds limit) {
    static int serial = 0;
    const std::string base = dir.file("host" + std::to_string(++serial));
    Process p(host_argv(args), base + ".out", base + ".err");
    HostRun run;
    run.status = p.wait(limit);
    run.out = p.out();
    run.err = p.err();
    return run;
}

std::vector<CycleLine> cycle_lines(const std::string& err) {
    std::vector<CycleLine> lines;
    std::istringstream in(err);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("cycle ", 0) != 0) {
            continue;
        }
        CycleLine c;
        c.number = std::atol(line.c_str() + 6);
        const auto s = line.find(" s, ");
        if (s == std::string::npos) {
            continue;
        }
        std::istringstream rest(line.substr(s + 4));
        std::string word;
        rest >> c.answered >> word >> c.failed;
        lines.push_back(c);
    }
    return lines;
}

bool parse_json(const std::string& text, Json::Value& out) {
    Json::CharReaderBuilder builder;
    std::string errors;
    std::istringstream in(text);
    return Json::parseFromStream(builder, in, &out, &errors);
}

Json::Value expected_snapshot(const std::vector<int>& holding, const std::vector<int>& inputs) {
    Json::Value doc(Json::objectValue);
    for (const kv830test::PlantSignal& signal : kv830test::plant_signal_map()) {
        const auto source = static_cast<std::size_t>(signal.source);
        switch (signal.kind) {
            case kv830test::PlantKind::Bit: {
                const auto reg = static_cast<unsigned>(holding.at(source));
                doc[signal.key] = static_cast<int>((reg >> signal.bit) & 1U);
                break;
            }
            case kv830test::PlantKind::Value:
                doc[signal.key] = static_cast<double>(holding.at(source));
                break;
            case kv830test::PlantKind::Enum: {
                const int v = holding.at(source);
                doc[signal.key] = v == 0   ? signal.text0
                                  : v == 1 ? signal.text1
                                           : kv830test::kPlantInvalidText;
                break;
            }
            case kv830test::PlantKind::Input:
                doc[signal.key] = static_cast<double>(inputs.at(source));
                break;
        }
    }
    return doc;
}

// Through the program's own reader: stored rows are patches, not raw records.
std::vector<HistoryRowData> history_rows(const std::string& db_file) {
    std::vector<HistoryRowData> rows;
    kv830host::HistoryStore store;
    std::string error;
    if (!store.open(db_file, kv830host::HistoryStore::Access::ReadOnly, error)) {
        return rows;
    }
    store.read_rounds(
        kv830host::RoundQuery{},
        [&](const kv830host::StoredRound& round) {
            HistoryRowData r;
            r.id = round.id;
            r.data_id = round.data_id;
            r.record_type = round.record_type;
            r.record = round.record;
            rows.push_back(r);
            return true;
        },
        error);
    return rows;
}

}  // namespace e2e
