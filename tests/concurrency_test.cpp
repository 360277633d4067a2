// Snapshot requests from several request threads while rounds complete. The host keeps
// its serial path and its request path apart (here: a shared lock, exclusive for the
// serial path), as the device expects; the request threads run against each other
// freely, so the snapshot's own lock is what keeps them apart.
#include <gtest/gtest.h>
#include <json/reader.h>

#include <atomic>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <chrono>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "test_support.h"

using kv830test::TestDevice;

TEST(ConcurrencyTest, SnapshotRequestsRaceRoundsCleanly) {
    TestDevice device;
    qdxhost::Observer quiet;
    qdxhost::HostAccess::set_observer(device, &quiet);
    std::shared_mutex host_paths;
    // Readers pass the turnstile before taking their shared lock, so a waiting serial
    // path is never starved by request threads that keep the lock busy.
    std::mutex turnstile;
    std::atomic<bool> stop{false};
    std::atomic<int> texts{0};
    std::atomic<int> bad{0};

    // Keeps the device's diagnostic lines out of the test output.
    testing::internal::CaptureStdout();
    std::thread serial([&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (int round = 0;
             round < 40 || (texts < 100 && std::chrono::steady_clock::now() < deadline); ++round) {
            {
                std::lock_guard<std::mutex> gate(turnstile);
                std::unique_lock<std::shared_mutex> lock(host_paths);
                kv830test::run_cycle(device);
                // Rounds within one second would share a time stamp; move it on so that
                // every round makes the next request rebuild.
                device.update_time_ += boost::posix_time::seconds(round + 1);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        stop = true;
    });
    std::vector<std::thread> requests;
    requests.reserve(3);
    for (int t = 0; t < 3; ++t) {
        requests.emplace_back([&, t] {
            std::string buffer(1 << 16, '\0');
            while (!stop) {
                { std::lock_guard<std::mutex> gate(turnstile); }
                std::shared_lock<std::shared_mutex> lock(host_paths);
                int size = 0;
                if (t == 2) {
                    void* address = nullptr;
                    if (device.DeviceIoControl(803, nullptr, 0, &address, sizeof address, size) !=
                            0 ||
                        address != &device.json_value_) {
                        ++bad;
                    }
                    continue;
                }
                if (device.DeviceIoControl(801, nullptr, 0, buffer.data(),
                                           static_cast<int>(buffer.size()), size) != 0) {
                    ++bad;
                    continue;
                }
                Json::Value doc;
                Json::Reader reader;
                const std::string text = buffer.substr(0, static_cast<std::size_t>(size));
                if (!reader.parse(text, doc) || (!doc.isNull() && doc.size() != 297U)) {
                    ++bad;
                }
                ++texts;
            }
        });
    }
    serial.join();
    for (auto& r : requests) {
        r.join();
    }
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_GT(texts.load(), 0);
}
