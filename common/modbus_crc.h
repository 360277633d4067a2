// The CRC that ends every Modbus RTU frame.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv830cli {

// CRC-16/MODBUS (polynomial 0xA001 reflected, start 0xFFFF); sent low byte first.
std::uint16_t crc16(const std::uint8_t* data, std::size_t size);

// True when the last two bytes of `frame` are the CRC of the bytes before them.
bool crc_ok(const std::uint8_t* frame, std::size_t size);

}  // namespace kv830cli
