// One table per program describes its command line: the parser walks it, and the same
// table prints --help, so an option cannot be accepted without being documented.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace kv830cli {

struct Option {
    const char* long_name;   // "baud" for --baud
    char short_name;         // 'b' for -b, or 0
    const char* value_name;  // "RATE", or nullptr for a flag that takes no value
    const char* help;        // one or more lines, without the option itself
    // Called with the value (empty for a flag). Returns false with `error` set to refuse
    // the value; the parser prefixes the option's name.
    std::function<bool(const std::string& value, std::string& error)> handler;
    // An option given twice is refused, so that a copied command line with a second value
    // further on does not quietly mean the last one; a list option says it may repeat.
    bool repeatable = false;
};

// Walks argv[1..]: "--name VALUE", "--name=VALUE", "-x VALUE", "-x", and "--" to end the
// options. Words that are not options go to `positional` in order. An unknown option is
// refused with the nearest known name; a value that is missing or empty is refused
// before any handler sees it.
bool parse_command_line(const std::vector<Option>& table, int argc, const char* const* argv,
                        std::vector<std::string>& positional, std::string& error);

// "Usage: ..." followed by one entry per option, in table order.
std::string format_help(const std::vector<Option>& table, const std::string& usage,
                        const std::string& epilogue);

// The known name closest to `word` by edit distance over UTF-8 characters, or "" when
// none is close enough to be a likely typo.
std::string nearest_name(const std::string& word, const std::vector<std::string>& known);

// The one wording of that hint, to be appended to a refusal: ` (did you mean "--output"?)`
// with `prefix` "--", or "" when no known name is close.
std::string did_you_mean(const std::string& word, const std::vector<std::string>& known,
                         const std::string& prefix = "");

// Decimal only: "010" is ten and "0x10" is refused, so that a unit id or a baud rate
// copied from a datasheet means what it says.
bool parse_decimal(const std::string& text, long long min, long long max, long long& out);

}  // namespace kv830cli
