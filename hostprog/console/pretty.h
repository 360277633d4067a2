// A readable listing of the signal snapshot, grouped by plant unit.
#pragma once

#include <json/value.h>

#include <string>

namespace kv830host {

// The snapshot text as the device returned it, listed unit by unit; text that is not a
// JSON object is returned with a note instead.
std::string pretty_snapshot(const std::string& snapshot_text);

}  // namespace kv830host
