#include "mqtt_inbox.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <utility>

namespace kv830host {

namespace {

// What a queued entry holds beside its round: itself and its shared control block.
constexpr std::size_t kEntryOverhead = 96;
// A live round sends two messages, its cycle and its snapshot.
constexpr int kLivePlaces = 2;

bool waits_to_go(const QueuedRound& entry, bool backlog_goes) {
    return entry.live || (backlog_goes && entry.round->completed);
}

}  // namespace

MqttInbox::MqttInbox(const Bounds& bounds)
    : bounds_(bounds), wake_fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

MqttInbox::~MqttInbox() {
    if (wake_fd_ >= 0) {
        close(wake_fd_);
    }
}

void MqttInbox::wake() const {
    const std::uint64_t one = 1;
    // A full counter already means "wake up": the result does not matter.
    const ssize_t n = write(wake_fd_, &one, sizeof one);
    static_cast<void>(n);
}

void MqttInbox::drain() const {
    std::uint64_t value = 0;
    const ssize_t n = read(wake_fd_, &value, sizeof value);
    static_cast<void>(n);
}

void MqttInbox::count_queue() {
    depth_ = queue_.size();
    bytes_held_ = bytes_;
}

void MqttInbox::push(const RoundPtr& round, const std::atomic<bool>& connected) {
    auto entry = std::make_shared<QueuedRound>();
    entry->round = round;
    entry->unix_ms = round->end_unix_ms;
    entry->bytes = round_bytes(*round) + sizeof(QueuedRound) + kEntryOverhead;
    const std::lock_guard<std::mutex> lock(mutex_);
    entry->live = connected.load();
    bytes_ += entry->bytes;
    submitted_through_ms_ = std::max(submitted_through_ms_, entry->unix_ms);
    queue_.push_back(std::move(entry));
    while (queue_.size() > 1 && (queue_.size() > bounds_.rounds || bytes_ > bounds_.bytes)) {
        const std::shared_ptr<QueuedRound>& oldest = queue_.front();
        bytes_ -= oldest->bytes;
        // Only what the history keeps comes back from it.
        if (oldest->round->completed && oldest->round->store) {
            dropped_through_ms_ = std::max(dropped_through_ms_, oldest->unix_ms);
        }
        queue_.pop_front();
        ++dropped_;
    }
    count_queue();
}

void MqttInbox::add_result(std::string payload) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (results_.size() < bounds_.results) {
        results_.push_back(std::move(payload));
    }
}

void MqttInbox::add_message(Message message) {
    const std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(std::move(message));
    if (messages_.size() > bounds_.messages) {
        messages_.pop_front();
    }
}

void MqttInbox::take_outgoing(std::deque<std::string>& results, std::deque<Message>& messages) {
    const std::lock_guard<std::mutex> lock(mutex_);
    results.swap(results_);
    messages.swap(messages_);
}

// Live rounds first, as many as the window takes; then the backlog within its part of the
// window and its pace, oldest first.
MqttInbox::Chosen MqttInbox::choose(const Limits& limits) const {
    Chosen chosen;
    chosen.room = limits.room;
    const std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : queue_) {
        if (entry->live && entry->sent_in != limits.generation && chosen.room >= kLivePlaces) {
            chosen.live.push_back(entry);
            chosen.room -= kLivePlaces;
        }
    }
    int backlog_room = std::min(limits.backlog_room, chosen.room - limits.keep_free);
    int paced = limits.paced;
    for (const auto& entry : queue_) {
        if (!limits.backlog_due || backlog_room <= 0 || paced <= 0) {
            break;
        }
        if (entry->live || entry->sent_in == limits.generation) {
            continue;
        }
        if (!entry->round->completed) {
            // A failed round has no snapshot to send later; its counters are in the
            // metrics.
            chosen.failed.push_back(entry);
            continue;
        }
        chosen.backlog.push_back(entry);
        --backlog_room;
        --paced;
    }
    chosen.room -= static_cast<int>(chosen.backlog.size());
    return chosen;
}

// A round the broker has taken leaves the queue at once, wherever it is in it, so that
// live rounds acknowledged behind a waiting backlog free their memory.
void MqttInbox::forget(const std::shared_ptr<QueuedRound>& entry) {
    const std::lock_guard<std::mutex> lock(mutex_);
    auto it = queue_.end();
    if (entry->live) {
        const auto r = std::find(queue_.rbegin(), queue_.rend(), entry);
        if (r != queue_.rend()) {
            it = std::next(r).base();
        }
    } else {
        it = std::find(queue_.begin(), queue_.end(), entry);
    }
    if (it != queue_.end()) {
        bytes_ -= (*it)->bytes;
        queue_.erase(it);
    }
    count_queue();
}

// The newest round waiting is the plant's state now: it goes out as the live one, the rest
// to the history topic.
std::size_t MqttInbox::mark_newest_live() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!queue_.empty()) {
        queue_.back()->live = true;
    }
    return queue_.size();
}

// Only the newest waiting round is live on the next connection.
void MqttInbox::mark_for_resend() {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : queue_) {
        entry->sent_in = 0;
        entry->live = false;
    }
}

bool MqttInbox::has_backlog() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size() > 1;
}

std::int64_t MqttInbox::delivered_before() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return queue_.empty() ? submitted_through_ms_ : queue_.front()->unix_ms - 1;
}

std::int64_t MqttInbox::dropped_through() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return dropped_through_ms_;
}

std::size_t MqttInbox::count_waiting(bool backlog_goes) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(queue_.begin(), queue_.end(),
                      [&](const auto& entry) { return waits_to_go(*entry, backlog_goes); }));
}

}  // namespace kv830host
