// The last round each device completed since the program started, by the unit id a Modbus
// client asks for. Written by the polling threads, read by the server's thread; a reader
// takes the round itself (shared, never copied), so a reply reads the record in place.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

#include "round.h"

namespace kv830host {

constexpr int kUnitIds = 256;

struct ServedDevice {
    unsigned data_id = 0;
    std::uint8_t unit = 0;
};

class LastRounds {
  public:
    using Clock = std::chrono::steady_clock;

    explicit LastRounds(const std::vector<ServedDevice>& devices);

    // A round of any device: kept when it completed on the line (a record served from the
    // history is not news of the plant).
    void on_round(const RoundPtr& round);

    bool known(std::uint8_t unit) const { return slot_of_[unit] >= 0; }
    // The device's data id; only for a known unit.
    unsigned data_id(std::uint8_t unit) const;
    // The unit's last round while it is current: null when none completed since start, or
    // when it ended kv830::kStaleAfterSeconds or longer ago, by the wall clock or, should
    // that have been set back, by the time it arrived here.
    RoundPtr current(std::uint8_t unit, std::int64_t now_unix_ms, Clock::time_point now) const;

  private:
    struct Slot {
        unsigned data_id = 0;
        RoundPtr round;
        Clock::time_point arrived{};
    };
    std::array<int, kUnitIds> slot_of_{};
    std::vector<Slot> slots_;
    mutable std::mutex mutex_;
};

}  // namespace kv830host
