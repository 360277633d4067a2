#include "http_exchange.h"

#include <strings.h>

#include "hex_digit.h"

namespace kv830host {

std::string decode_query_part(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < text.size() && kv830cli::hex_digit(text[i + 1]) >= 0 &&
                   kv830cli::hex_digit(text[i + 2]) >= 0) {
            out += static_cast<char>(kv830cli::hex_digit(text[i + 1]) * 16 +
                                     kv830cli::hex_digit(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

void Exchange::set_query(const std::string& query) {
    std::size_t start = 0;
    while (start < query.size()) {
        std::size_t end = query.find('&', start);
        if (end == std::string::npos) {
            end = query.size();
        }
        const std::string item = query.substr(start, end - start);
        if (!item.empty()) {
            const std::size_t eq = item.find('=');
            params_.emplace_back(
                decode_query_part(item.substr(0, eq)),
                eq == std::string::npos ? "" : decode_query_part(item.substr(eq + 1)));
        }
        start = end + 1;
    }
}

bool Exchange::has_param(const std::string& name) const {
    for (const auto& p : params_) {
        if (p.first == name) {
            return true;
        }
    }
    return false;
}

std::string Exchange::param(const std::string& name) const {
    for (const auto& p : params_) {
        if (p.first == name) {
            return p.second;
        }
    }
    return {};
}

bool Exchange::has_header(const std::string& name) const {
    for (const auto& h : headers) {
        if (::strcasecmp(h.first.c_str(), name.c_str()) == 0) {
            return true;
        }
    }
    return false;
}

std::string Exchange::header(const std::string& name) const {
    for (const auto& h : headers) {
        if (::strcasecmp(h.first.c_str(), name.c_str()) == 0) {
            return h.second;
        }
    }
    return {};
}

}  // namespace kv830host
