#include "history_output.h"

#include <mutex>
#include <utility>

#include "history_decoder.h"
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

class HistoryOutput : public Output,
                      public TrendSource,
                      public RecordArchive,
                      public RoundArchive,
                      public AlarmJournal {
  public:
    HistoryOutput(HistoryOptions options, OutputContext& context)
        : options_(std::move(options)), context_(context) {
        context.trends = this;
        context.archive = this;
        context.round_archive = this;
        context.alarm_journal = this;
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

    void on_alarms(const AlarmNews& news) override {
        if (writer_) {
            writer_->submit_alarms(news.events);
        }
    }

    bool recent_alarm_events(std::size_t limit, std::vector<AlarmEvent>& out,
                             std::string& error) override {
        const std::lock_guard<std::mutex> lock(reader_mutex_);
        if (!open_reader(error)) {
            return false;
        }
        return reader_.read_alarm_events(
            RoundQuery(), limit,
            [&out](const AlarmEvent& e) {
                out.push_back(e);
                return true;
            },
            error);
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
        {
            // Marks saved from now on are written at once: the writer commits no more.
            const std::lock_guard<std::mutex> lock(marks_mutex_);
            writer_stopped_ = true;
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

    bool read_mark(const std::string& consumer, unsigned data_id, DeliveryMark& out,
                   std::string& error) override {
        const std::lock_guard<std::mutex> lock(reader_mutex_);
        if (!open_reader(error)) {
            return false;
        }
        MarkRow row;
        if (!reader_.read_mark(consumer, data_id, row, out.found, error)) {
            return false;
        }
        out.unix_ms = row.unix_ms;
        return true;
    }

    void save_mark(const std::string& consumer, unsigned data_id, std::int64_t unix_ms) override {
        if (!writer_) {
            return;
        }
        const std::lock_guard<std::mutex> lock(marks_mutex_);
        if (!writer_stopped_) {
            writer_->set_mark(consumer, data_id, unix_ms);
            return;
        }
        // After the last commit: one transaction of its own, as a consumer ends.
        std::string error;
        if (!store_.append_batch(nullptr, 0,
                                 {
                                     MarkRow{consumer, data_id, unix_ms, 0}
        },
                                 wall_clock_ms(), error)) {
            context_.status->write_line(
                prefix(data_id), "kv830-host: history: delivery mark not saved: " + error + "\n");
        }
    }

    // From the file, then from the rounds the writer holds for its next commit, so that a
    // consumer never waits a commit interval for what the file will have: the writer's are
    // copied first, and those the file already has are passed over.
    bool read_rounds_after(unsigned data_id, std::int64_t after_ms, std::int64_t until_ms,
                           std::size_t max_rounds, StoredBatch& out, std::string& error) override {
        const std::lock_guard<std::mutex> lock(reader_mutex_);
        if (!open_reader(error) || !load_decoder(error)) {
            return false;
        }
        std::vector<StoredRound> waiting;
        if (writer_) {
            writer_->waiting_rounds(data_id, kv830::kRecordType, after_ms + 1, until_ms, waiting);
        }
        const auto take = [&](const StoredRound& round) {
            if (round.record.size() != kv830::kRecordSize) {
                return;
            }
            StoredSnapshot stored;
            stored.unix_ms = round.unix_ms;
            std::string why;
            // A record the device refuses is passed over: it cannot be sent anyway.
            if (decoder_.snapshot_text(data_id, round.record, round.unix_ms, stored.snapshot,
                                       why)) {
                out.rounds.push_back(std::move(stored));
            }
        };
        RoundQuery query;
        query.any_data_id = false;
        query.data_id = data_id;
        query.from_ms = after_ms + 1;
        query.to_ms = until_ms;
        std::int64_t last = after_ms;
        const bool read = reader_.read_rounds(
            query,
            [&](const StoredRound& round) {
                if (round.record_type == kv830::kRecordType) {
                    take(round);
                    last = round.unix_ms;
                }
                return out.rounds.size() < max_rounds;
            },
            error);
        if (!read) {
            return false;
        }
        StoredRound newest;
        std::string none;
        if (reader_.newest_round(data_id, kv830::kRecordType, 0, newest, none)) {
            out.stored_through_ms = newest.unix_ms;
        } else if (!none.empty()) {
            error = none;
            return false;
        }
        for (const StoredRound& round : waiting) {
            out.stored_through_ms = std::max(out.stored_through_ms, round.unix_ms);
            if (round.unix_ms > last && out.rounds.size() < max_rounds) {
                take(round);
                last = round.unix_ms;
            }
        }
        return true;
    }

    bool newest_round_ms(unsigned data_id, std::int64_t& unix_ms, std::string& error) override {
        const std::lock_guard<std::mutex> lock(reader_mutex_);
        unix_ms = 0;
        if (!open_reader(error)) {
            return false;
        }
        StoredRound newest;
        if (reader_.newest_round(data_id, kv830::kRecordType, 0, newest, error)) {
            unix_ms = newest.unix_ms;
        }
        return error.empty();
    }

    unsigned long long pruned_before_delivery(const std::string& consumer,
                                              unsigned data_id) override {
        const std::lock_guard<std::mutex> lock(reader_mutex_);
        std::string error;
        MarkRow row;
        bool found = false;
        return open_reader(error) && reader_.read_mark(consumer, data_id, row, found, error) &&
                       found
                   ? row.pruned
                   : 0;
    }

  private:
    bool load_decoder(std::string& error) {
        if (!decoder_loaded_) {
            decoder_loaded_ = decoder_.load(context_.plugin_path, error);
        }
        return decoder_loaded_;
    }

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
    HistoryDecoder decoder_;  // the rounds sent on from the history, as snapshots
    bool decoder_loaded_ = false;
    std::mutex marks_mutex_;
    bool writer_stopped_ = false;
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
