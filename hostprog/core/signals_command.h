// `kv830-host signals`: the signal model as the gateway will apply it, the defaults with
// the settings document's overrides, for an engineer to review beside the controller's
// documentation.
#pragma once

#include <ostream>
#include <string>

#include "options.h"

namespace kv830host {

// argv[0] is "signals". Returns the exit status: 0 printed, 1 the output failed, 2 a bad
// command line or settings document (the same refusals as the program's own start).
int run_signals(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
                const std::string& default_settings_file = kDefaultSettingsFile);

}  // namespace kv830host
