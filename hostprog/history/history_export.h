// `kv830-host export`: stored rounds printed as the signals the device names.
#pragma once

#include <ostream>
#include <string>

#include "options.h"

namespace kv830host {

// argv[0] is the word "export" (or the program's name); the options follow. Rows go to
// `out`, messages to `err`. Values are scaled by the signal model of the settings
// document (--settings, else `default_settings_file` when it exists). Returns 0, 1 when
// the history or the plug-in cannot be used or `out` fails, 2 for a bad command line or
// settings document.
int run_export(int argc, char** argv, std::ostream& out, std::ostream& err,
               const std::string& default_settings_file = kDefaultSettingsFile);

}  // namespace kv830host
