// /api/signals: a device's signal model as the page applies it, so that the page shows
// values in units with the engineer's overrides, flags what lies outside its range and
// bounds its write form. Only scaled values are listed: bits, inputs and enumerations
// show their texts, which /signals.json carries.
#include <json/value.h>
#include <json/writer.h>

#include "http_core.h"

namespace kv830host {

namespace {

// Twelve significant digits: 0.1, not 0.10000000000000001.
constexpr unsigned kModelPrecision = 12;

std::string model_text(unsigned data_id, const SignalModel& model) {
    Json::Value signals(Json::objectValue);
    for (const SignalTraits& s : model.signals()) {
        if (!s.scaled()) {
            continue;
        }
        Json::Value& out = signals[s.row->key];
        out["quantity"] = kv830model::quantity_info(s.quantity).name;
        out["unit_of_measurement"] = s.unit_of_measurement;
        out["scale"] = s.scale;
        out["offset"] = s.offset;
        out["decimals"] = s.decimals;
        out["signed"] = s.is_signed;
        out["min"] = s.min;
        out["max"] = s.max;
        out["setting"] = s.row->setting;
    }
    Json::Value doc(Json::objectValue);
    doc["data_id"] = data_id;
    doc["signals"] = std::move(signals);
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    builder["precision"] = kModelPrecision;
    return Json::writeString(builder, doc) + "\n";
}

}  // namespace

void serve_signals(ServerCore& core, const ExchangePtr& ex) {
    unsigned data_id = core.models.empty() ? 1U : core.models.begin()->first;
    if (ex->has_param("data_id")) {
        const std::string text = ex->param("data_id");
        if (!parse_unsigned(text, 0xFFFFFFFFU, data_id)) {
            ex->answer(refusal(400, "data_id must be a decimal number"));
            return;
        }
        // Without any model given (a server on its own), every device has the defaults.
        if (!core.models.empty() && core.models.count(data_id) == 0) {
            ex->answer(refusal(404, "no device with data id " + text));
            return;
        }
    }
    ex->answer(json_reply(200, model_text(data_id, model_for(core.models, data_id))));
}

}  // namespace kv830host
