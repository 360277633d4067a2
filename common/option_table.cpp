#include "option_table.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace kv830cli {

namespace {

const Option* find_long(const std::vector<Option>& table, const std::string& name) {
    for (const Option& o : table) {
        if (name == o.long_name) {
            return &o;
        }
    }
    return nullptr;
}

const Option* find_short(const std::vector<Option>& table, char c) {
    for (const Option& o : table) {
        if (o.short_name != 0 && o.short_name == c) {
            return &o;
        }
    }
    return nullptr;
}

std::string unknown_option(const std::vector<Option>& table, const std::string& word) {
    std::vector<std::string> names;
    names.reserve(table.size());
    for (const Option& o : table) {
        names.emplace_back(o.long_name);
    }
    std::string stem = word;
    while (!stem.empty() && stem.front() == '-') {
        stem.erase(stem.begin());
    }
    return "unknown option " + word + did_you_mean(stem.substr(0, stem.find('=')), names, "--");
}

}  // namespace

std::string did_you_mean(const std::string& word, const std::vector<std::string>& known,
                         const std::string& prefix) {
    const std::string near = nearest_name(word, known);
    return near.empty() ? std::string() : " (did you mean \"" + prefix + near + "\"?)";
}

namespace {

std::string display_name(const Option& o) {
    return std::string("--") + o.long_name;
}

bool apply(const Option& o, const std::string& value, std::string& error) {
    std::string why;
    if (!o.handler(value, why)) {
        error = display_name(o) + ": " + (why.empty() ? "invalid value '" + value + "'" : why);
        return false;
    }
    return true;
}

// The characters of UTF-8 text, so that a signal name's typo counts one character, not
// the three bytes of a CJK character. A byte that does not start a valid sequence counts
// as a character of its own.
std::vector<char32_t> code_points(const std::string& text) {
    std::vector<char32_t> out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 1;
        char32_t c = lead;
        if (lead >= 0xF0 && lead < 0xF8) {
            length = 4;
            c = lead & 0x07U;
        } else if (lead >= 0xE0) {
            length = lead < 0xF0 ? 3 : 1;
            c = lead < 0xF0 ? lead & 0x0FU : lead;
        } else if (lead >= 0xC0) {
            length = 2;
            c = lead & 0x1FU;
        }
        bool valid = i + length <= text.size();
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0U) == 0x80U;
            c = (c << 6) | (next & 0x3FU);
        }
        if (!valid) {
            length = 1;
            c = lead;
        }
        out.push_back(c);
        i += length;
    }
    return out;
}

}  // namespace

bool parse_command_line(const std::vector<Option>& table, int argc, const char* const* argv,
                        std::vector<std::string>& positional, std::string& error) {
    bool options_ended = false;
    std::vector<const Option*> given;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i] != nullptr ? argv[i] : "";
        if (options_ended || word.size() < 2 || word[0] != '-') {
            positional.push_back(word);
            continue;
        }
        if (word == "--") {
            options_ended = true;
            continue;
        }
        const Option* o = nullptr;
        std::string value;
        bool has_inline_value = false;
        if (word[1] == '-') {
            const std::size_t eq = word.find('=');
            o = find_long(table, word.substr(2, eq == std::string::npos ? eq : eq - 2));
            if (eq != std::string::npos) {
                value = word.substr(eq + 1);
                has_inline_value = true;
            }
        } else if (word.size() == 2) {
            o = find_short(table, word[1]);
        }
        if (o == nullptr) {
            error = unknown_option(table, word);
            return false;
        }
        if (o->value_name == nullptr) {
            if (has_inline_value) {
                error = display_name(*o) + " takes no value";
                return false;
            }
        } else if (!has_inline_value) {
            if (i + 1 >= argc || argv[i + 1] == nullptr) {
                error = display_name(*o) + " needs a value (" + o->value_name + ")";
                return false;
            }
            value = argv[++i];
        }
        if (o->value_name != nullptr && value.empty()) {
            error = display_name(*o) + ": empty value; give " + o->value_name;
            return false;
        }
        if (!o->repeatable && std::find(given.begin(), given.end(), o) != given.end()) {
            error = display_name(*o) + " is given twice; give it once";
            return false;
        }
        given.push_back(o);
        if (!apply(*o, value, error)) {
            return false;
        }
    }
    return true;
}

std::string format_help(const std::vector<Option>& table, const std::string& usage,
                        const std::string& epilogue) {
    std::ostringstream out;
    out << usage << "\n\nOptions:\n";
    for (const Option& o : table) {
        std::string head = "  ";
        head += o.short_name != 0 ? std::string("-") + o.short_name + ", " : "    ";
        head += display_name(o);
        if (o.value_name != nullptr) {
            head += std::string(" ") + o.value_name;
        }
        out << head;
        std::istringstream lines(o.help);
        std::string line;
        bool first = true;
        constexpr std::size_t kHelpColumn = 30;
        while (std::getline(lines, line)) {
            if (first && head.size() < kHelpColumn) {
                out << std::string(kHelpColumn - head.size(), ' ');
            } else {
                out << "\n" << std::string(kHelpColumn, ' ');
            }
            out << line;
            first = false;
        }
        out << "\n";
    }
    if (!epilogue.empty()) {
        out << "\n" << epilogue;
        if (epilogue.back() != '\n') {
            out << "\n";
        }
    }
    return out.str();
}

std::string nearest_name(const std::string& word, const std::vector<std::string>& known) {
    const std::vector<char32_t> typed = code_points(word);
    std::string best;
    std::size_t best_distance = std::string::npos;
    for (const std::string& name : known) {
        // Levenshtein distance over characters, one row at a time.
        const std::vector<char32_t> candidate = code_points(name);
        std::vector<std::size_t> row(candidate.size() + 1);
        for (std::size_t j = 0; j <= candidate.size(); ++j) {
            row[j] = j;
        }
        for (std::size_t i = 1; i <= typed.size(); ++i) {
            std::size_t diagonal = row[0];
            row[0] = i;
            for (std::size_t j = 1; j <= candidate.size(); ++j) {
                const std::size_t above = row[j];
                const std::size_t cost = typed[i - 1] == candidate[j - 1] ? 0 : 1;
                row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + cost});
                diagonal = above;
            }
        }
        if (row[candidate.size()] < best_distance) {
            best_distance = row[candidate.size()];
            best = name;
        }
    }
    // A typo changes a few letters; a different word is not a suggestion.
    const std::size_t limit = std::max<std::size_t>(3, typed.size() / 3);
    return best_distance <= limit ? best : std::string();
}

bool parse_decimal(const std::string& text, long long min, long long max, long long& out) {
    if (text.empty()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool sign = i == 0 && (c == '-' || c == '+') && text.size() > 1;
        if (!sign && (c < '0' || c > '9')) {
            return false;
        }
    }
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || end == nullptr || *end != '\0' || v < min || v > max) {
        return false;
    }
    out = v;
    return true;
}

}  // namespace kv830cli
