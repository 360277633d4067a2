// The named signals of the plant controller's snapshot document.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv830 {

enum class SignalKind : std::uint8_t {
    Bit,    // bit `bit` of holding register `source`: JSON int 0 or 1
    Value,  // holding register `source`, unsigned: JSON real
    Enum,   // holding register `source`: text0 for 0, text1 for 1, "无效值" otherwise
    Input,  // discrete input `source`, the byte whole: JSON real
};

struct SignalRow {
    const char* key;  // the controller's signal name, UTF-8
    SignalKind kind;
    std::uint16_t source;  // holding register or discrete input
    std::uint8_t bit;
    const char* text0;
    const char* text1;
};

// In order of assignment. Two keys are assigned twice and the later row wins:
// "模式切换延时时间" (registers 6 then 7) and "自循环泵手动启动" (bits 3 then 5 of
// register 139); the controller's documentation names them so and the document has
// always shown the later source.
extern const SignalRow kSignals[];
extern const std::size_t kSignalCount;

constexpr const char* kInvalidText = "无效值";
constexpr const char* kUpdateTimeKey = "更新时间";

}  // namespace kv830
