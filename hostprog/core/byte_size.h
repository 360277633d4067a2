// Sizes as the command line gives them ("512KiB", "16MiB") and as the status lines and
// refusals print them, for every option that bounds memory.
#pragma once

#include <cstddef>
#include <string>

namespace kv830host {

// A whole number followed by B, KiB, MiB or GiB. "M" alone is refused: elsewhere on the
// command line "m" means minutes.
bool parse_byte_size(const std::string& text, std::size_t& bytes, std::string& error);

// Whether `text` ends as a size does (a unit with a "B"), so that a caller that takes
// counts and durations too knows which parser it is.
bool looks_like_byte_size(const std::string& text);

// "512 B", "16 KiB", "1.5 MiB", "2.1 GiB": a few digits, for people.
std::string format_byte_size(double bytes);

}  // namespace kv830host
