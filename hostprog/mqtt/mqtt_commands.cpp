#include "mqtt_commands.h"

#include "mqtt_messages.h"
#include "write_command.h"

namespace kv830host {

MqttCommands::MqttCommands(const MqttConfig& config, std::shared_ptr<MqttInbox> inbox)
    : config_(config),
      inbox_(std::move(inbox)),
      write_topic_(config.prefix + "/write"),
      result_topic_(config.prefix + "/write/result") {}

void MqttCommands::add(const std::string& suffix, MqttPublisher::CommandHandler handler) {
    commands_.emplace_back(config_.prefix + "/" + suffix, std::move(handler));
}

std::vector<std::string> MqttCommands::topics() const {
    std::vector<std::string> topics;
    if (config_.writes) {
        topics.push_back(write_topic_);
        for (const auto& command : commands_) {
            topics.push_back(command.first);
        }
    }
    return topics;
}

bool MqttCommands::take(const std::string& topic, const std::string& payload, bool retained) {
    if (!config_.writes) {
        return false;
    }
    if (topic == write_topic_) {
        take_write(payload, retained);
        return true;
    }
    bool taken = false;
    for (const auto& [command_topic, handler] : commands_) {
        if (topic == command_topic) {
            inbox_->add_message({topic + "/result", handler(payload, retained), false});
            taken = true;
        }
    }
    return taken;
}

void MqttCommands::take_write(const std::string& payload, bool retained) {
    RemoteWrite write;
    std::string error;
    const bool parsed = parse_write_command(payload, write, error);
    write.source = "mqtt";
    write.retained = retained;
    // A refusal comes back at once, an outcome from the polling thread later; either
    // wakes the network thread, which sends it.
    std::weak_ptr<MqttInbox> weak = inbox_;
    auto answer = [weak, write](const WriteOutcome& outcome) {
        const std::shared_ptr<MqttInbox> box = weak.lock();
        if (!box) {
            return;
        }
        box->add_result(format_write_result(write, outcome));
        box->wake();
    };
    if (writes_ == nullptr) {
        WriteOutcome outcome;
        outcome.kind = WriteOutcome::Kind::Refused;
        outcome.reason = "writes are not available in this program";
        ++refused_;
        answer(outcome);
        return;
    }
    if (!parsed) {
        ++refused_;
        writes_->refuse(write, WriteRefusal::Malformed, error, answer);
        return;
    }
    // The topic names the device; a payload may repeat its id, never name another.
    if (write.has_data_id && write.command.data_id != config_.data_id) {
        ++refused_;
        writes_->refuse(write, WriteRefusal::UnknownDevice,
                        "data_id " + std::to_string(write.command.data_id) +
                            " is not this topic's device " + std::to_string(config_.data_id),
                        answer);
        return;
    }
    write.has_data_id = true;
    write.command.data_id = config_.data_id;
    writes_->submit(write, answer);
}

}  // namespace kv830host
