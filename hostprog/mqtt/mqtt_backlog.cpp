#include "mqtt_backlog.h"

#include <algorithm>
#include <utility>

namespace kv830host {

namespace {

// After the history had nothing yet (its next commit brings the rounds) or failed.
constexpr auto kFileRetry = std::chrono::seconds(2);

}  // namespace

FileBacklog::FileBacklog(RoundArchive& archive, std::string consumer, unsigned data_id,
                         std::function<void()> wake, Log log)
    : archive_(archive),
      consumer_(std::move(consumer)),
      data_id_(data_id),
      log_(std::move(log)),
      reader_(archive, data_id, std::move(wake)) {}

FileBacklog::~FileBacklog() {
    stop();
}

bool FileBacklog::open(std::int64_t run_start_ms, std::string& error) {
    DeliveryMark delivered;
    if (!archive_.read_mark(consumer_, data_id_, delivered, error)) {
        error = "the delivery mark in the history: " + error;
        return false;
    }
    // The rounds of the runs before are all on file by now: the file's part of the backlog
    // ends with the newest of them, and grows as this run's rounds leave the full queue.
    std::int64_t newest = 0;
    if (!archive_.newest_round_ms(data_id_, newest, error)) {
        error = "the history's newest round: " + error;
        return false;
    }
    run_start_ms_ = run_start_ms;
    mark_ms_ = delivered.found ? std::min(delivered.unix_ms, run_start_ms) : run_start_ms;
    if (!delivered.found) {
        archive_.save_mark(consumer_, data_id_, mark_ms_);
    }
    mark_saved_ms_ = mark_ms_;
    until_ms_ = std::max(mark_ms_, std::min(newest, run_start_ms));
    read_to_ms_ = mark_ms_;
    acked_ms_ = mark_ms_;
    reader_.start();
    return true;
}

void FileBacklog::stop() {
    reader_.stop();
}

void FileBacklog::extend(std::int64_t dropped_through_ms) {
    until_ms_ = std::max(until_ms_, dropped_through_ms);
    read_to_ms_ = std::max(read_to_ms_, mark_ms_);
}

bool FileBacklog::complete() const {
    return read_to_ms_ >= until_ms_ && pending_.empty() && sent_.empty();
}

void FileBacklog::follow(bool ask) {
    StoredBatch batch;
    std::string error;
    if (reader_.take(batch, error)) {
        if (!error.empty()) {
            if (!error_told_) {
                error_told_ = true;
                log_("cannot read the rounds to send from the history (" + error +
                     "); trying again");
            }
            retry_at_ = Clock::now() + kFileRetry;
        } else if (!batch.rounds.empty()) {
            error_told_ = false;
            for (StoredSnapshot& stored : batch.rounds) {
                if (stored.unix_ms <= read_to_ms_ || stored.unix_ms > until_ms_) {
                    continue;
                }
                auto round = std::make_shared<QueuedRound>();
                round->unix_ms = stored.unix_ms;
                round->stored = std::move(stored);
                read_to_ms_ = round->unix_ms;
                pending_.push_back(std::move(round));
            }
        } else if (batch.stored_through_ms >= until_ms_) {
            // Nothing more will come: what the history could not keep is not there.
            read_to_ms_ = until_ms_;
        } else {
            // The history's next commit brings them.
            retry_at_ = Clock::now() + kFileRetry;
        }
    }
    if (ask && read_to_ms_ < until_ms_ && pending_.size() < kBatch / 2 &&
        Clock::now() >= retry_at_) {
        reader_.ask(read_to_ms_, until_ms_, kBatch);
    }
}

std::shared_ptr<QueuedRound> FileBacklog::take_next() {
    if (pending_.empty()) {
        return nullptr;
    }
    std::shared_ptr<QueuedRound> round = pending_.front();
    pending_.pop_front();
    return round;
}

void FileBacklog::sent(const std::shared_ptr<QueuedRound>& round) {
    sent_.push_back(round);
}

void FileBacklog::acknowledged() {
    while (!sent_.empty() && sent_.front()->acknowledged) {
        acked_ms_ = std::max(acked_ms_, sent_.front()->unix_ms);
        sent_.pop_front();
    }
}

void FileBacklog::resend() {
    for (auto it = sent_.rbegin(); it != sent_.rend(); ++it) {
        if (!(*it)->acknowledged) {
            (*it)->sent_in = 0;
            pending_.push_front(*it);
        }
    }
    sent_.clear();
}

std::int64_t FileBacklog::advance(std::int64_t memory_through, bool hold) {
    std::int64_t through = std::max(mark_ms_, acked_ms_);
    if (complete()) {
        through = std::max({through, until_ms_, memory_through});
    }
    if (through > mark_ms_) {
        mark_ms_ = through;
        if (!hold) {
            save();
        }
    }
    return mark_ms_;
}

void FileBacklog::save() {
    if (mark_ms_ != mark_saved_ms_) {
        archive_.save_mark(consumer_, data_id_, mark_ms_);
        mark_saved_ms_ = mark_ms_;
    }
}

}  // namespace kv830host
