#include "e2e_support.h"

#include <gtest/gtest.h>
#include <json/reader.h>
#include <sqlite3.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <sstream>

#include "history_store.h"
#include "plant_signal_map.h"

namespace e2e {

Simulator::Simulator(const TempDir& dir, std::vector<std::string> transport,
                     std::vector<std::string> extra, const std::string& name)
    : dump_(dir.file(name + "-dump.json")), apply_(dir.file(name + "-apply.txt")) {
    std::vector<std::string> argv{PLANT_SIM_BIN};
    argv.insert(argv.end(), transport.begin(), transport.end());
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.insert(argv.end(), {"--dump", dump_, "--apply", apply_, "--seconds", "120"});
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

void Simulator::apply(const std::string& lines) {
    write_file(apply_, lines);
    process_->signal(SIGUSR2);
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
    // The build's plug-in, unless the test names one itself (an option is taken once).
    std::vector<std::string> argv{KV830_HOST_BIN};
    if (std::find(args.begin(), args.end(), "--plugin") == args.end()) {
        argv.insert(argv.end(), {"--plugin", KV830_SO});
    }
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

void expect_prompt_stop(Process& host) {
    const auto start = std::chrono::steady_clock::now();
    host.signal(SIGTERM);
    const int status = host.wait(10000ms);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(status, 0) << host.err();
    EXPECT_LT(took, std::chrono::seconds(2)) << host.err();
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
        c.number = std::strtol(line.c_str() + 6, nullptr, 10);
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
