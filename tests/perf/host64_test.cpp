// A host with 64 plant controllers, as a large site has: every device created through the
// plug-in's provider, configured, polled through one whole cycle and asked for its
// snapshot once, then destroyed. Run under a leak checker by ctest, so that whatever a
// device keeps on the heap must go with it.
#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/value.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "counting_host.h"
#include "kv830.h"
#include "kv830_provider.h"
#include "kv830_signals.h"
#include "qdx_host.h"

namespace {

constexpr int kDevices = 64;

// Answers whatever the device asks until it stops asking; returns the replies given.
int answer_cycle(SPModbus& device, std::uint16_t seed) {
    std::uint16_t regs[qdxhost::kMaxReadRegisters];
    std::uint8_t bits[qdxhost::kMaxReadBits];
    int replies = 0;
    while (qdxhost::HostAccess::has_request(device) && replies < 100) {
        const qdxhost::Request& request = qdxhost::HostAccess::pending_request(device);
        for (int i = 0; i < request.count; ++i) {
            regs[i] = static_cast<std::uint16_t>(seed + request.address + i);
            bits[i] = static_cast<std::uint8_t>((seed + i) & 1);
        }
        if (request.function == qdxhost::Function::ReadInputBits) {
            qdxhost::HostAccess::reply_bits(device, bits, request.count);
        } else {
            qdxhost::HostAccess::reply_registers(device, regs, request.count);
        }
        ++replies;
    }
    return replies;
}

TEST(Host64, OneCycleAndOneSnapshotEach) {
    std::vector<std::shared_ptr<Provider>> providers = get_providers();
    ASSERT_EQ(providers.size(), 1U);
    auto* provider = dynamic_cast<QDXSPDeviceProvider*>(providers[0].get());
    ASSERT_NE(provider, nullptr);

    Json::Value settings;
    settings["appSetting"]["b_mode"] = "1";
    kv830test::CountingHost host;
    std::vector<std::unique_ptr<QDXSPDevice>> devices;
    for (int i = 0; i < kDevices; ++i) {
        devices.emplace_back(provider->create());
        QDXSPDevice& device = *devices.back();
        qdxhost::HostAccess::set_observer(device, &host);
        device.Init(std::weak_ptr<QDXController>(), static_cast<unsigned>(100 + i), Json::Value());
        device.InitSetting(settings);
    }

    std::vector<char> text(std::size_t{64} * 1024);
    for (int i = 0; i < kDevices; ++i) {
        auto& device = dynamic_cast<SPModbus&>(*devices[static_cast<std::size_t>(i)]);
        device.RefreshStatus();
        EXPECT_EQ(answer_cycle(device, static_cast<std::uint16_t>(i)), 17) << "device " << i;
        int out_size = 0;
        ASSERT_EQ(device.DeviceIoControl(KV830_SNAPSHOT_TEXT, nullptr, 0, text.data(),
                                         static_cast<int>(text.size()), out_size),
                  0);
        Json::Value document;
        std::string errors;
        const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
        ASSERT_TRUE(reader->parse(text.data(), text.data() + out_size, &document, &errors))
            << errors;
        EXPECT_EQ(document.size(), 297U) << "device " << i;
        EXPECT_TRUE(document[kv830::kUpdateTimeKey].isString()) << "device " << i;
    }
    EXPECT_EQ(host.published, kDevices);
    EXPECT_EQ(host.saved, kDevices);

    devices.clear();
    providers.clear();
}

}  // namespace
