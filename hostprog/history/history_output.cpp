#include "history_output.h"

#include <mutex>
#include <utility>

#include "history_options.h"
#include "history_store.h"
#include "history_trends.h"
#include "history_writer.h"
#include "kv830_protocol.h"
#include "time_text.h"

namespace kv830host {

namespace {

// Rounds waiting for a commit are normal up to one commit interval's worth.
constexpr unsigned long long kPendingShown = 3600;

struct HistoryOptions {
    std::string file = "kv830-history.db";
    HistorySettings settings;
    bool file_given = false;
    bool off = false;
};

class HistoryOutput : public Output, public TrendSource, public RecordArchive {
  public:
    HistoryOutput(HistoryOptions options, OutputContext& context)
        : options_(std::move(options)), context_(context) {
        context.trends = this;
        context.archive = this;
    }

    bool start(std::string& error) override {
        // A run that only serves what is stored needs no right to write.
        const auto access = context_.run.cycles == 0 ? HistoryStore::Access::ReadOnly
                                                     : HistoryStore::Access::ReadWrite;
        store_.set_policy(options_.settings.policy());
        if (!store_.open(options_.file, access, error)) {
            // Locked by another program (a backup, a copy in progress): poll anyway and let
            // the writer open the file once the lock is gone, as for a lock during the run.
            if (access == HistoryStore::Access::ReadOnly ||
                store_.last_failure() != HistoryFailure::Busy) {
                return false;
            }
            context_.status->write_line(
                "", "kv830-host: " + error + "; rounds wait in memory until it can be written\n");
            error.clear();
        }
        if (!store_.read_only()) {
            writer_ = std::make_unique<HistoryWriter>(store_, options_.settings.writer_options());
            writer_->start();
        }
        trends_ = std::make_unique<HistoryTrends>(options_.file, writer_.get());
        return true;
    }

    void on_round(const RoundPtr& round) override {
        if (!round->completed || !round->store || !writer_) {
            return;
        }
        // Only copied here: the writer's own thread commits, so polling never waits on
        // the file.
        if (!writer_->submit(round->data_id, kv830::kRecordType, round->end_unix_ms,
                             round->record.data(), round->record.size())) {
            ++save_failures_;
            context_.status->write_line(
                prefix(round->data_id),
                "history: round of " + std::to_string(round->record.size()) + " bytes not saved\n");
        }
    }

    std::string describe() const override { return "history " + options_.file; }

    std::string cycle_note(unsigned) const override {
        if (!writer_) {
            return "";
        }
        const HistoryWriterStatus h = writer_->status();
        if (h.failure != HistoryFailure::None || h.pending > kPendingShown) {
            return history_status_text(h);
        }
        return "";
    }

    void describe_metrics(MetricsText& out) const override {
        if (!writer_) {
            return;
        }
        const HistoryWriterStatus h = writer_->status();
        out.family("kv830_history_rows_written_total", "counter",
                   "Rounds committed to the history since the program started.");
        out.sample("kv830_history_rows_written_total", {}, h.saved);
        out.family("kv830_history_rows_pending", "gauge",
                   "Rounds waiting in memory for the next commit.");
        out.sample("kv830_history_rows_pending", {}, h.pending);
        out.family("kv830_history_rows_dropped_total", "counter",
                   "Rounds given up because the history could not take them in time.");
        out.sample("kv830_history_rows_dropped_total", {}, h.dropped);
    }

    void stop() override {
        if (!writer_) {
            return;
        }
        writer_->stop();
        const HistoryWriterStatus h = writer_->status();
        std::string line =
            "kv830-host: " + std::to_string(h.saved) + " rounds saved to " + options_.file;
        if (h.pending != 0 || h.dropped != 0) {
            line += ", " + history_status_text(h);
            ++save_failures_;
        }
        context_.status->write_line("", line + "\n");
    }

    int exit_status() const override { return save_failures_ != 0 ? kExitFailure : kExitOk; }

    bool newest_record(unsigned data_id, ArchivedRecord& out, std::string& error) override {
        const std::lock_guard<std::mutex> lock(reader_mutex_);
        if (!open_reader(error)) {
            return false;
        }
        StoredRound round;
        // Rows of another size (from another build of the device) are passed over for the
        // newest one the device takes.
        if (!reader_.newest_round(data_id, kv830::kRecordType, kv830::kRecordSize, round, error)) {
            return false;
        }
        StoredRound newest;
        std::string ignored;
        if (reader_.newest_round(data_id, kv830::kRecordType, 0, newest, ignored) &&
            newest.id != round.id) {
            out.note = "history row " + std::to_string(newest.id) + " holds " +
                       std::to_string(newest.record.size()) + " bytes; the device did not take it";
        }
        out.unix_ms = round.unix_ms;
        out.record = std::move(round.record);
        out.described = "the record stored at " + format_time_local(round.unix_ms) +
                        " (history row " + std::to_string(round.id) + ")";
        return true;
    }

    // The page's trends read the history through connections of their own and the rounds
    // the writer holds, so that a slow query never holds the polling thread or the writer.
    TrendAnswer trend(const TrendRequest& request) override {
        if (!trends_) {
            TrendAnswer answer;
            answer.refusal = "history: not open";
            return answer;
        }
        return trends_->trend(request);
    }

  private:
    bool open_reader(std::string& error) {
        return reader_.is_open() ||
               reader_.open(options_.file, HistoryStore::Access::ReadOnly, error);
    }

    std::string prefix(unsigned data_id) const {
        return context_.devices.size() > 1 ? "[" + std::to_string(data_id) + "] " : "";
    }

    const HistoryOptions options_;
    OutputContext& context_;
    HistoryStore store_;
    std::unique_ptr<HistoryWriter> writer_;
    std::atomic<unsigned long> save_failures_{0};
    std::mutex reader_mutex_;
    HistoryStore reader_;
    std::unique_ptr<HistoryTrends> trends_;
};

class HistoryKind : public OutputKind {
  public:
    const char* name() const override { return "history"; }

    std::vector<kv830cli::Option> option_rows() override {
        std::vector<kv830cli::Option> rows = {
            {"history",    0, "FILE",
             "SQLite file of the completed rounds (kv830-history.db);\nits newest record is "
             "served until the first new cycle",                           [this](const std::string& v, std::string&) {
                 options_.file = v;
                 options_.file_given = true;
                 return true;
             }},
            {"no-history", 0, nullptr, "neither read nor write a history",
             [this](const std::string&,                                                                 std::string&) {
                 options_.off = true;
                 return true;
             }                                                                },
        };
        std::vector<kv830cli::Option> own = history_option_rows(options_.settings);
        rows.insert(rows.end(), own.begin(), own.end());
        return rows;
    }

    bool check(const OutputContext&, std::string& error) override {
        if (options_.file_given && options_.off) {
            error = "--history and --no-history exclude each other";
            return false;
        }
        return true;
    }

    std::string state_file() const override { return options_.off ? "" : options_.file; }

    std::unique_ptr<Output> make(OutputContext& context, std::string&) override {
        // A lone write reads no round, so it has no history to keep unless asked for.
        const bool lone_write = context.run.console_write && !context.run.cycles_given;
        if (options_.off || (lone_write && !options_.file_given)) {
            return nullptr;
        }
        return std::make_unique<HistoryOutput>(options_, context);
    }

  private:
    HistoryOptions options_;
};

}  // namespace

std::unique_ptr<OutputKind> make_history_kind() {
    return std::make_unique<HistoryKind>();
}

}  // namespace kv830host
