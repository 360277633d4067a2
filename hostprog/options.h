// Command line of kv830-host.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <string>
#include <vector>

#include "modbus_link.h"

namespace kv830host {

// Exit status of the program.
enum ExitStatus {
    kExitOk = 0,
    kExitFailure = 1,       // the plug-in or the history could not be used
    kExitUsage = 2,         // bad command line or settings file
    kExitNotConfirmed = 3,  // the controller refused or mis-echoed the write
    kExitNoReply = 4,       // the write got no answer
};

struct WriteRequest {
    bool present = false;
    int address = 0;
    std::vector<std::uint16_t> values;  // one value: request 206; several: request 210
};

struct Options {
    std::string plugin;  // empty: kv830.so beside the executable
    unsigned data_id = 1;
    std::string settings_file;
    Json::Value settings;  // the settings document (empty object without a file)
    qdxhost::LinkSettings link;
    double interval_s = 1.0;
    long cycles = -1;  // -1: until a signal
    bool watch = false;
    bool pretty = false;
    std::string output_file;
    std::string log_file;
    std::string history_file = "kv830-history.db";
    bool history = true;
    WriteRequest write;
    bool help = false;
};

// Parses argv (and reads the settings file it names) into `out`. On a refusal returns
// false with a message that names the offending argument.
bool parse_options(int argc, char** argv, Options& out, std::string& error);

std::string usage(const char* program);

}  // namespace kv830host
