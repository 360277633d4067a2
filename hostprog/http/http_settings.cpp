#include "http_settings.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "host_port.h"

namespace kv830host {

bool parse_http_address(const std::string& text, std::string& address, int& port,
                        std::string& error) {
    kv830net::HostPortForm form;
    form.default_host = "127.0.0.1";  // a bare port stays on this machine
    form.min_port = 0;                // the system picks a free one
    return kv830net::split_host_port(text, form, address, port, error);
}

std::vector<kv830cli::Option> http_options(HttpSettings& settings) {
    return {
        {"http",            0, "ADDR:PORT",
         "serve /metrics, /healthz, /api/... and the page over HTTP; a bare PORT or :PORT\n"
         "binds 127.0.0.1 only (off by default)",                               [&settings](const std::string& value, std::string& error) {
             settings.enabled = true;
             return parse_http_address(value, settings.address, settings.port, error);
         }},
        {"http-writes",     0, nullptr,
         "accept register writes on POST /api/write (needs --http-token-file)", [&settings](const std::string&,       std::string&) {
             settings.writes = true;
             return true;
         }      },
        {"http-token-file", 0, "FILE",
         "the bearer token that /api/write requires; the file must not be readable by\n"
         "others (chmod 600 or 640) and hold at least 16 printable characters", [&settings](const std::string& value, std::string&) {
             settings.token_file = value;
             return true;
         }},
    };
}

namespace {

bool read_token(const std::string& path, std::string& token, std::string& error) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        error = "--http-token-file " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        error = "--http-token-file " + path + ": not a regular file";
        return false;
    }
    // Group access is allowed so that a service group can share the file; anyone else
    // reading it could write to the plant.
    if ((info.st_mode & (S_IROTH | S_IWOTH)) != 0) {
        error = "--http-token-file " + path +
                ": readable or writable by everyone; chmod o-rw (600 or 640)";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "--http-token-file " + path + ": cannot be read";
        return false;
    }
    std::string text;
    char c = 0;
    while (in.get(c)) {
        if (text.size() > kMaxTokenLength + 2) {
            error = "--http-token-file " + path + ": longer than " +
                    std::to_string(kMaxTokenLength) + " characters";
            return false;
        }
        text.push_back(c);
    }
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
        if (!text.empty() && text.back() == '\r') {
            text.pop_back();
        }
    }
    if (text.empty()) {
        error = "--http-token-file " + path + ": empty";
        return false;
    }
    for (const char ch : text) {
        if (ch <= ' ' || ch > '~') {
            error = "--http-token-file " + path +
                    ": the token must be printable ASCII without spaces or line breaks";
            return false;
        }
    }
    if (text.size() < kMinTokenLength) {
        error = "--http-token-file " + path + ": the token is shorter than " +
                std::to_string(kMinTokenLength) + " characters";
        return false;
    }
    if (text.size() > kMaxTokenLength) {
        error = "--http-token-file " + path + ": longer than " + std::to_string(kMaxTokenLength) +
                " characters";
        return false;
    }
    token = text;
    return true;
}

}  // namespace

bool check_http_settings(HttpSettings& settings, std::string& error) {
    if (!settings.enabled) {
        if (settings.writes || !settings.token_file.empty()) {
            error = "--http-writes and --http-token-file need --http";
            return false;
        }
        return true;
    }
    if (settings.writes && settings.token_file.empty()) {
        error = "--http-writes needs --http-token-file: writes are never open without a token";
        return false;
    }
    if (!settings.writes && !settings.token_file.empty()) {
        error = "--http-token-file does nothing without --http-writes";
        return false;
    }
    if (settings.writes) {
        return read_token(settings.token_file, settings.token, error);
    }
    return true;
}

bool same_token(const std::string& presented, const std::string& expected) {
    // Walks the expected token whatever was presented, so neither the position of the
    // first difference nor the presented length shows in the time taken.
    unsigned diff = presented.size() == expected.size() ? 0U : 1U;
    const std::size_t n = presented.size();
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const unsigned char p =
            n == 0 ? 0 : static_cast<unsigned char>(presented[i < n ? i : i % n]);
        diff |= static_cast<unsigned>(p ^ static_cast<unsigned char>(expected[i]));
    }
    return diff == 0 && !expected.empty();
}

}  // namespace kv830host
