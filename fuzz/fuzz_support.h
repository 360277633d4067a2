// Shared pieces of the fuzz harnesses: a device whose request tag a harness can set, a
// reader that turns the fuzzer's bytes into choices, and a quiet standard output.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kv830.h"
#include "qdx_host.h"

namespace kv830fuzz {

class Device : public KV830 {
  public:
    using SPModbus::request_tag_;
};

// The device writes a diagnostic line on every request; on a terminal that would
// dominate the time of a run. The fuzzer itself reports on stderr.
inline void silence_stdout() {
    const int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd >= 0) {
        dup2(null_fd, STDOUT_FILENO);
        close(null_fd);
    }
}

// Consumes the fuzzer's input from the front; once it is used up every read yields 0,
// so each input describes one well-defined run.
class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return size_ == 0; }
    std::size_t remaining() const { return size_; }

    std::uint8_t byte() {
        if (size_ == 0) {
            return 0;
        }
        const std::uint8_t b = *data_;
        ++data_;
        --size_;
        return b;
    }

    std::uint16_t u16() {
        const auto lo = static_cast<unsigned>(byte());
        const auto hi = static_cast<unsigned>(byte());
        return static_cast<std::uint16_t>(lo | (hi << 8U));
    }

    std::int32_t i32() {
        std::uint32_t v = 0;
        for (unsigned i = 0; i < 4; ++i) {
            v |= static_cast<std::uint32_t>(byte()) << (8U * i);
        }
        std::int32_t out = 0;
        std::memcpy(&out, &v, sizeof out);
        return out;
    }

    // Up to `n` bytes, fewer when the input runs out.
    std::vector<std::uint8_t> bytes(std::size_t n) {
        const std::size_t take = std::min(n, size_);
        std::vector<std::uint8_t> out(data_, data_ + take);
        data_ += take;
        size_ -= take;
        return out;
    }

    std::vector<std::uint8_t> rest() { return bytes(size_); }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
};

// The request codes the device serves, and a few it passes on.
inline int pick_code(Input& in) {
    static constexpr int kCodes[] = {KV830_WRITE_REGISTER,
                                     KV830_WRITE_REGISTERS,
                                     KV830_SIGNAL_REQUEST,
                                     KV830_MODE_SIGNAL_REQUEST,
                                     KV830_SNAPSHOT_TEXT,
                                     KV830_SNAPSHOT_VALUE,
                                     0,
                                     -1,
                                     999};
    constexpr std::uint8_t kCount = sizeof kCodes / sizeof kCodes[0];
    const std::uint8_t selector = in.byte();
    if (selector < kCount * 24U) {
        return kCodes[selector % kCount];
    }
    return in.i32();
}

// Answers whatever the device has outstanding with words or bits from the input.
inline void answer_pending(Device& device, Input& in) {
    if (!qdxhost::HostAccess::has_request(device)) {
        return;
    }
    const qdxhost::Request& r = qdxhost::HostAccess::pending_request(device);
    if (r.function == qdxhost::Function::ReadInputBits) {
        std::vector<std::uint8_t> bits(static_cast<std::size_t>(r.count));
        const std::vector<std::uint8_t> given = in.bytes(bits.size());
        std::copy(given.begin(), given.end(), bits.begin());
        qdxhost::HostAccess::reply_bits(device, bits.data(), r.count);
        return;
    }
    const int count = r.function == qdxhost::Function::ReadHoldingRegisters ? r.count : 2;
    std::vector<std::uint16_t> regs(static_cast<std::size_t>(count));
    for (std::uint16_t& w : regs) {
        w = in.u16();
    }
    qdxhost::HostAccess::reply_registers(device, regs.data(), count);
}

}  // namespace kv830fuzz
