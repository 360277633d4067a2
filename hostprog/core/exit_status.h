// The exit statuses of kv830-host, one table for the program, its outputs and --help.
#pragma once

namespace kv830host {

// Exit status of the program.
enum ExitStatus {
    kExitOk = 0,
    kExitFailure = 1,       // the plug-in, the history or an output could not be used
    kExitUsage = 2,         // bad command line or settings file
    kExitNotConfirmed = 3,  // the controller refused or mis-echoed the write
    kExitNoReply = 4,       // the write got no answer
    kExitNoRound = 5,       // --cycles N ran and not one round completed
    kExitGarbled = 6,       // the write's reply was garbled: it may or may not have been done
    kExitShortfall = 7,     // ended, but something fell short (rounds not delivered)
};

}  // namespace kv830host
