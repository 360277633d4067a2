#include "json_text_writer.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

namespace kv830 {

namespace {

// Bytes written as they are: printable ASCII but the quote and the backslash, and DEL,
// which the library leaves alone too.
struct PlainBytes {
    bool plain[256] = {};
    constexpr PlainBytes() {
        for (unsigned c = 0x20; c <= 0x7F; ++c) {
            plain[c] = c != '"' && c != '\\';
        }
    }
};
constexpr PlainBytes kPlain;

constexpr unsigned kReplacement = 0xFFFD;

// The code point of the sequence that starts at `p`, decoded as the library decodes it:
// the lead byte alone decides the length, continuation bytes are not checked, and a
// sequence cut off by the end, an overlong form or a surrogate is U+FFFD. `p` is left on
// the sequence's last byte; a cut-off sequence leaves it where it was.
unsigned decode_utf8(const unsigned char*& p, const unsigned char* end) {
    const unsigned lead = *p;
    const auto left = end - p;
    if (lead < 0xE0) {
        if (left < 2) {
            return kReplacement;
        }
        const unsigned code = ((lead & 0x1FU) << 6) | (p[1] & 0x3FU);
        p += 1;
        return code < 0x80 ? kReplacement : code;
    }
    if (lead < 0xF0) {
        if (left < 3) {
            return kReplacement;
        }
        const unsigned code = ((lead & 0x0FU) << 12) | ((p[1] & 0x3FU) << 6) | (p[2] & 0x3FU);
        p += 2;
        if (code >= 0xD800 && code <= 0xDFFF) {
            return kReplacement;
        }
        return code < 0x800 ? kReplacement : code;
    }
    if (lead < 0xF8) {
        if (left < 4) {
            return kReplacement;
        }
        const unsigned code = ((lead & 0x07U) << 18) | ((p[1] & 0x3FU) << 12) |
                              ((p[2] & 0x3FU) << 6) | (p[3] & 0x3FU);
        p += 3;
        return code < 0x10000 ? kReplacement : code;
    }
    return kReplacement;
}

constexpr char kHexDigits[] = "0123456789abcdef";

char* write_unicode_escape(char* out, unsigned code) {
    out[0] = '\\';
    out[1] = 'u';
    out[2] = kHexDigits[(code >> 12) & 0xFU];
    out[3] = kHexDigits[(code >> 8) & 0xFU];
    out[4] = kHexDigits[(code >> 4) & 0xFU];
    out[5] = kHexDigits[code & 0xFU];
    return out + 6;
}

// Room for the longest escape of one sequence: a surrogate pair.
constexpr std::size_t kEscapeRoom = 12;

// Writes the escape of the byte or sequence at `p` and leaves `p` behind what it took.
char* write_escape(char* out, const unsigned char*& p, const unsigned char* end) {
    const unsigned char c = *p;
    const char* named = nullptr;
    switch (c) {
        case '"':
            named = "\\\"";
            break;
        case '\\':
            named = "\\\\";
            break;
        case '\b':
            named = "\\b";
            break;
        case '\f':
            named = "\\f";
            break;
        case '\n':
            named = "\\n";
            break;
        case '\r':
            named = "\\r";
            break;
        case '\t':
            named = "\\t";
            break;
        default:
            break;
    }
    if (named != nullptr) {
        out[0] = named[0];
        out[1] = named[1];
        ++p;
        return out + 2;
    }
    if (c < 0x80) {
        ++p;
        return write_unicode_escape(out, c);
    }
    unsigned code = decode_utf8(p, end);
    ++p;
    if (code < 0x10000) {
        return write_unicode_escape(out, code);
    }
    code -= 0x10000;
    out = write_unicode_escape(out, 0xD800U + ((code >> 10) & 0x3FFU));
    return write_unicode_escape(out, 0xDC00U + (code & 0x3FFU));
}

// Plain runs go out whole, each escape as one piece.
template <class Sink>
void escape_into(Sink& sink, const unsigned char* p, const unsigned char* end) {
    while (p != end) {
        const unsigned char* run = p;
        while (p != end && kPlain.plain[*p]) {
            ++p;
        }
        if (p != run) {
            sink.put(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
        }
        if (p == end) {
            break;
        }
        char escape[kEscapeRoom];
        const char* escape_end = write_escape(escape, p, end);
        sink.put(escape, static_cast<std::size_t>(escape_end - escape));
    }
}

struct BufferSink {
    char* out;
    void put(const char* bytes, std::size_t n) {
        std::memcpy(out, bytes, n);
        out += n;
    }
};

struct StringSink {
    std::string& out;
    void put(const char* bytes, std::size_t n) { out.append(bytes, n); }
};

char* write_decimal64(char* out, std::uint64_t value) {
    if (value <= std::numeric_limits<std::uint32_t>::max()) {
        return write_decimal(out, static_cast<std::uint32_t>(value));
    }
    char digits[20];
    char* first = digits + sizeof digits;
    do {
        *--first = static_cast<char>('0' + value % 10U);
        value /= 10U;
    } while (value != 0);
    const auto n = static_cast<std::size_t>(digits + sizeof digits - first);
    std::memcpy(out, first, n);
    return out + n;
}

// Whole numbers below 2^53 in magnitude are exact in a double and have at most 16
// digits, so "%.17g" shows them in fixed notation with every digit and no fraction: the
// digits of the integer, a minus sign for any negative value, -0 included.
constexpr double kExactWhole = 9007199254740992.0;

// "%.17g" in the C locale or, as the library does, with a decimal comma turned into a
// point; ".0" behind a text with neither point nor exponent.
void append_formatted_real(std::string& out, double value) {
    char buffer[40];
    const int length = std::snprintf(buffer, sizeof buffer, "%.17g", value);
    if (length < 0) {
        return;
    }
    std::string text;
    if (static_cast<std::size_t>(length) < sizeof buffer) {
        text.assign(buffer, static_cast<std::size_t>(length));
    } else {
        text.resize(static_cast<std::size_t>(length) + 1);
        // The same conversion again, into room for the length the first one gave.
        (void)std::snprintf(&text[0], text.size(), "%.17g", value);
        text.resize(static_cast<std::size_t>(length));
    }
    for (char& c : text) {
        if (c == ',') {
            c = '.';
        }
    }
    const bool shows_real =
        text.find('.') != std::string::npos || text.find('e') != std::string::npos;
    out += text;
    if (!shows_real) {
        out += ".0";
    }
}

}  // namespace

char* write_decimal(char* out, std::uint32_t value) {
    char digits[kDecimalRoom];
    char* first = digits + sizeof digits;
    do {
        *--first = static_cast<char>('0' + value % 10U);
        value /= 10U;
    } while (value != 0);
    const auto n = static_cast<std::size_t>(digits + sizeof digits - first);
    std::memcpy(out, first, n);
    return out + n;
}

char* write_json_string(char* out, const char* text, std::size_t length) {
    if (text == nullptr) {
        return out;
    }
    *out++ = '"';
    BufferSink sink{out};
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    escape_into(sink, bytes, bytes + length);
    *sink.out++ = '"';
    return sink.out;
}

void append_json_string(std::string& out, const char* text, std::size_t length) {
    if (text == nullptr) {
        return;
    }
    out += '"';
    StringSink sink{out};
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    escape_into(sink, bytes, bytes + length);
    out += '"';
}

void append_json_real(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "null";
        return;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-1e+9999" : "1e+9999";
        return;
    }
    if (value > -kExactWhole && value < kExactWhole) {
        const auto whole = static_cast<std::int64_t>(value);
        if (static_cast<double>(whole) == value) {
            char text[24];
            char* end = text;
            if (std::signbit(value)) {
                *end++ = '-';
            }
            const std::uint64_t magnitude = whole < 0 ? 0U - static_cast<std::uint64_t>(whole)
                                                      : static_cast<std::uint64_t>(whole);
            end = write_decimal64(end, magnitude);
            *end++ = '.';
            *end++ = '0';
            out.append(text, static_cast<std::size_t>(end - text));
            return;
        }
    }
    append_formatted_real(out, value);
}

void append_json_int(std::string& out, Json::LargestInt value) {
    char text[24];
    char* end = text;
    auto magnitude = static_cast<std::uint64_t>(value);
    if (value < 0) {
        *end++ = '-';
        magnitude = 0U - magnitude;
    }
    end = write_decimal64(end, magnitude);
    out.append(text, static_cast<std::size_t>(end - text));
}

void append_json_uint(std::string& out, Json::LargestUInt value) {
    char text[24];
    const char* end = write_decimal64(text, value);
    out.append(text, static_cast<std::size_t>(end - text));
}

void append_json_value(std::string& out, const Json::Value& value) {
    switch (value.type()) {
        case Json::nullValue:
            out += "null";
            break;
        case Json::intValue:
            append_json_int(out, value.asLargestInt());
            break;
        case Json::uintValue:
            append_json_uint(out, value.asLargestUInt());
            break;
        case Json::realValue:
            append_json_real(out, value.asDouble());
            break;
        case Json::stringValue: {
            // A string value without storage writes nothing, not even its quotes.
            const char* begin = nullptr;
            const char* end = nullptr;
            if (value.getString(&begin, &end)) {
                append_json_string(out, begin, static_cast<std::size_t>(end - begin));
            }
            break;
        }
        case Json::booleanValue:
            out += value.asBool() ? "true" : "false";
            break;
        case Json::arrayValue: {
            // By index: an array may have holes, which read as null.
            out += '[';
            const Json::ArrayIndex size = value.size();
            for (Json::ArrayIndex i = 0; i < size; ++i) {
                if (i > 0) {
                    out += ',';
                }
                append_json_value(out, value[i]);
            }
            out += ']';
            break;
        }
        case Json::objectValue: {
            out += '{';
            bool first = true;
            for (auto it = value.begin(); it != value.end(); ++it) {
                if (!first) {
                    out += ',';
                }
                first = false;
                const char* name_end = nullptr;
                const char* name = it.memberName(&name_end);
                append_json_string(out, name, static_cast<std::size_t>(name_end - name));
                out += ':';
                append_json_value(out, *it);
            }
            out += '}';
            break;
        }
    }
}

std::string json_text(const Json::Value& value) {
    std::string text;
    append_json_value(text, value);
    text += '\n';
    return text;
}

Json::Value json_text_probe() {
    using Limits64 = std::numeric_limits<std::int64_t>;
    const double inf = std::numeric_limits<double>::infinity();
    Json::Value probe(Json::objectValue);
    probe[""] = "";
    probe["a"] = Json::Value();
    probe["ab"] = true;
    probe["b"] = false;
    probe[std::string("k\0z", 3)] = std::string("v\0w", 3);
    probe["\x01\x1f\x7f"] = "\"\\/\b\f\n\r\t\x01\x0b\x1f\x7f";
    probe["时间"] = "更新时间 é € 𝄞";
    // Invalid UTF-8: a stray continuation byte, an overlong form, a surrogate, a code
    // point above U+10FFFF, a lead byte that starts nothing, sequences cut off at the end.
    Json::Value& invalid = probe["invalid"];
    invalid.append("\x80 \xc0\x80 \xed\xa0\x80 \xf4\x90\x80\x80 \xf7\xbf\xbf\xbf \xf8\xff");
    invalid.append("cut \xe6\x97");
    invalid.append("\xf0\x9d\x84");
    invalid.append("\xc3");
    Json::Value& integers = probe["int"];
    integers.append(0);
    integers.append(-1);
    integers.append(Json::Value(static_cast<Json::Int64>(Limits64::min())));
    integers.append(Json::Value(static_cast<Json::Int64>(Limits64::max())));
    integers.append(Json::Value(std::numeric_limits<Json::UInt64>::max()));
    integers.append(Json::Value(4294967296U));
    integers.append(Json::Value(static_cast<Json::UInt>(65535)));
    const double reals[] = {0.0,
                            -0.0,
                            1.0,
                            -1.0,
                            65535.0,
                            0.1,
                            1.0 / 3.0,
                            -2.5,
                            1e-7,
                            123456.789,
                            kExactWhole - 1,
                            kExactWhole,
                            -kExactWhole,
                            kExactWhole + 2,
                            1e16,
                            1e17,
                            123456789012345678.0,
                            1e300,
                            5e-324,
                            std::numeric_limits<double>::max(),
                            std::numeric_limits<double>::min(),
                            inf,
                            -inf,
                            std::numeric_limits<double>::quiet_NaN()};
    Json::Value& real_values = probe["real"];
    for (const double r : reals) {
        real_values.append(r);
    }
    probe["empty"]["array"] = Json::Value(Json::arrayValue);
    probe["empty"]["object"] = Json::Value(Json::objectValue);
    probe["empty"]["string"] = Json::Value(Json::stringValue);
    probe["nested"][0]["x"][1] = Json::Value(Json::StaticString("static"));
    probe["sparse"][3] = 1;
    return probe;
}

bool json_text_matches(JsonTextFunction reference) {
    const Json::Value probe = json_text_probe();
    return reference(probe) == json_text(probe);
}

}  // namespace kv830
