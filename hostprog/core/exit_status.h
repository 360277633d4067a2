// The exit statuses of kv830-host: one table for the program, its outputs, --help, the
// manual page and the documentation.
#pragma once

#include <string>

namespace kv830host {

enum ExitStatus {
    kExitOk = 0,
    kExitFailure = 1,       // the plug-in, the history or an output could not be used
    kExitUsage = 2,         // bad command line or settings file
    kExitNotConfirmed = 3,  // the controller refused or mis-echoed the write
    kExitNoReply = 4,       // the write got no answer
    kExitNoRound = 5,       // --cycles N ran and not one round completed
    kExitGarbled = 6,       // the write's reply was garbled: it may or may not have been done
    kExitShortfall = 7,     // ended, but something fell short (a device, MQTT delivery)
};

struct ExitStatusRow {
    ExitStatus status;
    const char* meaning;
};

// clang-format off
constexpr ExitStatusRow kExitStatuses[] = {
    {kExitOk,           "done (a write confirmed); also after SIGTERM or Ctrl-C"},
    {kExitFailure,      "the driver, the history or an output could not be used"},
    {kExitUsage,        "the command line or the settings file was refused"},
    {kExitNotConfirmed, "the write was not confirmed (refused or mis-echoed)"},
    {kExitNoReply,      "the write got no reply"},
    {kExitNoRound,      "--cycles N ran and not one round completed"},
    {kExitGarbled,      "the write's reply was garbled: it may or may not have been done"},
    {kExitShortfall,    "ended, but something fell short: a device completed no round, "
                        "or MQTT rounds were not delivered"},
};
// clang-format on

// When several apply, the lowest non-zero status wins.
constexpr int combine_exit_status(int a, int b) {
    if (a == kExitOk) {
        return b;
    }
    return b == kExitOk || a < b ? a : b;
}

// The table as --help lists it.
std::string exit_status_help();

}  // namespace kv830host
