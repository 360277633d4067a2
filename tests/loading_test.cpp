// Loads kv830.so the way the host does and drives it only through the host's types.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "counting_host.h"
#include "qdx_device.h"
#include "qdx_host.h"

namespace {

using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();

class LoadingTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        json_ = dlopen(JSONCPP_SO, RTLD_NOW | RTLD_GLOBAL);
        host_ = dlopen(QDXHOST_SO, RTLD_NOW | RTLD_GLOBAL);
        // KV830_PLUGIN names another build of the plug-in to load instead, such as the
        // one built from the contract headers alone.
        const char* plugin = std::getenv("KV830_PLUGIN");
        plugin_ = dlopen(plugin != nullptr && *plugin != '\0' ? plugin : KV830_SO, RTLD_NOW);
    }
    void SetUp() override {
        ASSERT_NE(json_, nullptr) << dlerror();
        ASSERT_NE(host_, nullptr) << dlerror();
        ASSERT_NE(plugin_, nullptr) << dlerror();
    }
    static GetProviders entry() {
        return reinterpret_cast<GetProviders>(dlsym(plugin_, "get_providers"));
    }
    static void* json_;
    static void* host_;
    static void* plugin_;
};

void* LoadingTest::json_ = nullptr;
void* LoadingTest::host_ = nullptr;
void* LoadingTest::plugin_ = nullptr;

// Answers every request like a controller would, until the device's cycle ends.
int drive_cycle(SPModbus& device) {
    device.RefreshStatus();
    int replies = 0;
    while (qdxhost::HostAccess::has_request(device) && replies < 100) {
        const qdxhost::Request& r = qdxhost::HostAccess::pending_request(device);
        if (r.function == qdxhost::Function::ReadInputBits) {
            std::uint8_t bits[81] = {};
            bits[3] = 1;
            qdxhost::HostAccess::reply_bits(device, bits, r.count);
        } else {
            std::uint16_t regs[125] = {};
            for (int i = 0; i < r.count; ++i) {
                regs[i] = static_cast<std::uint16_t>(r.address + i);
            }
            qdxhost::HostAccess::reply_registers(device, regs, r.count);
        }
        ++replies;
    }
    return replies;
}

}  // namespace

// The run against another build must really load that build, not the default one.
TEST_F(LoadingTest, LoadsTheBuildItIsGiven) {
    const char* given = std::getenv("KV830_PLUGIN");
    const std::string wanted = given != nullptr && *given != '\0' ? given : KV830_SO;
    Dl_info info{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(entry()), &info), 0);
    char* loaded = realpath(info.dli_fname, nullptr);
    char* expected = realpath(wanted.c_str(), nullptr);
    ASSERT_NE(loaded, nullptr);
    ASSERT_NE(expected, nullptr);
    EXPECT_STREQ(loaded, expected);
    std::free(loaded);
    std::free(expected);
}

TEST_F(LoadingTest, OnlyTheEntryPointIsFoundByPlainName) {
    EXPECT_NE(entry(), nullptr);
    EXPECT_EQ(dlsym(plugin_, "create"), nullptr);
    EXPECT_EQ(dlsym(plugin_, "kSignals"), nullptr);
}

TEST_F(LoadingTest, EachCallHandsOutOneFreshProvider) {
    const GetProviders get_providers = entry();
    ASSERT_NE(get_providers, nullptr);
    auto first = get_providers();
    auto second = get_providers();
    ASSERT_EQ(first.size(), 1U);
    ASSERT_EQ(second.size(), 1U);
    EXPECT_NE(first[0].get(), second[0].get());
    EXPECT_EQ(first[0].use_count(), 1);
    const Provider& provider = *first[0];
    EXPECT_STREQ(typeid(provider).name(), "13KV830Provider");
    EXPECT_NE(dynamic_cast<QDXSPDeviceProvider*>(first[0].get()), nullptr);
}

TEST_F(LoadingTest, DevicesOutliveTheirProviderAndRunFullCycles) {
    auto providers = entry()();
    auto* provider = dynamic_cast<QDXSPDeviceProvider*>(providers.at(0).get());
    ASSERT_NE(provider, nullptr);
    QDXSPDevice* a = provider->create();
    QDXSPDevice* b = provider->create();
    ASSERT_NE(a, nullptr);
    ASSERT_NE(a, b);
    EXPECT_EQ(a->DeviceType(), "kv830");
    providers.clear();  // the host may drop the provider; its devices stay usable

    for (QDXSPDevice* device : {a, b}) {
        kv830test::CountingHost host;
        qdxhost::HostAccess::set_observer(*device, &host);
        auto* modbus = dynamic_cast<SPModbus*>(device);
        ASSERT_NE(modbus, nullptr);
        testing::internal::CaptureStdout();
        EXPECT_EQ(drive_cycle(*modbus), 17);
        char text[65536];
        int size = 0;
        EXPECT_EQ(device->DeviceIoControl(801, nullptr, 0, text, sizeof text, size), 0);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(host.published, 1);
        EXPECT_EQ(host.saved, 1);
        const std::string snapshot(text, static_cast<std::size_t>(size));
        // Register 139 answered 139: bit 7, the manual open of DV1, is set.
        EXPECT_NE(snapshot.find("\"DV1\\u624b\\u52a8\\u5f00\\u5173\":1"), std::string::npos);
        qdxhost::HostAccess::set_observer(*device, nullptr);
    }
    VDeviceInterface* as_base_a = a;
    VDeviceInterface* as_base_b = b;
    delete as_base_a;
    delete as_base_b;
}
