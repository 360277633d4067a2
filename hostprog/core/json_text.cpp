#include "json_text.h"

#include <json/reader.h>
#include <json/writer.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>

namespace kv830host {

namespace {

// The library reports "* Line 1, Column 5\n  Syntax error: ...\n"; the message names the
// place and the fault on one line.
std::string describe_parse_error(const std::string& errors) {
    std::string place;
    std::string what;
    std::size_t start = 0;
    while (start < errors.size()) {
        std::size_t end = errors.find('\n', start);
        if (end == std::string::npos) {
            end = errors.size();
        }
        std::string line = errors.substr(start, end - start);
        start = end + 1;
        const std::size_t first = line.find_first_not_of(" *");
        if (first == std::string::npos) {
            continue;
        }
        line.erase(0, first);
        if (place.empty() && line.compare(0, 5, "Line ") == 0) {
            place = "line" + line.substr(4);
            std::replace(place.begin(), place.end(), 'C', 'c');
        } else if (what.empty() && line.compare(0, 5, "See L") != 0) {
            what = line;
        }
    }
    if (what.empty()) {
        what = "it does not parse";
    }
    while (!what.empty() && (what.back() == '.' || what.back() == ' ')) {
        what.pop_back();
    }
    return place.empty() ? what : place + ": " + what;
}

}  // namespace

int json_nesting_depth(const std::string& text) {
    int depth = 0;
    int deepest = 0;
    bool in_string = false;
    bool escaped = false;
    for (const char c : text) {
        if (in_string) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                in_string = false;
            }
            continue;
        }
        if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return deepest;
}

bool read_json_text(const std::string& text, const JsonTextRules& rules, Json::Value& out,
                    std::string& error) {
    const std::size_t nul = text.find('\0');
    if (nul != std::string::npos) {
        error = "not valid JSON: a NUL byte at byte " + std::to_string(nul + 1);
        return false;
    }
    if (json_nesting_depth(text) > rules.max_depth) {
        error = "not valid JSON: nested deeper than " + std::to_string(rules.max_depth) +
                (rules.max_depth == 1 ? " level" : " levels");
        return false;
    }
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    builder["allowComments"] = rules.allow_comments;
    builder["collectComments"] = false;
    // Any value at the top: the caller says which it takes, in words of its own.
    builder["strictRoot"] = false;
    builder["stackLimit"] = rules.max_depth + 1;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    bool parsed = false;
    try {
        parsed = reader->parse(text.data(), text.data() + text.size(), &out, &errors);
    } catch (const std::exception& e) {
        // The reader throws past its stack limit; the scan above should have caught it.
        errors = e.what();
    }
    if (!parsed) {
        error = "not valid JSON (" + describe_parse_error(errors) + ")";
        return false;
    }
    return true;
}

const char* json_type_name(const Json::Value& value) {
    switch (value.type()) {
        case Json::nullValue:
            return "null";
        case Json::intValue:
        case Json::uintValue:
            return "an integer";
        case Json::realValue:
            return "a number with a fraction or exponent";
        case Json::stringValue:
            return "a string";
        case Json::booleanValue:
            return "a boolean";
        case Json::arrayValue:
            return "an array";
        case Json::objectValue:
            return "an object";
    }
    return "something else";
}

std::string compact_json_text(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, value);
}

}  // namespace kv830host
