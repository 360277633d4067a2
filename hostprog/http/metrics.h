// The plant's families of /metrics: cycles, durations, failed requests, reopens, the last
// completed cycle, staleness, and every signal of every fresh snapshot.
#pragma once

#include <cstdint>
#include <functional>

#include "metrics_text.h"
#include "signal_metrics.h"

namespace kv830host {

class PlantState;

// Lines other modules add at each scrape; called on a server thread, so they read their
// own state under their own lock.
using MetricsSource = std::function<void(MetricsText&)>;

// The plant's families: cycles, durations, failed requests, reopens, last completed
// cycle, staleness, and every signal of every fresh snapshot through its device's model.
void write_plant_metrics(const PlantState& state, std::int64_t now_unix_ms, MetricsText& out,
                         const SignalModels& models = {});

}  // namespace kv830host
