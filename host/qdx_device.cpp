// Replacement of the host's device framework: enough of it to load, drive and observe
// device plug-ins outside the real host.
#include "qdx_device.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iostream>
#include <mutex>
#include <unordered_map>

#include "qdx_host.h"

namespace qdxhost {

struct DeviceState {
    Observer* observer = nullptr;
    Request pending;
    bool has_pending = false;
    unsigned superseded = 0;
    Json::Value settings;
    std::weak_ptr<QDXController> controller;
    QDXVDevice* parent = nullptr;
};

namespace {

// Shared by devices without an observer of their own; it has no state.
Observer& neutral_observer() {
    static Observer neutral;
    return neutral;
}

// The framework classes carry only the contract's members, so the host's state of each
// device lives here, keyed by the device. A device's constructor adds its entry and its
// destructor removes it; the entry outlives every call into the device.
class DeviceTable {
  public:
    void add(const QDXVDevice* device) {
        auto state = std::make_unique<DeviceState>();
        const std::lock_guard<std::mutex> lock(mutex_);
        states_[device] = std::move(state);
    }

    // The state is destroyed by the caller, outside the lock.
    std::unique_ptr<DeviceState> remove(const QDXVDevice* device) {
        const std::lock_guard<std::mutex> lock(mutex_);
        generation_.fetch_add(1, std::memory_order_release);
        const auto it = states_.find(device);
        if (it == states_.end()) {
            return nullptr;
        }
        std::unique_ptr<DeviceState> state = std::move(it->second);
        states_.erase(it);
        return state;
    }

    // Every reply and every request of a polling cycle looks its device up, so a thread
    // remembers the last device it asked for. Removing any device invalidates what every
    // thread remembers, as a new device may take the address of a removed one.
    DeviceState& find(const QDXVDevice* device) {
        thread_local const QDXVDevice* last_device = nullptr;
        thread_local DeviceState* last_state = nullptr;
        thread_local unsigned long last_generation = 0;
        const unsigned long generation = generation_.load(std::memory_order_acquire);
        if (device == last_device && generation == last_generation) {
            return *last_state;
        }
        const std::lock_guard<std::mutex> lock(mutex_);
        DeviceState* state = states_.at(device).get();
        last_device = device;
        last_state = state;
        last_generation = generation_.load(std::memory_order_relaxed);
        return *state;
    }

  private:
    std::mutex mutex_;
    std::unordered_map<const QDXVDevice*, std::unique_ptr<DeviceState>> states_;
    std::atomic<unsigned long> generation_{1};
};

// Built by the first device, so it is destroyed only after every static device.
DeviceTable& device_table() {
    static DeviceTable table;
    return table;
}

// The framework's own reach into the reply buffers it fills before process_payload runs.
struct ReplyBuffers : SPModbus {
    static unsigned char* bits(SPModbus& device) { return (device.*(&ReplyBuffers::reply_bits_)); }
    static unsigned short* registers(SPModbus& device) {
        return (device.*(&ReplyBuffers::reply_regs_));
    }
    static_assert(sizeof(reply_bits_) == kMaxReadBits, "a bit reply fills reply_bits_");
    static_assert(sizeof(reply_regs_) == kMaxReadRegisters * sizeof(unsigned short),
                  "a register reply fills reply_regs_");
};

// The round time is the framework's own member; a host that replays stored rounds sets it.
struct RoundTime : QDXVDevice {
    static boost::posix_time::ptime& of(QDXVDevice& device) {
        return (device.*(&RoundTime::update_time_));
    }
};

}  // namespace

const char* function_name(Function f) {
    switch (f) {
        case Function::None:
            return "none";
        case Function::ReadInputBits:
            return "read input bits";
        case Function::ReadHoldingRegisters:
            return "read holding registers";
        case Function::WriteSingleRegister:
            return "write single register";
        case Function::WriteMultipleRegisters:
            return "write multiple registers";
    }
    return "unknown";
}

Observer::~Observer() = default;
void Observer::on_request(SPModbus&, const Request&) {}
int Observer::on_send_sp(QDXVDevice&, int, const unsigned char*, unsigned, bool) {
    return 0;
}
int Observer::on_save_history(QDXVDevice&, const unsigned char*, unsigned) {
    return 0;
}
bool Observer::on_batch_check(QDXVDevice&, const std::vector<rule_value>&) {
    return false;
}
void Observer::on_reset(QDXVDevice&) {}
int Observer::on_refresh_status(QDXVDevice&) {
    return 0;
}
int Observer::on_open_port(QDXSPDevice&) {
    return 0;
}
int Observer::on_device_io_control(QDXVDevice&, int, const void*, int, void*, int, int&) {
    return 0;
}
int Observer::on_init_setting(SPModbus&, const Json::Value&) {
    return 0;
}
void Observer::on_modbus_error(SPModbus&) {}

void HostAccess::set_observer(const QDXVDevice& device, Observer* observer) {
    state(device).observer = observer;
}

Observer* HostAccess::observer(const QDXVDevice& device) {
    return state(device).observer;
}

bool HostAccess::has_request(const SPModbus& device) {
    return state(device).has_pending;
}

const Request& HostAccess::pending_request(const SPModbus& device) {
    return state(device).pending;
}

unsigned HostAccess::superseded_requests(const SPModbus& device) {
    return state(device).superseded;
}

int HostAccess::reply_registers(SPModbus& device, const std::uint16_t* regs, int count) {
    if (count < 0 || count > qdxhost::kMaxReadRegisters || (count > 0 && regs == nullptr)) {
        return -1;
    }
    state(device).has_pending = false;
    if (count > 0) {
        std::memcpy(ReplyBuffers::registers(device), regs, static_cast<std::size_t>(count) * 2U);
    }
    return device.process_payload(SPModbus::TAB_REGISTERS, static_cast<unsigned>(count));
}

int HostAccess::reply_bits(SPModbus& device, const std::uint8_t* bits, int count) {
    if (count < 0 || count > qdxhost::kMaxReadBits || (count > 0 && bits == nullptr)) {
        return -1;
    }
    state(device).has_pending = false;
    if (count > 0) {
        std::memcpy(ReplyBuffers::bits(device), bits, static_cast<std::size_t>(count));
    }
    return device.process_payload(SPModbus::TAB_INPUT_BITS, static_cast<unsigned>(count));
}

int HostAccess::fail_request(SPModbus& device) {
    state(device).has_pending = false;
    return device.on_error();
}

void HostAccess::set_round_time(QDXVDevice& device, boost::posix_time::ptime time) {
    RoundTime::of(device) = time;
}

const Json::Value& HostAccess::settings(const SPModbus& device) {
    return state(device).settings;
}

DeviceState& HostAccess::state(const QDXVDevice& device) {
    return device_table().find(&device);
}

}  // namespace qdxhost

using qdxhost::DeviceState;
using qdxhost::Function;
using qdxhost::Request;

namespace {

qdxhost::Observer& observer_of(const DeviceState* state) {
    return state->observer != nullptr ? *state->observer : qdxhost::neutral_observer();
}

qdxhost::Observer& observer_of(const QDXVDevice& device) {
    return observer_of(&qdxhost::HostAccess::state(device));
}

}  // namespace

TTime get_ttime(boost::posix_time::ptime t) {
    TTime out{};
    if (t.is_special()) {
        return out;
    }
    const auto date = t.date();
    const auto tod = t.time_of_day();
    out.year = static_cast<std::uint16_t>(date.year());
    out.month = static_cast<std::uint8_t>(date.month().as_number());
    out.day = static_cast<std::uint8_t>(date.day().as_number());
    out.hour = static_cast<std::uint8_t>(tod.hours());
    out.minute = static_cast<std::uint8_t>(tod.minutes());
    out.second = static_cast<std::uint8_t>(tod.seconds());
    return out;
}

QDXController::~QDXController() = default;
VDeviceInterface::~VDeviceInterface() = default;

QDXVDevice::QDXVDevice() {
    qdxhost::device_table().add(this);
}

QDXVDevice::~QDXVDevice() {
    qdxhost::device_table().remove(this);
}

int QDXVDevice::LoadFromCache(const unsigned char*, int) {
    return 0;
}

int QDXVDevice::DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                                int& out_size) {
    return observer_of(*this).on_device_io_control(*this, code, in, in_len, out, out_len, out_size);
}

void QDXVDevice::RoundDone() {}

void QDXVDevice::Reset() {
    observer_of(*this).on_reset(*this);
}

int QDXVDevice::InitV(QDXVDevice* parent, unsigned data_id, const Json::Value&) {
    qdxhost::HostAccess::state(*this).parent = parent;
    data_id_ = data_id;
    return 0;
}

int QDXVDevice::Init(std::weak_ptr<QDXController> controller, unsigned data_id,
                     const Json::Value&) {
    qdxhost::HostAccess::state(*this).controller = std::move(controller);
    data_id_ = data_id;
    return 0;
}

int QDXVDevice::InitSetting(const Json::Value&) {
    return 0;
}

bool QDXVDevice::IsSupportDevice(const std::string& type) const {
    return type == device_type_;
}

int QDXVDevice::SendSP(int record_type, const unsigned char* data, unsigned size, bool urgent) {
    return observer_of(*this).on_send_sp(*this, record_type, data, size, urgent);
}

int QDXVDevice::SendDelayData(int) {
    return 0;
}
int QDXVDevice::SendDoData(int, char) {
    return 0;
}
int QDXVDevice::ReadDi(int) {
    return 0;
}
double QDXVDevice::ReadAi(int) {
    return 0.0;
}
double QDXVDevice::Get_SP_Value(unsigned, const std::string&) {
    return 0.0;
}

int QDXVDevice::RefreshStatus() {
    return observer_of(*this).on_refresh_status(*this);
}

int QDXVDevice::SaveDeviceHistory(const unsigned char* data, unsigned size) {
    return observer_of(*this).on_save_history(*this, data, size);
}

bool QDXVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& rules) {
    return observer_of(*this).on_batch_check(*this, rules);
}

QDXSPDevice::QDXSPDevice() = default;
QDXSPDevice::~QDXSPDevice() = default;

void QDXSPDevice::Reset() {
    QDXVDevice::Reset();
}

int QDXSPDevice::RefreshStatus() {
    return QDXVDevice::RefreshStatus();
}

int QDXSPDevice::process(unsigned char*, unsigned) {
    return 0;
}
bool QDXSPDevice::IsProcessing() {
    return false;
}
bool QDXSPDevice::IsStalled() {
    return false;
}
int QDXSPDevice::SendData(const unsigned char*, unsigned) {
    return 0;
}
int QDXSPDevice::SendParityData(const unsigned char*, unsigned, EnumParity) {
    return 0;
}

int QDXSPDevice::OpenPort() {
    return observer_of(*this).on_open_port(*this);
}

int QDXSPDevice::ClosePort() {
    return 0;
}

SPModbus::SPModbus() = default;
SPModbus::~SPModbus() = default;

int SPModbus::InitSetting(const Json::Value& settings) {
    // Kept so that the link layer can read its own members from the same document.
    qdxhost::HostAccess::state(*this).settings = settings;
    return observer_of(*this).on_init_setting(*this, settings);
}

int SPModbus::process(unsigned char*, unsigned) {
    return 0;
}

int SPModbus::on_error() {
    std::cout << "SPModbus get error" << std::endl;
    observer_of(*this).on_modbus_error(*this);
    return 0;
}

namespace {

// Records the request as the one outstanding; a request sent before the previous one was
// answered replaces it, as only one request can be on the line at a time. Runs on every
// reply of a polling cycle, so it neither allocates nor formats.
int send_request(SPModbus& device, Function function, int address, int count,
                 const unsigned short* values) {
    DeviceState& state = qdxhost::HostAccess::state(device);
    if (state.has_pending) {
        ++state.superseded;
    }
    Request& r = state.pending;
    r.function = function;
    r.address = address;
    r.count = count;
    if (values != nullptr) {
        std::memcpy(r.values, values, static_cast<std::size_t>(count) * sizeof(unsigned short));
    }
    state.has_pending = true;
    observer_of(&state).on_request(device, r);
    return 0;
}

bool valid_address(int address) {
    return address >= 0 && address <= 0xFFFF;
}

}  // namespace

int SPModbus::modbus_read_registers(int start, int count) {
    if (!valid_address(start) || count < 1 || count > qdxhost::kMaxReadRegisters ||
        start + count > 0x10000) {
        return -1;
    }
    return send_request(*this, Function::ReadHoldingRegisters, start, count, nullptr);
}

int SPModbus::modbus_read_input_bits(int start, int count) {
    if (!valid_address(start) || count < 1 || count > qdxhost::kMaxReadBits ||
        start + count > 0x10000) {
        return -1;
    }
    return send_request(*this, Function::ReadInputBits, start, count, nullptr);
}

int SPModbus::modbus_write_register(int address, int value) {
    if (!valid_address(address) || value < 0 || value > 0xFFFF) {
        return -1;
    }
    const auto word = static_cast<unsigned short>(value);
    return send_request(*this, Function::WriteSingleRegister, address, 1, &word);
}

int SPModbus::modbus_write_registers(int address, int count, const unsigned short* values) {
    if (!valid_address(address) || count < 1 || count > qdxhost::kMaxWriteRegisters ||
        address + count > 0x10000 || values == nullptr) {
        return -1;
    }
    return send_request(*this, Function::WriteMultipleRegisters, address, count, values);
}
