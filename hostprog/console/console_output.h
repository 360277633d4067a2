// Standard output and --output: the snapshot as the device gives it (or listed by plant
// unit with --pretty), at the end of the run or after every round with --watch.
#pragma once

#include <memory>

#include "output.h"

namespace kv830host {

std::unique_ptr<OutputKind> make_console_kind();

}  // namespace kv830host
