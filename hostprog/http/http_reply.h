// An answer as the routes build it, before the connection puts it on the wire, and the
// small pieces of text every route writes (JSON strings and numbers, times, refusals).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kv830host {

constexpr const char* kTextPlain = "text/plain; charset=utf-8";
constexpr const char* kJson = "application/json; charset=utf-8";
// Bodies shorter than this go out as they are: compressing them saves less than it costs.
constexpr std::size_t kGzipMinBytes = 1024;

struct Reply {
    unsigned status = 200;
    std::string content_type = kTextPlain;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    bool compressible = true;  // false when the body is compressed already or must stay bytes
    bool close = false;        // the connection ends after this answer

    void set(std::string name, std::string value) {
        headers.emplace_back(std::move(name), std::move(value));
    }
};

// A refusal in a line of text: why, for the person reading it. Never cached.
Reply refusal(unsigned status, const std::string& reason);
// A JSON body, never cached.
Reply json_reply(unsigned status, std::string body);
// {"outcome":"refused","reason":"..."}: how a write is refused, by the parser or the rule.
Reply write_refusal(unsigned status, const std::string& reason);

// Before the wire: compresses the body when the client takes gzip and it pays, then
// leaves only the headers for a HEAD request (its Content-Length still the body's).
// Returns the length the Content-Length header must carry.
std::size_t finish_reply(Reply& reply, bool client_takes_gzip, bool head);

// Whether an Accept-Encoding value lets us send gzip ("gzip", "x-gzip" or "*", without q=0).
bool accepts_gzip(const std::string& accept_encoding);
bool gzip_text(const std::string& text, std::string& out);
bool gunzip(const unsigned char* data, std::size_t size, std::string& out);
// Whether `data` is whole gzip data, unpacking it piece by piece without keeping it.
bool is_gzip(const unsigned char* data, std::size_t size);

std::string json_string(const std::string& text);
std::string json_number(double value);  // null for NaN and infinities

}  // namespace kv830host
