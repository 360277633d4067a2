// One CSV field, quoted only when it must be (RFC 4180), for every listing the program
// prints as CSV.
#pragma once

#include <string>

namespace kv830host {

void append_csv_text(std::string& line, const char* begin, const char* end);
inline void append_csv_text(std::string& line, const std::string& text) {
    append_csv_text(line, text.data(), text.data() + text.size());
}

}  // namespace kv830host
