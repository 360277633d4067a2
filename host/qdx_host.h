// Driving side of the replacement host framework.
//
// A device plug-in never includes this header: it talks to the host only through
// qdx_device.h (host/api). Tests and the host program use it to take the request a
// device has sent, answer or fail it, and watch what the device hands to the host.
#pragma once

#include <cstdint>
#include <vector>

#include "qdx_device.h"

#define QDX_API __attribute__((visibility("default")))

namespace qdxhost {

// Limits of one Modbus request as this host's Modbus layer enforces them; the reply
// buffers of SPModbus are sized for the two read limits.
constexpr int kMaxReadBits = 2000;
constexpr int kMaxReadRegisters = 125;
constexpr int kMaxWriteRegisters = 123;

// The host's own bookkeeping of one device, kept beside the device rather than in it.
struct DeviceState;

// Modbus function codes of the requests a device can send.
enum class Function : std::uint8_t {
    None = 0,
    ReadInputBits = 2,
    ReadHoldingRegisters = 3,
    WriteSingleRegister = 6,
    WriteMultipleRegisters = 16,
};

const char* function_name(Function f);

// The request a device has sent and that waits for its answer.
struct Request {
    Function function = Function::None;
    int address = 0;
    int count = 0;  // registers or bits asked for, or written (1 for a single write)
    std::uint16_t values[kMaxWriteRegisters] = {};  // the values of a write
};

// What the host does when a device calls into it. Every callback has a neutral
// default, so a driver overrides only what it cares about. Callbacks run on the
// thread of the device call that triggers them.
class QDX_API Observer {
  public:
    virtual ~Observer();
    virtual void on_request(SPModbus& device, const Request& request);
    virtual int on_send_sp(QDXVDevice& device, int record_type, const unsigned char* data,
                           unsigned size, bool urgent);
    virtual int on_save_history(QDXVDevice& device, const unsigned char* data, unsigned size);
    virtual bool on_batch_check(QDXVDevice& device, const std::vector<rule_value>& rules);
    virtual void on_reset(QDXVDevice& device);
    virtual int on_refresh_status(QDXVDevice& device);
    virtual int on_open_port(QDXSPDevice& device);
    virtual int on_device_io_control(QDXVDevice& device, int code, const void* in, int in_len,
                                     void* out, int out_len, int& out_size);
    virtual int on_init_setting(SPModbus& device, const Json::Value& settings);
    virtual void on_modbus_error(SPModbus& device);
};

class QDX_API HostAccess {
  public:
    // The observer is not owned; nullptr restores the neutral defaults.
    static void set_observer(const QDXVDevice& device, Observer* observer);
    static Observer* observer(const QDXVDevice& device);

    static bool has_request(const SPModbus& device);
    static const Request& pending_request(const SPModbus& device);
    // Requests sent while an earlier one still waited for its answer.
    static unsigned superseded_requests(const SPModbus& device);

    // Answer the pending request: the values go to the device's reply buffers and the
    // device's process_payload runs. Returns what process_payload returned, or -1
    // (nothing changed) when count is negative or larger than a reply can carry.
    static int reply_registers(SPModbus& device, const std::uint16_t* regs, int count);
    static int reply_bits(SPModbus& device, const std::uint8_t* bits, int count);
    // The pending request got no valid answer: it is dropped and on_error runs.
    static int fail_request(SPModbus& device);

    // Sets the time of the device's last completed round, as its round completion would.
    // A reader of stored rounds loads many records a second into one device and gives
    // each its own round time, so that the device's snapshot follows every record.
    static void set_round_time(QDXVDevice& device, boost::posix_time::ptime time);

    // The settings document last handed to SPModbus::InitSetting (null before).
    static const Json::Value& settings(const SPModbus& device);

    // The host's own bookkeeping of a device; opaque outside the framework.
    static DeviceState& state(const QDXVDevice& device);
};

}  // namespace qdxhost
