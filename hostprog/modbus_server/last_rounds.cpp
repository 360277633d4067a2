#include "last_rounds.h"

#include "kv830_protocol.h"

namespace kv830host {

namespace {

constexpr std::int64_t kStaleAfterMs = kv830::kStaleAfterSeconds * 1000;

}  // namespace

LastRounds::LastRounds(const std::vector<ServedDevice>& devices) {
    slot_of_.fill(-1);
    slots_.reserve(devices.size());
    for (const ServedDevice& d : devices) {
        slot_of_[d.unit] = static_cast<int>(slots_.size());
        Slot slot;
        slot.data_id = d.data_id;
        slots_.push_back(slot);
    }
}

void LastRounds::on_round(const RoundPtr& round) {
    if (!round || !round->completed || round->from_history) {
        return;
    }
    const Clock::time_point arrived = Clock::now();
    const std::lock_guard<std::mutex> lock(mutex_);
    for (Slot& slot : slots_) {
        if (slot.data_id == round->data_id) {
            slot.round = round;
            slot.arrived = arrived;
        }
    }
}

unsigned LastRounds::data_id(std::uint8_t unit) const {
    return slots_[static_cast<std::size_t>(slot_of_[unit])].data_id;
}

RoundPtr LastRounds::current(std::uint8_t unit, std::int64_t now_unix_ms,
                             Clock::time_point now) const {
    if (slot_of_[unit] < 0) {
        return nullptr;
    }
    RoundPtr round;
    Clock::time_point arrived;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        const Slot& slot = slots_[static_cast<std::size_t>(slot_of_[unit])];
        round = slot.round;
        arrived = slot.arrived;
    }
    if (!round || now_unix_ms - round->end_unix_ms >= kStaleAfterMs ||
        now - arrived >= std::chrono::milliseconds(kStaleAfterMs)) {
        return nullptr;
    }
    return round;
}

}  // namespace kv830host
