// Compact JSON text of a Json::Value, byte for byte what a default-constructed
// Json::FastWriter of the JSON library gives, without its temporary string per value and
// per member name.
//
// The bytes follow the library this was written against: members in the order the
// object keeps them, every byte outside printable ASCII written as a \uXXXX escape (a
// surrogate pair above U+FFFF, U+FFFD for what is not UTF-8), reals as "%.17g" with ".0"
// added when that shows neither a point nor an exponent, infinities as 1e+9999 and
// -1e+9999, NaN as null, and a final newline. Another build of the library may differ
// (older ones write UTF-8 as it is), so a user asks json_text_matches once whether the
// library at hand agrees, and uses the library's own writer when it does not.
#pragma once

#include <json/value.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace kv830 {

// The text of `value` and the final newline, as FastWriter::write returns it.
std::string json_text(const Json::Value& value);

// Appends the text of `value`, without the final newline.
void append_json_value(std::string& out, const Json::Value& value);

// Appends `length` bytes of `text` as a quoted JSON string.
void append_json_string(std::string& out, const char* text, std::size_t length);

// Room write_json_string needs for `length` bytes: a byte never takes more than a
// six-character escape, plus the quotes.
constexpr std::size_t json_string_room(std::size_t length) {
    return 6 * length + 2;
}

// Writes `length` bytes of `text` as a quoted JSON string at `out`, which has
// json_string_room(length) bytes, and returns the end of what it wrote.
char* write_json_string(char* out, const char* text, std::size_t length);

void append_json_real(std::string& out, double value);
void append_json_int(std::string& out, Json::LargestInt value);
void append_json_uint(std::string& out, Json::LargestUInt value);

// Room write_decimal needs: the digits of the largest 32-bit number.
constexpr std::size_t kDecimalRoom = 10;

// Writes `value` in decimal at `out` and returns the end of what it wrote. The text of a
// JSON integer, and with ".0" behind it the text of a JSON real that holds a whole number.
char* write_decimal(char* out, std::uint32_t value);

// A document that holds every case in which one writer's text may differ from another's:
// escapes of every kind, invalid UTF-8, integers and reals at their limits, non-finite
// reals, empty and nested containers, a sparse array, keys that sort by their bytes.
Json::Value json_text_probe();

// Whether `reference` gives the same text as json_text for the probe document.
using JsonTextFunction = std::string (*)(const Json::Value&);
bool json_text_matches(JsonTextFunction reference);

}  // namespace kv830
