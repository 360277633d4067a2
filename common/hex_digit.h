// One hexadecimal digit's value, for the %XX escapes of URLs and query strings.
#pragma once

namespace kv830cli {

// 0 to 15, or -1 when `c` is not a hexadecimal digit.
constexpr int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace kv830cli
