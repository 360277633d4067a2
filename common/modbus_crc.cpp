#include "modbus_crc.h"

namespace kv830cli {

std::uint16_t crc16(const std::uint8_t* data, std::size_t size) {
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < size; ++i) {
        crc = static_cast<std::uint16_t>(crc ^ data[i]);
        for (int b = 0; b < 8; ++b) {
            const bool lsb = (crc & 1U) != 0;
            crc = static_cast<std::uint16_t>(crc >> 1);
            if (lsb) {
                crc = static_cast<std::uint16_t>(crc ^ 0xA001U);
            }
        }
    }
    return crc;
}

bool crc_ok(const std::uint8_t* frame, std::size_t size) {
    if (size < 4) {
        return false;
    }
    const std::uint16_t crc = crc16(frame, size - 2);
    return frame[size - 2] == (crc & 0xFF) && frame[size - 1] == (crc >> 8);
}

}  // namespace kv830cli
