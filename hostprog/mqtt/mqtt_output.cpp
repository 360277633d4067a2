#include "mqtt_output.h"

#include <utility>

#include "device_list.h"
#include "mqtt_publisher.h"
#include "mqtt_settings.h"

namespace kv830host {

namespace {

// Each device's publisher configuration; refuses what does not hold together.
bool configure(const MqttSettings& settings, const OutputContext& context,
               std::vector<MqttConfig>& out, std::string& error) {
    if (!mqtt_enabled(settings)) {
        return check_mqtt_settings(settings, 0, context.interval_s, local_host_name(),
                                   out.emplace_back(), error);
    }
    if (context.devices.size() > 1 && !settings.topic_prefix.empty() &&
        !has_data_id_field(settings.topic_prefix)) {
        error = "--mqtt-topic: with several devices each needs topics of its own; put " +
                std::string(kDataIdField) + " in the prefix";
        return false;
    }
    for (const DeviceInfo& device : context.devices) {
        MqttSettings own = settings;
        own.topic_prefix = expand_data_id(settings.topic_prefix, device.data_id);
        if (!check_mqtt_settings(own, device.data_id, context.interval_s, local_host_name(),
                                 out.emplace_back(), error)) {
            return false;
        }
    }
    return true;
}

class MqttOutput : public Output {
  public:
    MqttOutput(const std::vector<MqttConfig>& configs, OutputContext& context) : context_(context) {
        for (const MqttConfig& config : configs) {
            auto publisher = std::make_unique<MqttPublisher>(config);
            publisher->set_remote_writes(context.writes);
            publishers_.emplace_back(config.data_id, std::move(publisher));
        }
    }

    bool start(std::string&) override {
        // A broker that is away or a client that cannot be set up does not stop the
        // polling: the rounds are queued and the line says why.
        for (auto& [data_id, publisher] : publishers_) {
            std::string error;
            if (!publisher->start(error)) {
                context_.status->write_line("", "kv830-host: MQTT: " + error + "\n");
            }
        }
        return true;
    }

    void on_round(const RoundPtr& round) override {
        for (auto& [data_id, publisher] : publishers_) {
            if (data_id == round->data_id) {
                publisher->submit(round);
            }
        }
    }

    void describe_metrics(MetricsText& out) const override {
        MqttCounters all;
        for (const auto& [data_id, publisher] : publishers_) {
            const MqttCounters c = publisher->counters();
            all.queue_depth += c.queue_depth;
            all.dropped += c.dropped;
            all.published += c.published;
        }
        out.family("kv830_mqtt_queue_depth", "gauge", "Completed cycles waiting for the broker.");
        out.sample("kv830_mqtt_queue_depth", {}, static_cast<unsigned long long>(all.queue_depth));
        out.family("kv830_mqtt_dropped_total", "counter",
                   "Queued cycles dropped, oldest first, because the queue was full.");
        out.sample("kv830_mqtt_dropped_total", {}, all.dropped);
        out.family("kv830_mqtt_published_total", "counter", "Cycle messages the broker accepted.");
        out.sample("kv830_mqtt_published_total", {}, all.published);
    }

    void stop() override {
        for (auto& [data_id, publisher] : publishers_) {
            publisher->stop();
        }
    }

    RoundNeeds needs() const override { return {true, false}; }

  private:
    OutputContext& context_;
    std::vector<std::pair<unsigned, std::unique_ptr<MqttPublisher>>> publishers_;
};

class MqttKind : public OutputKind {
  public:
    const char* name() const override { return "mqtt"; }

    std::vector<kv830cli::Option> option_rows() override { return mqtt_options(settings_); }

    bool check(const OutputContext& context, std::string& error) override {
        std::vector<MqttConfig> configs;
        return configure(settings_, context, configs, error);
    }

    std::unique_ptr<Output> make(OutputContext& context, std::string& error) override {
        if (!mqtt_enabled(settings_)) {
            return nullptr;
        }
        std::vector<MqttConfig> configs;
        if (!configure(settings_, context, configs, error)) {
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
