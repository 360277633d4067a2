// GET /api/alarms?data_id=N: a device's alarm list and latest events, as MQTT tells them.
// POST /api/alarms/ack: an acknowledgement, behind the token like a write and through the
// same at-most-once rule; refused as a write is ({"outcome":"refused",...}: 400 for a body
// that is not one, 422 for one the rule or the list declines).
#include <json/value.h>

#include "http_core.h"
#include "json_text.h"

namespace kv830host {

namespace {

// What the page shows; the API may ask for up to all that is kept.
constexpr unsigned kDefaultAlarmEvents = 200;

}  // namespace

void serve_alarms(ServerCore& core, const ExchangePtr& ex) {
    if (core.alarms == nullptr) {
        ex->answer(refusal(503, "alarms are not kept by this program"));
        return;
    }
    const std::vector<unsigned> ids = core.alarms->data_ids();
    unsigned data_id = ids.empty() ? 0 : ids.front();
    if (ex->has_param("data_id") && !parse_unsigned(ex->param("data_id"), 0xFFFFFFFFU, data_id)) {
        ex->answer(refusal(400, "data_id must be a decimal number"));
        return;
    }
    if (!ex->has_param("data_id") && ids.size() > 1) {
        ex->answer(refusal(400, "data_id is needed with several devices"));
        return;
    }
    unsigned events = kDefaultAlarmEvents;
    if (ex->has_param("events") &&
        !parse_unsigned(ex->param("events"), static_cast<unsigned>(kAlarmEventsKept), events)) {
        ex->answer(
            refusal(400, "events must be a count from 0 to " + std::to_string(kAlarmEventsKept)));
        return;
    }
    std::vector<ListedAlarm> listed;
    std::vector<AlarmEvent> latest;
    if (!core.alarms->view(data_id, events, listed, latest)) {
        ex->answer(refusal(404, "no device with data id " + std::to_string(data_id)));
        return;
    }
    Json::Value body(Json::objectValue);
    body["data_id"] = data_id;
    body["active"] = Json::Value(Json::arrayValue);
    for (const ListedAlarm& a : listed) {
        body["active"].append(listed_alarm_json(a));
    }
    body["events"] = Json::Value(Json::arrayValue);
    for (const AlarmEvent& e : latest) {
        body["events"].append(alarm_event_json(e));
    }
    ex->answer(json_reply(200, compact_json_text(body) + "\n"));
}

void serve_alarm_ack(ServerCore& core, const ExchangePtr& ex) {
    if (!authorize_write(core, ex)) {
        return;
    }
    if (core.alarms == nullptr) {
        ex->answer(refusal(503, "alarms are not kept by this program"));
        return;
    }
    AlarmAck ack;
    ack.source = "http " + ex->client;
    std::string error;
    if (!parse_alarm_ack(ex->body, ack, error)) {
        ex->answer(write_refusal(400, core.alarms->refuse(ack, error).reason));
        return;
    }
    const AlarmAckOutcome outcome = core.alarms->acknowledge(ack);
    if (!outcome.ok) {
        ex->answer(write_refusal(422, outcome.reason));
        return;
    }
    ex->answer(json_reply(200, "{\"outcome\":\"acknowledged\",\"acknowledged\":" +
                                   std::to_string(outcome.acknowledged) + "}\n"));
}

}  // namespace kv830host
