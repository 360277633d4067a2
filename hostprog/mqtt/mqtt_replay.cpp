#include "mqtt_replay.h"

#include <utility>

namespace kv830host {

ReplayReader::ReplayReader(RoundArchive& archive, unsigned data_id, std::function<void()> ready)
    : archive_(archive), data_id_(data_id), ready_(std::move(ready)) {}

ReplayReader::~ReplayReader() {
    stop();
}

void ReplayReader::start() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (thread_.joinable() || stopping_) {
        return;
    }
    thread_ = std::thread([this] { run(); });
}

void ReplayReader::stop() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool ReplayReader::ask(std::int64_t after_ms, std::int64_t until_ms, std::size_t max_rounds) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (asked_ || done_ || stopping_) {
            return false;
        }
        asked_ = true;
        after_ms_ = after_ms;
        until_ms_ = until_ms;
        max_rounds_ = max_rounds;
    }
    wake_.notify_all();
    return true;
}

bool ReplayReader::take(StoredBatch& out, std::string& error) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!done_) {
        return false;
    }
    done_ = false;
    out = std::move(batch_);
    batch_ = StoredBatch();
    error = std::move(error_);
    error_.clear();
    return true;
}

void ReplayReader::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || asked_; });
        if (stopping_) {
            return;
        }
        const std::int64_t after = after_ms_;
        const std::int64_t until = until_ms_;
        const std::size_t most = max_rounds_;
        lock.unlock();
        StoredBatch batch;
        std::string error;
        if (!archive_.read_rounds_after(data_id_, after, until, most, batch, error) &&
            error.empty()) {
            error = "the history could not be read";
        }
        lock.lock();
        batch_ = std::move(batch);
        error_ = std::move(error);
        asked_ = false;
        done_ = true;
        lock.unlock();
        ready_();
        lock.lock();
    }
}

}  // namespace kv830host
