#include "metrics.h"

#include "plant_state.h"

namespace kv830host {

namespace {

MetricLabels id_label(const DeviceView& d) {
    return {
        {"data_id", std::to_string(d.data_id)}
    };
}

bool is_fresh(const DeviceView& d, std::int64_t now_unix_ms) {
    return d.snapshot && d.last_completed_unix_ms != 0 &&
           now_unix_ms - d.last_completed_unix_ms <= kStaleAfterMs;
}

// One counter family with one sample per device.
template <typename Field>
void write_counter(MetricsText& out, const std::vector<DeviceView>& devices, const char* name,
                   const char* help, Field field) {
    out.family(name, "counter", help);
    for (const DeviceView& d : devices) {
        out.sample(name, id_label(d), field(d));
    }
}

void write_histogram(MetricsText& out, const std::vector<DeviceView>& devices) {
    const std::string name = "kv830_cycle_duration_seconds";
    out.family(name, "histogram", "Duration of polling cycles, completed or not.");
    for (const DeviceView& d : devices) {
        unsigned long long cumulative = 0;
        for (std::size_t i = 0; i < kCycleDurationBuckets.size(); ++i) {
            cumulative += d.duration_counts[i];
            MetricLabels labels = id_label(d);
            labels.emplace_back("le", format_metric_value(kCycleDurationBuckets[i]));
            out.sample(name + "_bucket", labels, cumulative);
        }
        cumulative += d.duration_counts[kCycleDurationBuckets.size()];
        MetricLabels labels = id_label(d);
        labels.emplace_back("le", "+Inf");
        out.sample(name + "_bucket", labels, cumulative);
        out.sample(name + "_sum", id_label(d), d.duration_sum_s);
        out.sample(name + "_count", id_label(d), cumulative);
    }
}

}  // namespace

void write_plant_metrics(const PlantState& state, std::int64_t now_unix_ms, MetricsText& out,
                         const SignalModels& models) {
    const std::vector<DeviceView> devices = state.devices();
    write_counter(out, devices, "kv830_cycles_completed_total",
                  "Polling cycles that completed: every request answered.",
                  [](const DeviceView& d) { return d.cycles_completed; });
    write_counter(out, devices, "kv830_cycles_failed_total",
                  "Polling cycles that ended with a request unanswered.",
                  [](const DeviceView& d) { return d.cycles_failed; });
    write_histogram(out, devices);
    for (const RoundCounterInfo& info : kRoundCounters) {
        if (*info.metric != '\0') {
            write_counter(out, devices, info.metric, info.metric_help,
                          [&info](const DeviceView& d) { return d.total(info.counter); });
        }
    }
    const char* failed_name = "kv830_requests_failed_total";
    out.family(failed_name, "counter", "Modbus requests that failed after retries, by reason.");
    for (const DeviceView& d : devices) {
        for (const RoundCounterInfo& info : kRoundCounters) {
            if (*info.failed_reason != '\0') {
                out.sample(
                    failed_name,
                    {
                        {"data_id", std::to_string(d.data_id)},
                        {"reason",  info.failed_reason       }
                },
                    d.total(info.counter));
            }
        }
    }

    write_counter(out, devices, "kv830_link_reopens_total",
                  "Times the serial port or connection was opened again.",
                  [](const DeviceView& d) { return d.reopens; });
    out.family("kv830_link_up", "gauge", "1 while the link to the controller is open.");
    for (const DeviceView& d : devices) {
        out.sample("kv830_link_up", id_label(d), d.link_up ? 1ULL : 0ULL);
    }
    out.family("kv830_last_completed_cycle_timestamp_seconds", "gauge",
               "Unix time at which the latest completed cycle ended.");
    for (const DeviceView& d : devices) {
        if (d.last_completed_unix_ms != 0) {
            out.sample("kv830_last_completed_cycle_timestamp_seconds", id_label(d),
                       static_cast<double>(d.last_completed_unix_ms) / 1000.0);
        }
    }
    out.family("kv830_snapshot_stale", "gauge",
               "1 when the latest completed cycle is older than 61 s or none completed.");
    for (const DeviceView& d : devices) {
        out.sample("kv830_snapshot_stale", id_label(d), is_fresh(d, now_unix_ms) ? 0ULL : 1ULL);
    }
    out.family("kv830_snapshot_from_history", "gauge",
               "1 while the served snapshot is the record loaded from the history at start.");
    for (const DeviceView& d : devices) {
        out.sample("kv830_snapshot_from_history", id_label(d), d.from_history ? 1ULL : 0ULL);
    }
    // A stale snapshot is left out rather than shown as current: the series end and
    // Prometheus marks them stale.
    std::vector<DeviceView> fresh;
    for (const DeviceView& d : devices) {
        if (is_fresh(d, now_unix_ms) && d.document) {
            fresh.push_back(d);
        }
    }
    write_signal_metrics(fresh, models, out);
}

}  // namespace kv830host
