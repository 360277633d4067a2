// Records as a polling host would store them, made from the plant simulator's model one
// simulated second at a time, for the history's tests and benchmark.
#pragma once

#include <cstdint>
#include <cstring>
#include <ctime>
#include <vector>

#include "kv830_data.h"
#include "plant_model.h"

namespace historytest {

class RecordMaker {
  public:
    explicit RecordMaker(std::uint32_t seed = 1, unsigned data_id = 1)
        : model_(plantsim::ModelConfig{seed, false, 0.2}), data_id_(data_id) {}

    // The record of a round that completed at `unix_ms` after one more plant second.
    std::vector<unsigned char> next(std::int64_t unix_ms) {
        model_.advance(1.0);
        std::vector<unsigned char> r(sizeof(KV830_Data_t), 0);
        std::memcpy(r.data(), &data_id_, sizeof data_id_);
        for (const kv830::PollStep& step : kv830::kPollChain) {
            for (int i = 0; i < step.count; ++i) {
                const auto at = static_cast<std::size_t>(step.first) + static_cast<std::size_t>(i);
                if (step.source == kv830::Source::InputBits) {
                    r[step.offset + static_cast<std::size_t>(i)] = model_.inputs()[at];
                } else {
                    const std::uint16_t v = model_.holding()[at];
                    std::memcpy(r.data() + step.offset + 2U * static_cast<std::size_t>(i), &v,
                                sizeof v);
                }
            }
        }
        const auto t = static_cast<std::time_t>(unix_ms / 1000);
        std::tm tm{};
        localtime_r(&t, &tm);
        TTime stamp{
            static_cast<std::uint16_t>(tm.tm_year + 1900), static_cast<std::uint8_t>(tm.tm_mon + 1),
            static_cast<std::uint8_t>(tm.tm_mday),         static_cast<std::uint8_t>(tm.tm_hour),
            static_cast<std::uint8_t>(tm.tm_min),          static_cast<std::uint8_t>(tm.tm_sec)};
        std::memcpy(r.data() + offsetof(KV830_Data_t, timestamp), &stamp, sizeof stamp);
        return r;
    }

  private:
    plantsim::PlantModel model_;
    unsigned data_id_;
};

}  // namespace historytest
