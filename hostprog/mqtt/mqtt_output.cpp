#include "mqtt_output.h"

#include <string>
#include <utility>
#include <vector>

#include "byte_size.h"
#include "device_list.h"
#include "device_runner.h"
#include "json_text.h"
#include "mqtt_alarms.h"
#include "mqtt_messages.h"
#include "mqtt_publisher.h"
#include "mqtt_settings.h"
#include "node_id.h"
#include "time_text.h"

namespace kv830host {

namespace {

// Stands for the node id while the settings are only checked: the program resolves it
// once the outputs are made. As long as the longest node id, so that the client id's
// length is checked too.
const std::string kNodeIdUnresolved(kMaxNodeIdLength, 'n');

// "1 cycle", "3 cycles".
std::string cycles(unsigned long long n) {
    return std::to_string(n) + (n == 1 ? " cycle" : " cycles");
}

// The delivery mark is the broker's: another broker has received none of the rounds.
std::string consumer_name(const MqttConfig& config) {
    return "mqtt " + config.broker.host + ":" + std::to_string(config.broker.port);
}

// Each device's publisher configuration; refuses what does not hold together.
bool configure(const MqttSettings& settings, const OutputContext& context,
               const std::string& node_id, std::vector<MqttConfig>& out, std::string& error) {
    if (!mqtt_enabled(settings)) {
        return check_mqtt_settings(settings, 0, context.interval_s, node_id, out.emplace_back(),
                                   error);
    }
    if (context.devices.size() > 1) {
        // One session per client id and one set of topics per device: a fixed text would
        // make the devices take each other's session or overwrite each other's state.
        const std::pair<const std::string&, const char*> patterns[] = {
            {settings.topic_prefix,
             "--mqtt-topic: with several devices each needs topics of its own"         },
            {settings.client_id,
             "--mqtt-client-id: with several devices each needs a client id of its own"},
        };
        for (const auto& [pattern, what] : patterns) {
            if (!pattern.empty() && !has_data_id_field(pattern)) {
                error = std::string(what) + "; put " + kDataIdField + " in it";
                return false;
            }
        }
    }
    for (const DeviceInfo& device : context.devices) {
        MqttSettings own = settings;
        own.topic_prefix = expand_data_id(settings.topic_prefix, device.data_id);
        if (!check_mqtt_settings(own, device.data_id, context.interval_s, node_id,
                                 out.emplace_back(), error)) {
            return false;
        }
    }
    return true;
}

class MqttOutput : public Output {
  public:
    MqttOutput(const std::vector<MqttConfig>& configs, OutputContext& context)
        : context_(context), configs_(configs) {
        for (const MqttConfig& config : configs) {
            auto publisher = std::make_unique<MqttPublisher>(config);
            publisher->set_remote_writes(context.writes);
            const std::string prefix = prefix_of(config.data_id);
            publisher->set_log([this, prefix](const std::string& line) {
                context_.status->write_line(prefix, "kv830-host: mqtt: " + line + "\n");
            });
            publisher->set_archive(context.round_archive, consumer_name(config));
            AlarmBoard* board = context.alarms;
            const unsigned data_id = config.data_id;
            if (board != nullptr) {
                publisher->add_command(
                    kAlarmAckSuffix, [board, data_id](const std::string& payload, bool retained) {
                        return answer_alarm_ack(*board, data_id, payload, retained);
                    });
            }
            publishers_.emplace_back(config.data_id, std::move(publisher));
        }
    }

    bool start(std::string&) override {
        // A broker that is away or a client that cannot be set up does not stop the
        // polling: the rounds are queued and the line says why. Nor does a history whose
        // mark cannot be read: the queue in memory is then all there is.
        for (auto& [data_id, publisher] : publishers_) {
            std::string error;
            if (publisher->start(error)) {
                continue;
            }
            context_.status->write_line(prefix_of(data_id), "kv830-host: mqtt: " + error + "\n");
            publisher->set_archive(nullptr, "");
            if (!publisher->start(error)) {
                context_.status->write_line(prefix_of(data_id),
                                            "kv830-host: mqtt: " + error + "\n");
            }
        }
        return true;
    }

    // Each event, then the list as it stands; at start the list alone (AlarmBoard::announce).
    void on_alarms(const AlarmNews& news) override {
        for (auto& [data_id, publisher] : publishers_) {
            if (data_id != news.data_id) {
                continue;
            }
            for (const AlarmEvent& e : news.events) {
                publisher->send(kAlarmEventSuffix, compact_json_text(alarm_event_json(e)), false);
            }
            publisher->send(kAlarmListSuffix, format_alarm_list(news.data_id, news.listed), true);
        }
    }

    void on_round(const RoundPtr& round) override {
        for (auto& [data_id, publisher] : publishers_) {
            if (data_id == round->data_id) {
                publisher->submit(round);
            }
        }
    }

    std::string describe() const override {
        const MqttConfig& first = configs_.front();
        std::string text =
            "mqtt " + first.broker.host + ":" + std::to_string(first.broker.port) + " as ";
        for (std::size_t i = 0; i < configs_.size(); ++i) {
            text += (i > 0 ? ", " : "") + configs_[i].client_id;
        }
        return text;
    }

    std::string cycle_note(unsigned data_id) const override {
        for (const auto& [id, publisher] : publishers_) {
            if (id == data_id) {
                return publisher->note();
            }
        }
        return "";
    }

    void describe_metrics(MetricsText& out) const override {
        std::vector<std::pair<MetricLabels, MqttCounters>> all;
        for (const auto& [data_id, publisher] : publishers_) {
            all.emplace_back(
                MetricLabels{
                    {"data_id", std::to_string(data_id)}
            },
                publisher->counters());
        }
        struct Family {
            const char* name;
            const char* type;
            const char* help;
            double (*value)(const MqttCounters&);
        };
        // clang-format off
        static const Family kFamilies[] = {
            {"kv830_mqtt_connected", "gauge", "1 while the broker has the connection.",
             [](const MqttCounters& c) { return c.connected ? 1.0 : 0.0; }},
            {"kv830_mqtt_queue_depth", "gauge", "Rounds waiting in memory for the broker.",
             [](const MqttCounters& c) { return static_cast<double>(c.queue_depth); }},
            {"kv830_mqtt_queue_bytes", "gauge", "Memory the waiting rounds hold.",
             [](const MqttCounters& c) { return static_cast<double>(c.queue_bytes); }},
            {"kv830_mqtt_dropped_total", "counter",
             "Rounds that left the full memory queue undelivered (sent from the history later when there is one).",
             [](const MqttCounters& c) { return static_cast<double>(c.dropped); }},
            {"kv830_mqtt_published_total", "counter", "Rounds the broker acknowledged.",
             [](const MqttCounters& c) { return static_cast<double>(c.published); }},
            {"kv830_mqtt_replayed_total", "counter",
             "Rounds the broker acknowledged on PREFIX/history, sent after they completed.",
             [](const MqttCounters& c) { return static_cast<double>(c.replayed); }},
            {"kv830_mqtt_session_takeovers_total", "counter",
             "Sessions the broker gave to another client with this client id.",
             [](const MqttCounters& c) { return static_cast<double>(c.takeovers); }},
            {"kv830_mqtt_reconnects_total", "counter", "Connection attempts after the first.",
             [](const MqttCounters& c) { return static_cast<double>(c.reconnects); }},
        };
        // clang-format on
        for (const Family& family : kFamilies) {
            out.family(family.name, family.type, family.help);
            for (const auto& [labels, counters] : all) {
                out.sample(family.name, labels, family.value(counters));
            }
        }
        if (context_.round_archive == nullptr) {
            return;
        }
        out.family("kv830_mqtt_delivered_through_seconds", "gauge",
                   "Every round up to this time was delivered (the delivery mark in the history).");
        for (const auto& [labels, counters] : all) {
            out.sample("kv830_mqtt_delivered_through_seconds", labels,
                       static_cast<double>(counters.delivered_through_ms) / 1000.0);
        }
        out.family("kv830_mqtt_pruned_before_delivery_total", "counter",
                   "Rounds the history's retention removed before they could be delivered.");
        for (std::size_t i = 0; i < publishers_.size(); ++i) {
            out.sample("kv830_mqtt_pruned_before_delivery_total", all[i].first,
                       context_.round_archive->pruned_before_delivery(consumer_name(configs_[i]),
                                                                      publishers_[i].first));
        }
    }

    void stop() override {
        // Every publisher flushes at once: the exit waits one flush timeout, not one per
        // device.
        for (auto& [data_id, publisher] : publishers_) {
            publisher->ask_stop();
        }
        for (std::size_t i = 0; i < publishers_.size(); ++i) {
            auto& [data_id, publisher] = publishers_[i];
            publisher->stop();
            if (!publisher->delivered_all()) {
                short_ = true;
            }
            context_.status->write_line(prefix_of(data_id), "kv830-host: " + summary(i) + "\n");
        }
    }

    // A --cycles N run is judged by whether its rounds reached the broker; a stop by a
    // signal is what a service manager does and ends well whatever was still queued.
    int exit_status() const override {
        return short_ && context_.run.cycles > 0 && stop_flags().stop == 0 ? kExitShortfall
                                                                           : kExitOk;
    }

    RoundNeeds needs() const override { return {true, false}; }

  private:
    std::string prefix_of(unsigned data_id) const {
        return context_.devices.size() > 1 ? "[" + std::to_string(data_id) + "] " : "";
    }

    // "mqtt: 120 cycles delivered (20 sent later on kv830/1/history), 3 not delivered
    // (kept in the history for the next start)"
    std::string summary(std::size_t i) const {
        const MqttCounters c = publishers_[i].second->counters();
        std::string line = "mqtt: " + cycles(c.published) + " delivered";
        if (c.replayed != 0) {
            line += " (" + std::to_string(c.replayed) + " sent later on " + configs_[i].prefix +
                    "/history)";
        }
        const bool kept = context_.round_archive != nullptr;
        line += ", " + std::to_string(c.not_delivered) + " not delivered";
        if (c.not_delivered != 0 && kept) {
            line += " (kept in the history for the next start)";
        }
        if (c.backlog_on_file) {
            line += ", the history's rounds after " + format_time_utc(c.delivered_through_ms) +
                    " wait for the next start";
        }
        if (kept) {
            const unsigned long long pruned = context_.round_archive->pruned_before_delivery(
                consumer_name(configs_[i]), publishers_[i].first);
            if (pruned != 0) {
                line += ", " + cycles(pruned) + " pruned from the history before delivery";
            }
        }
        if (!kept && c.dropped != 0) {
            line += ", " + std::to_string(c.dropped) + " dropped from the full queue";
        }
        if (c.takeovers != 0) {
            line += ", " + std::to_string(c.takeovers) + " sessions taken over by another client";
        }
        return line;
    }

    OutputContext& context_;
    std::vector<MqttConfig> configs_;
    std::vector<std::pair<unsigned, std::unique_ptr<MqttPublisher>>> publishers_;
    bool short_ = false;
};

class MqttKind : public OutputKind {
  public:
    const char* name() const override { return "mqtt"; }

    std::vector<kv830cli::Option> option_rows() override { return mqtt_options(settings_); }

    bool check(const OutputContext& context, std::string& error) override {
        std::vector<MqttConfig> configs;
        const std::string& node_id = context.node_id.empty() ? kNodeIdUnresolved : context.node_id;
        return configure(settings_, context, node_id, configs, error);
    }

    std::unique_ptr<Output> make(OutputContext& context, std::string& error) override {
        if (!mqtt_enabled(settings_)) {
            return nullptr;
        }
        std::vector<MqttConfig> configs;
        if (!configure(settings_, context, context.node_id, configs, error)) {
            return nullptr;
        }
        for (std::size_t i = 0; i < configs.size() && i < context.devices.size(); ++i) {
            configs[i].node_id = context.node_id;
            configs[i].signals = &context.devices[i].gateway.signals;
        }
        return std::make_unique<MqttOutput>(configs, context);
    }

  private:
    MqttSettings settings_;
};

}  // namespace

std::unique_ptr<OutputKind> make_mqtt_kind() {
    return std::make_unique<MqttKind>();
}

}  // namespace kv830host
