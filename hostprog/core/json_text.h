// Reading JSON that arrives from outside (settings files, write commands): one reader, one
// nesting limit and refusals that say what is wrong and where, in our words rather than
// the JSON library's layout.
#pragma once

#include <json/value.h>

#include <string>

namespace kv830host {

struct JsonTextRules {
    int max_depth = 64;           // arrays and objects nested deeper are refused unparsed
    bool allow_comments = false;  // settings files may carry comments; commands may not
};

// Reads `text` as exactly one JSON value: nothing after it, no NUL byte anywhere (the
// library would stop reading there and take the rest for the end), no member twice.
bool read_json_text(const std::string& text, const JsonTextRules& rules, Json::Value& out,
                    std::string& error);

// The deepest nesting of arrays and objects in `text`, counted outside strings, so that a
// hostile document is refused before the parser recurses into it.
int json_nesting_depth(const std::string& text);

// One line of JSON with UTF-8 kept as it is, for messages and listings.
std::string compact_json_text(const Json::Value& value);

// "an integer", "a string", ...: a value's type as a refusal names it.
const char* json_type_name(const Json::Value& value);

}  // namespace kv830host
