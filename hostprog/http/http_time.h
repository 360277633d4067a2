// Times as /api/history takes them.
#pragma once

#include <cstdint>
#include <string>

namespace kv830host {

// Unix seconds ("1765180800", "1765180800.5") or ISO 8601 with a zone
// ("2026-12-08T07:00:00Z", "...+08:00", fraction allowed).
bool parse_time_ms(const std::string& text, std::int64_t& out_ms);

}  // namespace kv830host
