// Sequences of the serial path and the request path as the host could interleave them:
// polling cycles, replies under any request tag with any contents and counts, failed
// requests, cache loads of any size, and snapshot requests.
#include <json/value.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace {

using kv830fuzz::Device;
using kv830fuzz::Input;

constexpr int kMaxSteps = 64;

int pick_tag(Input& in) {
    const std::uint8_t selector = in.byte();
    if (selector < 170) {
        return kv830::kFirstPollTag + selector % (kv830::kPollSteps + 2) - 1;
    }
    switch (selector % 6) {
        case 0:
            return KV830_WRITE_REGISTER;
        case 1:
            return KV830_WRITE_REGISTERS;
        case 2:
            return KV830_SIGNAL_REQUEST;
        case 3:
            return KV830_MODE_SIGNAL_REQUEST;
        default:
            return in.i32();
    }
}

void load_from_cache(Device& device, Input& in) {
    const std::uint8_t how = in.byte();
    switch (how % 4) {
        case 0: {
            std::vector<std::uint8_t> record = in.bytes(sizeof(KV830_Data_t));
            record.resize(sizeof(KV830_Data_t));
            device.LoadFromCache(record.data(), static_cast<int>(record.size()));
            break;
        }
        case 1: {
            const std::vector<std::uint8_t> bytes = in.bytes(in.u16() % 1200U);
            // The host reaches this overload through its base; the device hides it.
            static_cast<VDeviceInterface&>(device).LoadFromCache(
                std::string(bytes.begin(), bytes.end()));
            break;
        }
        case 2: {
            // Exactly the stated size, so a read past it is caught.
            const std::vector<std::uint8_t> bytes = in.bytes(in.u16() % 1200U);
            std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[bytes.size()]);
            std::copy(bytes.begin(), bytes.end(), buffer.get());
            device.LoadFromCache(buffer.get(), static_cast<int>(bytes.size()));
            break;
        }
        default: {
            const std::int32_t stated = in.i32();
            device.LoadFromCache(nullptr, stated);
            break;
        }
    }
}

void snapshot_text(Device& device, Input& in) {
    const std::size_t capacity = in.u16();
    std::vector<char> out(capacity);
    int out_size = -1;
    const int rc = device.DeviceIoControl(KV830_SNAPSHOT_TEXT, nullptr, 0,
                                          capacity == 0 ? nullptr : out.data(),
                                          static_cast<int>(capacity), out_size);
    if (rc == 0 && (out_size < 0 || static_cast<std::size_t>(out_size) > capacity)) {
        std::abort();
    }
}

void snapshot_value(Device& device, Input& in) {
    const std::size_t capacity = in.byte() % 16U;
    std::vector<std::uint8_t> out(capacity);
    int out_size = -1;
    const int rc = device.DeviceIoControl(KV830_SNAPSHOT_VALUE, nullptr, 0,
                                          capacity == 0 ? nullptr : out.data(),
                                          static_cast<int>(capacity), out_size);
    if (rc == 0) {
        Json::Value* document = nullptr;
        // 803 hands out the document's address itself.
        std::memcpy(&document, out.data(), sizeof document);  // NOLINT(bugprone-sizeof-expression)
        // The document is the device's own and outlives the call.
        if (document == nullptr || !(document->isNull() || document->isObject())) {
            std::abort();
        }
    }
}

void write_request(Device& device, Input& in) {
    const int code = (in.byte() & 1U) != 0 ? KV830_WRITE_REGISTERS : KV830_WRITE_REGISTER;
    const std::vector<std::uint8_t> bytes = in.bytes(in.byte());
    std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[bytes.size()]);
    std::copy(bytes.begin(), bytes.end(), buffer.get());
    int out_size = 0;
    device.DeviceIoControl(code, buffer.get(), static_cast<int>(bytes.size()), nullptr, 0,
                           out_size);
}

void step(Device& device, Input& in) {
    switch (in.byte() % 13) {
        case 0:
            device.RefreshStatus();
            break;
        case 1: {
            const int count = in.byte() % (qdxhost::kMaxReadRegisters + 1);
            std::vector<std::uint16_t> regs(static_cast<std::size_t>(count));
            for (std::uint16_t& w : regs) {
                w = in.u16();
            }
            qdxhost::HostAccess::reply_registers(device, regs.data(), count);
            break;
        }
        case 2: {
            const int count = in.u16() % (qdxhost::kMaxReadBits + 1);
            std::vector<std::uint8_t> bits = in.bytes(static_cast<std::size_t>(count));
            bits.resize(static_cast<std::size_t>(count));
            qdxhost::HostAccess::reply_bits(device, bits.data(), count);
            break;
        }
        case 3:
            qdxhost::HostAccess::fail_request(device);
            break;
        case 4:
            load_from_cache(device, in);
            break;
        case 5:
            snapshot_text(device, in);
            break;
        case 6:
            snapshot_value(device, in);
            break;
        case 7:
            device.request_tag_ = pick_tag(in);
            break;
        case 8:
            write_request(device, in);
            break;
        case 9:
            device.RoundDone();
            break;
        case 10:
            try {
                device.Get_Value(in.u16(), "x");
            } catch (const std::out_of_range&) {
                // Get_Value always reports through this exception.
            }
            break;
        case 11:
            kv830fuzz::answer_pending(device, in);
            break;
        default: {
            int out_size = 0;
            std::int32_t result = 0;
            device.DeviceIoControl(0, nullptr, 0, &result, sizeof result, out_size);
            break;
        }
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
    for (int steps = 0; steps < kMaxSteps && !in.empty(); ++steps) {
        step(device, in);
    }
    return 0;
}
