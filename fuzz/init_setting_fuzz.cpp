// InitSetting with whatever document a settings text parses to. The JSON library's own
// exceptions (asString on an object, a member lookup on an array, the parser's depth
// limit) are the documented outcome of a malformed document and reach the host as they
// are; anything else (a crash, a sanitizer report, another exception) is a finding.
#include <json/reader.h>
#include <json/value.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace {

using kv830fuzz::Device;

// After the settings, the requests whose outcome depends on them: b_mode decides whether
// a mode signal request is checked, and a completed round publishes and snapshots.
void exercise(Device& device) {
    const char request[] = "{\"signal\":1}";
    int out_size = 0;
    device.DeviceIoControl(KV830_MODE_SIGNAL_REQUEST, request, sizeof request - 1, nullptr, 0,
                           out_size);
    std::vector<std::uint8_t> record(sizeof(KV830_Data_t), 0x5A);
    device.LoadFromCache(record.data(), static_cast<int>(record.size()));
    std::vector<char> text(16384);
    device.DeviceIoControl(KV830_SNAPSHOT_TEXT, nullptr, 0, text.data(),
                           static_cast<int>(text.size()), out_size);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kv830fuzz::silence_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* begin = reinterpret_cast<const char*>(data);
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value settings;
    std::string errors;
    try {
        if (!reader->parse(begin, begin + size, &settings, &errors)) {
            return 0;
        }
    } catch (const Json::Exception&) {
        return 0;
    }

    Device device;
    device.Init(std::weak_ptr<QDXController>(), 17, Json::Value());
    try {
        device.InitSetting(settings);
    } catch (const Json::Exception&) {
        return 0;
    }
    exercise(device);
    return 0;
}
