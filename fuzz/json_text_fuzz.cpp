// Our JSON text against the library's FastWriter on arbitrary documents: values of every
// kind, nested, with any bytes in strings and keys and any bit pattern in reals. The
// first byte chooses whether the document stands alone or is merged through the 803
// address into the snapshot of a device whose record came from the input, and then
// serialised by request 801. Any difference in the bytes aborts.
#include <json/value.h>
#include <json/writer.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "json_text_writer.h"

namespace {

using kv830fuzz::Device;
using kv830fuzz::Input;

constexpr int kMaxDepth = 6;
constexpr unsigned kMaxMembers = 12;

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
std::string fast_writer(const Json::Value& value) {
    return Json::FastWriter().write(value);
}
#pragma GCC diagnostic pop

std::uint64_t u64(Input& in) {
    const auto lo = static_cast<std::uint32_t>(in.i32());
    const auto hi = static_cast<std::uint32_t>(in.i32());
    return static_cast<std::uint64_t>(hi) << 32U | lo;
}

std::string text(Input& in) {
    const std::vector<std::uint8_t> bytes = in.bytes(in.byte() % 40U);
    return {bytes.begin(), bytes.end()};
}

double real(Input& in) {
    static const double kTricky[] = {0.0,
                                     -0.0,
                                     0.1,
                                     9007199254740992.0,
                                     -9007199254740993.0,
                                     1e17,
                                     1e-7,
                                     std::numeric_limits<double>::max(),
                                     std::numeric_limits<double>::denorm_min(),
                                     std::numeric_limits<double>::infinity(),
                                     -std::numeric_limits<double>::infinity(),
                                     std::numeric_limits<double>::quiet_NaN()};
    const std::uint8_t how = in.byte();
    if (how < 64) {
        return kTricky[how % (sizeof kTricky / sizeof kTricky[0])];
    }
    if (how < 128) {
        return static_cast<double>(in.i32());  // whole numbers, the device's own kind
    }
    const std::uint64_t bits = u64(in);
    double any = 0;
    std::memcpy(&any, &bits, sizeof any);
    return any;
}

Json::Value value(Input& in, int depth) {
    const std::uint8_t kind = in.byte();
    switch (kind % (depth > 0 ? 10U : 8U)) {
        case 0:
            return {};
        case 1:
            return {static_cast<Json::Int64>(u64(in))};
        case 2:
            return {static_cast<Json::UInt64>(u64(in))};
        case 3:
            return {real(in)};
        case 4:
            return {text(in)};
        case 5:
            return {(kind & 0x80U) != 0};
        case 6:
            return {static_cast<int>(in.i32())};
        case 7:
            return {static_cast<Json::UInt>(in.i32())};
        case 8: {
            Json::Value array(Json::arrayValue);
            const unsigned size = in.byte() % kMaxMembers;
            for (unsigned i = 0; i < size && !in.empty(); ++i) {
                // Now and then an index past the end, which leaves a hole.
                const std::uint8_t skip = in.byte();
                const Json::ArrayIndex at = array.size() + (skip > 240 ? skip - 240U : 0U);
                array[at] = value(in, depth - 1);
            }
            return array;
        }
        default: {
            Json::Value object(Json::objectValue);
            const unsigned size = in.byte() % kMaxMembers;
            for (unsigned i = 0; i < size && !in.empty(); ++i) {
                const std::string key = text(in);
                object[key] = value(in, depth - 1);
            }
            return object;
        }
    }
}

void check(const std::string& ours, const Json::Value& document) {
    if (ours != fast_writer(document)) {
        std::abort();
    }
}

// A device that completed a round over a record from the input, its document changed
// through the address as the host may change it, then its text as request 801 gives it.
void through_device(Input& in) {
    Device device;
    std::vector<std::uint8_t> record = in.bytes(sizeof(KV830_Data_t));
    record.resize(sizeof(KV830_Data_t));
    device.LoadFromCache(record.data(), static_cast<int>(record.size()));
    Json::Value* document = nullptr;
    int size = 0;
    device.DeviceIoControl(KV830_SNAPSHOT_VALUE, nullptr, 0, &document,
                           // The request hands back a pointer: its size is the contract.
                           static_cast<int>(sizeof document),  // NOLINT(bugprone-sizeof-expression)
                           size);
    if (document == nullptr) {
        std::abort();
    }
    const Json::Value changes = value(in, kMaxDepth);
    if (changes.isObject()) {
        for (auto it = changes.begin(); it != changes.end(); ++it) {
            const char* end = nullptr;
            const char* name = it.memberName(&end);
            (*document)[std::string(name, end)] = *it;
        }
    } else {
        (*document)["changed"] = changes;
    }
    std::vector<char> out(1 << 20);
    if (device.DeviceIoControl(KV830_SNAPSHOT_TEXT, nullptr, 0, out.data(),
                               static_cast<int>(out.size()), size) != 0) {
        std::abort();
    }
    check(std::string(out.data(), static_cast<std::size_t>(size)), *document);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kv830fuzz::silence_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    if ((in.byte() & 1U) != 0) {
        through_device(in);
        return 0;
    }
    const Json::Value document = value(in, kMaxDepth);
    check(kv830::json_text(document), document);
    return 0;
}
