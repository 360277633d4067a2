// The history as an output of the program: every completed round kept in an SQLite file
// (grouped commits off the polling thread), its newest record served at start, and the
// trends the page asks for.
#pragma once

#include <memory>

#include "output.h"

namespace kv830host {

std::unique_ptr<OutputKind> make_history_kind();

}  // namespace kv830host
