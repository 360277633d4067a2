#include "mqtt_alarms.h"

#include <json/value.h>

#include "json_text.h"

namespace kv830host {

std::string format_alarm_list(unsigned data_id, const std::vector<ListedAlarm>& listed) {
    Json::Value v(Json::objectValue);
    v["data_id"] = data_id;
    v["active"] = Json::Value(Json::arrayValue);
    for (const ListedAlarm& a : listed) {
        v["active"].append(listed_alarm_json(a));
    }
    return compact_json_text(v);
}

std::string answer_alarm_ack(AlarmBoard& board, unsigned data_id, const std::string& payload,
                             bool retained) {
    AlarmAck ack;
    ack.source = "mqtt";
    ack.retained = retained;
    std::string error;
    AlarmAckOutcome outcome;
    if (!parse_alarm_ack(payload, ack, error)) {
        outcome = board.refuse(ack, error);
    } else if (ack.has_data_id && ack.data_id != data_id) {
        // The topic names the device; a payload may repeat its id, never name another.
        outcome = board.refuse(ack, "data_id " + std::to_string(ack.data_id) +
                                        " is not this topic's device " + std::to_string(data_id));
    } else {
        ack.data_id = data_id;
        ack.has_data_id = true;
        outcome = board.acknowledge(ack);
    }
    Json::Value v(Json::objectValue);
    if (!ack.command_id.empty()) {
        v["command_id"] = ack.command_id;
    }
    v["outcome"] = outcome.ok ? "acknowledged" : "refused";
    if (outcome.ok) {
        v["acknowledged"] = outcome.acknowledged;
    } else {
        v["reason"] = outcome.reason;
    }
    return compact_json_text(v);
}

}  // namespace kv830host
