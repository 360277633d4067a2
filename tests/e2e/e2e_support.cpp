#include "e2e_support.h"

#include <json/reader.h>
#include <sqlite3.h>

#include <cstdlib>
#include <sstream>

#include "kv830_signals.h"

namespace e2e {

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
    for (std::size_t i = 0; i < kv830::kSignalCount; ++i) {
        const kv830::SignalRow& row = kv830::kSignals[i];
        const auto reg = static_cast<unsigned>(holding.at(row.source));
        switch (row.kind) {
            case kv830::SignalKind::Bit:
                doc[row.key] = static_cast<int>((reg >> row.bit) & 1U);
                break;
            case kv830::SignalKind::Value:
                doc[row.key] = static_cast<double>(holding.at(row.source));
                break;
            case kv830::SignalKind::Enum: {
                const int v = holding.at(row.source);
                doc[row.key] = v == 0 ? row.text0 : v == 1 ? row.text1 : kv830::kInvalidText;
                break;
            }
            case kv830::SignalKind::Input:
                doc[row.key] = static_cast<double>(inputs.at(row.source));
                break;
        }
    }
    return doc;
}

std::vector<HistoryRowData> history_rows(const std::string& db_file) {
    std::vector<HistoryRowData> rows;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(db_file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return rows;
    }
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT id, data_id, record_type, record FROM history ORDER BY id",
                           -1, &st, nullptr) == SQLITE_OK) {
        while (sqlite3_step(st) == SQLITE_ROW) {
            HistoryRowData r;
            r.id = sqlite3_column_int64(st, 0);
            r.data_id = sqlite3_column_int64(st, 1);
            r.record_type = sqlite3_column_int(st, 2);
            const auto* blob = static_cast<const unsigned char*>(sqlite3_column_blob(st, 3));
            r.record.assign(blob, blob + sqlite3_column_bytes(st, 3));
            rows.push_back(r);
        }
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return rows;
}

}  // namespace e2e
