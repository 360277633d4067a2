#include "support.h"

#include <json/value.h>
#include <json/writer.h>
#include <unistd.h>

#include <chrono>

#include "kv830_signals.h"

namespace mqtttest {

kv830host::MqttConfig make_config(const std::string& url, const std::string& prefix,
                                  kv830host::MqttSettings settings) {
    settings.url = url;
    settings.topic_prefix = prefix;
    kv830host::MqttConfig config;
    std::string error;
    if (!kv830host::check_mqtt_settings(settings, 1, 1.0, "testhost", config, error)) {
        config.prefix = "refused: " + error;
    }
    // Quick retries keep the broker-restart tests short.
    config.backoff_min_s = 0.1;
    config.backoff_max_s = 0.5;
    return config;
}

std::string snapshot_text(unsigned seed) {
    Json::Value doc(Json::objectValue);
    for (std::size_t i = 0; i < kv830::kSignalCount; ++i) {
        const kv830::SignalRow& row = kv830::kSignals[i];
        const unsigned v = (seed * 31U + static_cast<unsigned>(i) * 7U) % 1000U;
        switch (row.kind) {
            case kv830::SignalKind::Bit:
                doc[row.key] = static_cast<int>(v & 1U);
                break;
            case kv830::SignalKind::Value:
                doc[row.key] = static_cast<double>(v);
                break;
            case kv830::SignalKind::Enum:
                doc[row.key] = (v & 1U) != 0U ? row.text1 : row.text0;
                break;
            case kv830::SignalKind::Input:
                doc[row.key] = static_cast<double>(v & 1U);
                break;
        }
    }
    doc[kv830::kUpdateTimeKey] = "2026-3-5 8:7:" + std::to_string(seed % 60);
    Json::FastWriter writer;
    return writer.write(doc);
}

kv830host::RoundPtr make_report(unsigned long long number, bool completed) {
    auto r = std::make_shared<kv830host::Round>();
    r->data_id = 1;
    r->number = number;
    r->completed = completed;
    r->duration_s = 0.25;
    r->counters[kv830host::RoundCounter::Answered] = completed ? 17 : 9;
    r->counters[kv830host::RoundCounter::Failed] = completed ? 0 : 8;
    r->end_unix_ms = 1796000000000LL + static_cast<long long>(number) * 1000;
    r->last_completed_unix_ms = completed ? r->end_unix_ms : 0;
    if (completed) {
        r->snapshot = snapshot_text(static_cast<unsigned>(number));
    }
    return r;
}

std::string unique_prefix(const std::string& test) {
    return "test/" + std::to_string(getpid()) + "/" + test + "/" +
           std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
}

}  // namespace mqtttest
