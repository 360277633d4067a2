// Command line of kv830-host.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <string>
#include <vector>

#include "alarm_machine.h"
#include "device_list.h"
#include "exit_status.h"
#include "modbus_link.h"
#include "option_table.h"

namespace kv830host {

// Read when it exists and --settings is not given.
constexpr const char* kDefaultSettingsFile = "/etc/kv830/kv830-host.json";

struct WriteRequest {
    bool present = false;
    int address = 0;
    std::vector<std::uint16_t> values;  // one value: request 206; several: request 210
};

// The settings document is read whole into memory; a larger file is not a settings file.
constexpr long kMaxSettingsBytes = 1024L * 1024L;
// Deeper than any real settings document, shallow enough for the parser's own stack.
constexpr int kMaxSettingsDepth = 64;

struct Options {
    std::string plugin;  // empty: kv830.so beside the executable
    // The device's data id; with a "devices" list, the device --write goes to.
    unsigned data_id = 1;
    // --retries: how often a lost or garbled read is tried again within a round; -1 when
    // not given, so that the settings file's "retries" (or the link's default) holds.
    int retries = -1;
    std::string settings_file;
    // The settings document (empty object without a file), without the gateway's members.
    Json::Value settings;
    // --node-id, else the settings' "node_id"; empty: resolve_node_id (node_id.h) derives it.
    std::string node_id;
    qdxhost::LinkSettings link;
    double interval_s = 1.0;
    long cycles = -1;  // -1: until a signal
    bool cycles_given = false;
    std::string log_file;
    WriteRequest write;
    // Every device polled, in the settings document's order: the one of --data-id, the
    // top-level "modbus" and the link options, or the entries of a "devices" list.
    std::vector<DeviceOptions> devices;
    AlarmLimits alarm_limits;  // --alarm-chatter
    bool help = false;
    bool version = false;
    bool device_list = false;  // the settings document lists "devices"
};

// Parses argv (and reads the settings file it names) into `out`, with the rows of the
// program's outputs appended to the table, so that they parse and show in --help alike.
// On a refusal returns false with a message that names the offending argument.
bool parse_options(int argc, const char* const* argv, Options& out, std::string& error,
                   const std::string& default_settings_file = kDefaultSettingsFile,
                   const std::vector<kv830cli::Option>& extra_rows = {});

// A duration as every option of the command line takes one: "1.5" and "2s" are seconds,
// "500ms" milliseconds; at most `max_ms`.
bool parse_duration_ms(const std::string& text, double max_ms, double& out_ms);

std::string usage(const char* program, const std::vector<kv830cli::Option>& extra_rows = {});

// Reads and parses a settings document: a regular file of at most kMaxSettingsBytes
// holding one JSON object nested at most kMaxSettingsDepth deep, whose top-level members
// are known ones.
bool read_settings_file(const std::string& path, Json::Value& doc, std::string& error);
bool parse_settings_text(const std::string& text, Json::Value& doc, std::string& error);

// The member of a settings document whose shape makes the device's InitSetting throw
// ("appSetting.b_mode", "thresholdSetting", ...), or "" when none is found.
std::string misshapen_setting(const Json::Value& doc);

}  // namespace kv830host
