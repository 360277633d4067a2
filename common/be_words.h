// Modbus carries every 16-bit field big-endian (high byte first).
#pragma once

#include <cstdint>

namespace kv830cli {

inline std::uint16_t be16_at(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((static_cast<unsigned>(p[0]) << 8) | p[1]);
}

inline void put_be16(std::uint8_t* p, unsigned value) {
    p[0] = static_cast<std::uint8_t>((value >> 8) & 0xFFU);
    p[1] = static_cast<std::uint8_t>(value & 0xFFU);
}

}  // namespace kv830cli
