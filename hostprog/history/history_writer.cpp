#include "history_writer.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "time_text.h"

namespace kv830host {

HistoryWriter::HistoryWriter(HistoryStore& store, const HistoryWriterOptions& options)
    : store_(store),
      options_(options),
      capacity_(std::max<std::size_t>(options.max_pending, 1)),
      // make_unique would zero the ring and so map all of it at once.
      slots_(new unsigned char[capacity_ * options.record_size]),  // NOLINT(modernize-make-unique)
      meta_(new Meta[capacity_]) {}                                // NOLINT(modernize-make-unique)

HistoryWriter::~HistoryWriter() {
    stop();
}

void HistoryWriter::start() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_ || stopping_) {
        return;
    }
    running_ = true;
    thread_ = std::thread([this] { run(); });
}

bool HistoryWriter::submit(unsigned data_id, int record_type, std::int64_t unix_ms,
                           const unsigned char* data, std::size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (size != options_.record_size || data == nullptr) {
        ++status_.refused;
        return false;
    }
    if (head_ - tail_ == capacity_) {
        // The oldest waiting round gives way; one already being written may still land.
        if (tail_ < in_flight_) {
            ++dropped_in_flight_;
        } else {
            ++status_.dropped;
        }
        ++tail_;
    }
    const std::size_t slot = slot_of(head_);
    std::memcpy(slots_.get() + slot * options_.record_size, data, size);
    meta_[slot] = Meta{data_id, record_type, unix_ms};
    ++head_;
    return true;
}

void HistoryWriter::submit_alarms(const std::vector<AlarmEvent>& events) {
    std::lock_guard<std::mutex> lock(mutex_);
    alarms_.insert(alarms_.end(), events.begin(), events.end());
    if (alarms_.size() > kMaxAlarmsWaiting) {
        alarms_.erase(alarms_.begin(), alarms_.begin() + static_cast<std::ptrdiff_t>(
                                                             alarms_.size() - kMaxAlarmsWaiting));
    }
}

void HistoryWriter::flush() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!running_) {
        return;
    }
    const unsigned long long ticket = ++flush_asked_;
    wake_.notify_all();
    attempted_.wait(lock, [&] { return flush_done_ >= ticket || !running_; });
}

void HistoryWriter::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

HistoryWriterStatus HistoryWriter::status() const {
    std::lock_guard<std::mutex> lock(mutex_);
    HistoryWriterStatus s = status_;
    s.pending = head_ - tail_;
    return s;
}

void HistoryWriter::waiting_rounds(unsigned data_id, int record_type, std::int64_t from_ms,
                                   std::int64_t to_ms, std::vector<StoredRound>& out) const {
    out.clear();
    std::vector<std::int64_t> times;
    std::vector<unsigned char> records;
    const std::size_t size = options_.record_size;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (unsigned long long n = tail_; n < head_; ++n) {
            const std::size_t slot = slot_of(n);
            const Meta& m = meta_[slot];
            if (m.data_id == data_id && m.record_type == record_type && m.unix_ms >= from_ms &&
                m.unix_ms <= to_ms) {
                times.push_back(m.unix_ms);
                const unsigned char* record = slots_.get() + slot * size;
                records.insert(records.end(), record, record + size);
            }
        }
    }
    out.resize(times.size());
    for (std::size_t i = 0; i < times.size(); ++i) {
        out[i].unix_ms = times[i];
        out[i].data_id = data_id;
        out[i].record_type = record_type;
        out[i].record.assign(records.begin() + static_cast<std::ptrdiff_t>(i * size),
                             records.begin() + static_cast<std::ptrdiff_t>((i + 1) * size));
    }
}

void HistoryWriter::set_mark(const std::string& consumer, unsigned data_id, std::int64_t unix_ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::int64_t& mark = marks_[{consumer, data_id}];
    mark = std::max(mark, unix_ms);
}

bool HistoryWriter::marks_waiting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !marks_.empty();
}

void HistoryWriter::run() {
    using Clock = std::chrono::steady_clock;
    Batch batch;
    auto next = Clock::now() + std::chrono::milliseconds(options_.commit_ms);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait_until(lock, next, [&] { return stopping_ || flush_asked_ > flush_done_; });
        take_batch(batch);
        lock.unlock();
        Written written = write_batch(batch);
        lock.lock();
        const bool retry = settle_batch(batch, written);
        if (batch.last) {
            running_ = false;
            attempted_.notify_all();
            return;
        }
        next = Clock::now() +
               std::chrono::milliseconds(retry ? std::min(options_.retry_ms, options_.commit_ms)
                                               : options_.commit_ms);
    }
}

void HistoryWriter::take_batch(Batch& batch) {
    batch.last = stopping_;
    batch.ticket = flush_asked_;
    const unsigned long long first = tail_;
    batch.end = head_;
    const auto count = static_cast<std::size_t>(batch.end - first);
    batch.bytes.resize(count * options_.record_size);
    batch.rounds.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t slot = slot_of(first + i);
        std::memcpy(batch.bytes.data() + i * options_.record_size,
                    slots_.get() + slot * options_.record_size, options_.record_size);
        batch.rounds[i] = RoundToSave{meta_[slot].data_id, meta_[slot].record_type,
                                      meta_[slot].unix_ms, nullptr, options_.record_size};
    }
    in_flight_ = batch.end;
    // The marks go with the rounds, never in a commit of their own while rounds come:
    // marking costs the medium no write beyond what the rounds' commits make.
    batch.marks.clear();
    if (count > 0 || batch.last) {
        for (const auto& [key, unix_ms] : marks_) {
            batch.marks.push_back(MarkRow{key.first, key.second, unix_ms, 0});
        }
    }
    batch.alarms.clear();
    batch.alarms.swap(alarms_);
}

HistoryWriter::Written HistoryWriter::write_batch(Batch& batch) {
    Written w;
    const std::size_t count = batch.rounds.size();
    // A file another program held locked at start is opened here, once it lets go;
    // until then the rounds and the marks wait as they do for a lock during the run.
    const bool to_write = count > 0 || !batch.marks.empty();
    if (to_write && !store_.is_open()) {
        const std::string path = store_.path();
        w.ok = store_.open(path, HistoryStore::Access::ReadWrite, w.error);
        w.failure = store_.last_failure();
    }
    if (to_write && w.ok) {
        for (std::size_t i = 0; i < count; ++i) {
            batch.rounds[i].data = batch.bytes.data() + i * options_.record_size;
        }
        store_.set_busy_timeout_ms(batch.last ? options_.final_busy_timeout_ms
                                              : options_.busy_timeout_ms);
        w.ok =
            store_.append_batch(batch.rounds.data(), count, batch.marks, wall_clock_ms(), w.error);
        w.failure = store_.last_failure();
    }
    // In a transaction of their own, with the rounds' commit cadence: alarms are rare,
    // so most commits write none.
    w.alarms_saved = !w.ok || batch.alarms.empty() ||
                     store_.append_alarm_events(batch.alarms, wall_clock_ms(), w.error);
    if (!w.alarms_saved) {
        w.alarm_error = w.error;
    }
    return w;
}

bool HistoryWriter::settle_batch(Batch& batch, Written& w) {
    const std::size_t count = batch.rounds.size();
    if (!w.alarms_saved || (!w.ok && !batch.alarms.empty())) {
        // Tried again with the next commit, before what came meanwhile.
        batch.alarms.insert(batch.alarms.end(), alarms_.begin(), alarms_.end());
        alarms_.swap(batch.alarms);
    }
    in_flight_ = 0;
    if (w.ok) {
        // Marks moved on meanwhile stay for the next commit.
        for (const MarkRow& m : batch.marks) {
            const auto it = marks_.find({m.consumer, m.data_id});
            if (it != marks_.end() && it->second == m.unix_ms) {
                marks_.erase(it);
            }
        }
        tail_ = std::max(tail_, batch.end);
        if (tail_ == head_) {
            base_ = head_;
        }
        status_.saved += count;
        status_.commits += count > 0 ? 1 : 0;
        status_.failure = HistoryFailure::None;
        status_.error.clear();
    } else {
        status_.dropped += dropped_in_flight_;
        status_.failure = w.failure;
        status_.error = w.error;
    }
    if (!w.alarm_error.empty()) {
        w.ok = false;
        w.failure = store_.last_failure();
        status_.failure = w.failure;
        status_.error = "alarm journal: " + w.alarm_error;
    }
    dropped_in_flight_ = 0;
    flush_done_ = std::max(flush_done_, batch.ticket);
    attempted_.notify_all();
    return !w.ok && (w.failure == HistoryFailure::Busy || w.failure == HistoryFailure::Full ||
                     w.failure == HistoryFailure::Io);
}

}  // namespace kv830host
