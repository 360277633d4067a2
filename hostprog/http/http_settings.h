// The command-line side of the HTTP server: its options, and the check made once at start
// before anything listens, so that a bad address or an unsafe token file stops the program
// instead of leaving an open door.
#pragma once

#include <string>
#include <vector>

#include "option_table.h"

namespace kv830host {

struct HttpSettings {
    bool enabled = false;               // --http given
    std::string address = "127.0.0.1";  // a bare port stays on this machine
    int port = 0;                       // 0 asks the system for a free port
    bool writes = false;                // --http-writes
    std::string token_file;             // --http-token-file
    std::string token;                  // read from token_file by check_http_settings
};

// Shortest token accepted: a guessable one would make the write endpoint an open door.
constexpr std::size_t kMinTokenLength = 16;
// Longest: the token travels in one header line, which the server caps.
constexpr std::size_t kMaxTokenLength = 1024;

// "PORT", ":PORT", "ADDR:PORT" or "[IPv6]:PORT"; port 0 to 65535.
bool parse_http_address(const std::string& text, std::string& address, int& port,
                        std::string& error);

// Rows for the program's option table: --http, --http-writes, --http-token-file.
std::vector<kv830cli::Option> http_options(HttpSettings& settings);

// Run once after parsing. Refuses writes without a token file, a token file without
// writes (it would silently do nothing), and a token file that is missing, not a regular
// file, readable or writable by others than its owner and group, empty, too short, or
// holding anything but printable ASCII without spaces. On success the token is in
// settings.token (one trailing newline dropped).
bool check_http_settings(HttpSettings& settings, std::string& error);

// Constant-time comparison: the time taken does not depend on where the texts differ.
bool same_token(const std::string& presented, const std::string& expected);

}  // namespace kv830host
