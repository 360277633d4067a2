// `kv830-host export`: stored rounds printed as the signals the device names.
#pragma once

#include <ostream>

namespace kv830host {

// argv[0] is the word "export" (or the program's name); the options follow. Rows go to
// `out`, messages to `err`. Returns 0, 1 when the history or the plug-in cannot be used
// or `out` fails, 2 for a bad command line.
int run_export(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace kv830host
