// DeviceIoControl: register writes, the JSON signal requests, the snapshot and the
// write-result readback.
#include <json/reader.h>

#include <cstdint>
#include <cstring>
#include <iostream>
#include <string>

#include "kv830.h"

namespace {

constexpr int kWordBytes = 2;

std::uint16_t word_at(const void* in, int index) {
    std::uint16_t w = 0;
    const std::size_t offset = static_cast<std::size_t>(index) * kWordBytes;
    std::memcpy(&w, static_cast<const unsigned char*>(in) + offset, sizeof w);
    return w;
}

// A request that names a signal must be a JSON object; anything else cannot carry one.
// The parser's own depth limit surfaces as an exception, which is a malformed request
// like any other rather than something to throw into the host.
bool is_json_object(const std::string& text) {
    Json::Value doc;
    try {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        Json::Reader reader;
#pragma GCC diagnostic pop
        if (!reader.parse(text, doc, true)) {
            return false;
        }
    } catch (const Json::Exception&) {
        return false;
    }
    return doc.isObject();
}

}  // namespace

int KV830::DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                           int& out_size) {
    std::cout << "KV830::DeviceIoControl " << code << std::endl;
    switch (code) {
        case KV830_WRITE_REGISTER:
            return write_register(in, in_len);
        case KV830_WRITE_REGISTERS:
            return write_registers(in, in_len);
        case KV830_SIGNAL_REQUEST:
        case KV830_MODE_SIGNAL_REQUEST:
            return forward_json_request(code, in, in_len, out, out_len, out_size);
        case KV830_SNAPSHOT_TEXT:
            return snapshot_text(out, out_len, out_size);
        case KV830_SNAPSHOT_VALUE:
            return snapshot_value(out, out_len, out_size);
        default:
            break;
    }
    const std::int32_t result = write_result_;
    if (out != nullptr && out_len >= static_cast<int>(sizeof result)) {
        std::memcpy(out, &result, sizeof result);
        out_size = static_cast<int>(sizeof result);
    } else {
        out_size = 0;
    }
    return QDXVDevice::DeviceIoControl(code, in, in_len, out, out_len, out_size);
}

// Input: the register address, then the value, as two 16-bit words.
int KV830::write_register(const void* in, int in_len) {
    if (in == nullptr || in_len < 2 * kWordBytes) {
        return -1;
    }
    request_tag_ = KV830_WRITE_REGISTER;
    write_result_ = KV830_WRITE_PENDING;
    OpenPort();
    write_expect_ = word_at(in, 1);
    modbus_write_register(word_at(in, 0), write_expect_);
    return 0;
}

// Input: the start address, then one word per register; an odd last byte is ignored.
int KV830::write_registers(const void* in, int in_len) {
    if (in == nullptr || in_len < 2 * kWordBytes) {
        return -1;
    }
    const int count = in_len / kWordBytes - 1;
    if (count > kv830::kMaxWriteRegisters || word_at(in, 0) + count > kv830::kRegisterSpace) {
        return -1;
    }
    request_tag_ = KV830_WRITE_REGISTERS;
    write_result_ = KV830_WRITE_PENDING;
    OpenPort();
    write_expect_ = count;
    // The caller's buffer need not be aligned for 16-bit access.
    unsigned short values[kv830::kMaxWriteRegisters];
    std::memcpy(values, static_cast<const unsigned char*>(in) + kWordBytes,
                static_cast<std::size_t>(count) * kWordBytes);
    modbus_write_registers(word_at(in, 0), count, values);
    return 0;
}

int KV830::forward_json_request(int code, const void* in, int in_len, void* out, int out_len,
                                int& out_size) {
    if (in_len < 0 || (in == nullptr && in_len > 0)) {
        return -1;
    }
    request_tag_ = code;
    write_result_ = KV830_WRITE_PENDING;
    OpenPort();
    const std::string text =
        in_len > 0 ? std::string(static_cast<const char*>(in), static_cast<std::size_t>(in_len))
                   : std::string();
    const bool checked = code == KV830_SIGNAL_REQUEST || b_mode_ != unidata::kModeDefault;
    if (checked && !is_json_object(text)) {
        return -1;
    }
    return QDXVDevice::DeviceIoControl(code, in, in_len, out, out_len, out_size);
}
