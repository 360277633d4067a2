// The alarms over MQTT: each event on PREFIX/alarm (not retained), the device's list on
// PREFIX/alarms (retained), and with --mqtt-writes acknowledgements on PREFIX/alarm/ack,
// answered on PREFIX/alarm/ack/result.
#pragma once

#include <string>
#include <vector>

#include "alarm_board.h"

namespace kv830host {

constexpr const char* kAlarmEventSuffix = "alarm";
constexpr const char* kAlarmListSuffix = "alarms";
constexpr const char* kAlarmAckSuffix = "alarm/ack";

// {"data_id":N,"active":[{"signal","priority","since","acknowledged",...}]}
std::string format_alarm_list(unsigned data_id, const std::vector<ListedAlarm>& listed);

// Acknowledges through the board for the topic's device; the result's payload:
// {"outcome":"acknowledged","acknowledged":N} or {"outcome":"refused","reason":"..."},
// with the command's "command_id" when it had one.
std::string answer_alarm_ack(AlarmBoard& board, unsigned data_id, const std::string& payload,
                             bool retained);

}  // namespace kv830host
