// DeviceIoControl with any request code, any input bytes and length, any output
// capacity and null buffers, on a fresh device that may have completed a round, with
// the device's outstanding request answered or failed in between.
#include <json/value.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace {

using kv830fuzz::Device;
using kv830fuzz::Input;

// Largest output buffer the harness really allocates; a larger stated capacity comes
// with a null buffer, which the device must refuse without touching it.
constexpr std::int32_t kMaxOutBuffer = 1 << 20;

void settle(Device& device, Input& in) {
    const std::uint8_t setup = in.byte();
    if ((setup & 0x03U) != 0) {
        Json::Value settings;
        settings["appSetting"]["b_mode"] = std::to_string(setup & 0x03U);
        device.InitSetting(settings);
    }
    if ((setup & 0x04U) != 0) {
        std::vector<std::uint8_t> record = in.bytes(sizeof(KV830_Data_t));
        record.resize(sizeof(KV830_Data_t));
        device.LoadFromCache(record.data(), static_cast<int>(record.size()));
    }
}

void one_call(Device& device, Input& in) {
    const int code = kv830fuzz::pick_code(in);
    const std::uint8_t flags = in.byte();

    // Input: the stated length never exceeds what the buffer holds, but may be negative.
    std::int32_t in_len = 0;
    std::vector<std::uint8_t> in_bytes;
    bool in_null = (flags & 0x01U) != 0;
    if ((flags & 0x08U) != 0) {
        in_len = in.i32();
        if (in_len > 0 && !in_null) {
            if (static_cast<std::size_t>(in_len) > in.remaining()) {
                in_null = true;
            } else {
                in_bytes = in.bytes(static_cast<std::size_t>(in_len));
            }
        }
    } else {
        const std::size_t want = in.u16() % 300U;
        in_bytes = in.bytes(want);
        in_len = static_cast<std::int32_t>(in_bytes.size());
    }
    // Exactly sized, so that a read past the stated length is caught.
    std::unique_ptr<std::uint8_t[]> in_buffer(new std::uint8_t[in_bytes.size()]);
    std::copy(in_bytes.begin(), in_bytes.end(), in_buffer.get());

    // Output: the stated capacity is what the buffer holds, or the buffer is null.
    std::int32_t out_len = (flags & 0x04U) != 0 ? in.i32() : static_cast<std::int32_t>(in.u16());
    bool out_null = (flags & 0x02U) != 0;
    if (out_len > kMaxOutBuffer) {
        out_null = true;
    }
    const std::size_t capacity = out_len > 0 && !out_null ? static_cast<std::size_t>(out_len) : 0;
    std::vector<std::uint8_t> out(capacity);

    int out_size = -7;
    const int rc = device.DeviceIoControl(code, in_null ? nullptr : in_buffer.get(), in_len,
                                          out_null ? nullptr : out.data(), out_len, out_size);

    if (code == KV830_SNAPSHOT_TEXT && rc == 0 && (out_size < 0 || out_size > out_len)) {
        std::abort();  // claimed more text than the caller had room for
    }
    if (code == KV830_SNAPSHOT_VALUE && rc == 0 &&
        out_size != static_cast<int>(sizeof(Json::Value*))) {
        std::abort();
    }

    if ((flags & 0x10U) != 0) {
        kv830fuzz::answer_pending(device, in);
    }
    if ((flags & 0x20U) != 0 && qdxhost::HostAccess::has_request(device)) {
        qdxhost::HostAccess::fail_request(device);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kv830fuzz::silence_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    Device device;
    settle(device, in);
    for (int calls = 0; calls < 8 && !in.empty(); ++calls) {
        one_call(device, in);
    }
    return 0;
}
