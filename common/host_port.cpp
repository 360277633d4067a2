#include "host_port.h"

#include "option_table.h"

namespace kv830net {

namespace {

std::string quoted(const std::string& text) {
    return "\"" + text + "\"";
}

// What the caller's form looks like, for the refusals.
const char* form_text(const HostPortForm& form, bool bracketed) {
    if (bracketed) {
        return "[ADDRESS]:PORT";
    }
    if (form.default_host != nullptr) {
        return "[HOST:]PORT";
    }
    return form.default_port >= 0 ? "HOST[:PORT]" : "HOST:PORT";
}

}  // namespace

bool split_host_port(const std::string& text, const HostPortForm& form, std::string& host,
                     int& port, std::string& error) {
    std::string host_part;
    std::string port_part;
    bool has_port = false;
    const bool bracketed = !text.empty() && text[0] == '[';
    if (bracketed) {
        const std::size_t close = text.find(']');
        if (close == std::string::npos) {
            error = quoted(text) + ": an IPv6 address without its closing ']'";
            return false;
        }
        host_part = text.substr(1, close - 1);
        const std::string after = text.substr(close + 1);
        if (!after.empty() && after[0] != ':') {
            error = quoted(text) + ": '" + after + "' after the IPv6 address; " +
                    form_text(form, true) + " expected";
            return false;
        }
        has_port = !after.empty();
        port_part = has_port ? after.substr(1) : std::string();
    } else {
        const std::size_t colon = text.rfind(':');
        if (colon != std::string::npos && text.find(':') != colon) {
            error = quoted(text) + ": write an IPv6 address in brackets, [ADDRESS]:PORT";
            return false;
        }
        if (colon != std::string::npos) {
            host_part = text.substr(0, colon);
            port_part = text.substr(colon + 1);
            has_port = true;
        } else if (form.default_host != nullptr) {
            port_part = text;
            has_port = true;
        } else {
            host_part = text;
        }
    }
    if (host_part.empty()) {
        if (form.default_host == nullptr) {
            error = quoted(text) + " names no host";
            return false;
        }
        host_part = form.default_host;
    }
    int value = form.default_port;
    if (has_port) {
        long long parsed = 0;
        if (port_part.empty()) {
            error = quoted(text) + ": an empty port";
            return false;
        }
        if (port_part[0] == '+' || port_part[0] == '-' ||
            !kv830cli::parse_decimal(port_part, form.min_port, form.max_port, parsed)) {
            error = quoted(text) + ": the port must be a number from " +
                    std::to_string(form.min_port) + " to " + std::to_string(form.max_port);
            return false;
        }
        value = static_cast<int>(parsed);
    } else if (value < 0) {
        error = quoted(text) + ": " + form_text(form, bracketed) + " expected";
        return false;
    }
    host = host_part;
    port = value;
    return true;
}

std::string join_host_port(const std::string& host, int port) {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

}  // namespace kv830net
