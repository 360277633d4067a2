// Shared fixtures of the device tests: a device whose protected state a test can reach,
// a host observer that records every call the device makes into the host, and a script
// that answers the device's requests like a plant controller would.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kv830.h"
#include "qdx_host.h"

namespace kv830test {

class TestDevice : public KV830 {
  public:
    using KV830::b_mode_;
    using KV830::data_;
    using KV830::json_mutex_;
    using KV830::json_time_;
    using KV830::json_value_;
    using KV830::signal_names_;
    using KV830::text_writer_;
    using KV830::TextWriter;
    using KV830::threshold_ids_;
    using KV830::write_expect_;
    using KV830::write_result_;
    using QDXVDevice::data_id_;
    using QDXVDevice::data_ready_;
    using QDXVDevice::rule_values_;
    using QDXVDevice::status_;
    using QDXVDevice::threshold_flag_;
    using QDXVDevice::threshold_levels_;
    using QDXVDevice::threshold_values_;
    using QDXVDevice::update_time_;
    using SPModbus::baud_rate_;
    using SPModbus::modbus_option_;
    using SPModbus::reply_bits_;
    using SPModbus::reply_regs_;
    using SPModbus::request_tag_;

    const unsigned char* bytes() const { return reinterpret_cast<const unsigned char*>(&data_); }
    unsigned char* bytes() { return reinterpret_cast<unsigned char*>(&data_); }
    std::vector<unsigned char> record() const { return {bytes(), bytes() + sizeof(data_)}; }
    std::size_t kept_text_capacity() const { return json_text_.capacity(); }
};

// Everything the device handed to the host, in order.
class RecordingHost : public qdxhost::Observer {
  public:
    std::vector<std::string> calls;
    std::vector<qdxhost::Request> requests;
    std::vector<std::vector<unsigned char>> published;
    std::vector<std::vector<unsigned char>> saved;
    std::vector<int> published_types;
    std::vector<std::size_t> batch_sizes;
    std::vector<int> io_codes;
    bool batch_result = false;
    int io_result = 0;
    int init_result = 0;
    int open_port_calls = 0;
    int errors = 0;

    void on_request(SPModbus&, const qdxhost::Request& r) override { requests.push_back(r); }
    int on_send_sp(QDXVDevice&, int type, const unsigned char* data, unsigned size,
                   bool urgent) override {
        calls.emplace_back(urgent ? "SendSP urgent" : "SendSP");
        published_types.push_back(type);
        published.emplace_back(data, data + size);
        return 0;
    }
    int on_save_history(QDXVDevice&, const unsigned char* data, unsigned size) override {
        calls.emplace_back("SaveDeviceHistory");
        saved.emplace_back(data, data + size);
        return 0;
    }
    bool on_batch_check(QDXVDevice&, const std::vector<rule_value>& rules) override {
        calls.emplace_back("DoBatchCheckThreshold");
        batch_sizes.push_back(rules.size());
        return batch_result;
    }
    void on_reset(QDXVDevice&) override { calls.emplace_back("Reset"); }
    int on_open_port(QDXSPDevice&) override {
        calls.emplace_back("OpenPort");
        ++open_port_calls;
        return 0;
    }
    int on_device_io_control(QDXVDevice&, int code, const void*, int, void*, int, int&) override {
        calls.push_back("DeviceIoControl " + std::to_string(code));
        io_codes.push_back(code);
        return io_result;
    }
    int on_init_setting(SPModbus&, const Json::Value&) override {
        calls.emplace_back("InitSetting");
        return init_result;
    }
    void on_modbus_error(SPModbus&) override { ++errors; }
};

// What the simulated controller answers: a distinct value per register and input.
inline std::uint16_t register_value(int reg) {
    return static_cast<std::uint16_t>(reg * 257 + 3);
}
inline std::uint8_t input_value(int bit) {
    return bit % 3 == 0 ? 1 : 0;
}

// Answers the request the device has outstanding. Returns what process_payload returned.
inline int answer(SPModbus& device) {
    const qdxhost::Request& r = qdxhost::HostAccess::pending_request(device);
    if (r.function == qdxhost::Function::ReadInputBits) {
        std::uint8_t bits[qdxhost::kMaxReadBits];
        for (int i = 0; i < r.count; ++i) {
            bits[i] = input_value(r.address + i);
        }
        return qdxhost::HostAccess::reply_bits(device, bits, r.count);
    }
    std::uint16_t regs[qdxhost::kMaxReadRegisters];
    for (int i = 0; i < r.count; ++i) {
        regs[i] = register_value(r.address + i);
    }
    return qdxhost::HostAccess::reply_registers(device, regs, r.count);
}

// Runs RefreshStatus and answers every request until the device sends no more.
// Returns the number of replies delivered.
inline int run_cycle(KV830& device) {
    device.RefreshStatus();
    int replies = 0;
    while (qdxhost::HostAccess::has_request(device) && replies < 100) {
        answer(device);
        ++replies;
    }
    return replies;
}

// Runs `fn` with the process's stdout captured and returns what it printed.
template <class Fn>
std::string capture_stdout(Fn&& fn) {
    testing::internal::CaptureStdout();
    fn();
    return testing::internal::GetCapturedStdout();
}

}  // namespace kv830test
