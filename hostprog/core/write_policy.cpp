#include "write_policy.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "kv830_signals.h"

namespace kv830host {

namespace {}  // namespace

WritableRegisters WritableRegisters::settings_of_signal_table() {
    WritableRegisters w;
    for (std::size_t i = 0; i < kv830::kSignalCount; ++i) {
        const kv830::SignalRow& row = kv830::kSignals[i];
        if (row.setting && row.kind != kv830::SignalKind::Input) {
            w.settings_.push_back(row.source);
        }
    }
    std::sort(w.settings_.begin(), w.settings_.end());
    w.settings_.erase(std::unique(w.settings_.begin(), w.settings_.end()), w.settings_.end());
    return w;
}

WritableRegisters WritableRegisters::settings_of(const SignalModel& model) {
    WritableRegisters w = settings_of_signal_table();
    w.model_ = &model;
    return w;
}

void WritableRegisters::set_range(int address, std::uint16_t min_raw, std::uint16_t max_raw,
                                  std::string shown) {
    ranges_[address] = Range{min_raw, max_raw, std::move(shown)};
}

bool WritableRegisters::writable(int address) const {
    return std::binary_search(settings_.begin(), settings_.end(), address);
}

bool WritableRegisters::value_fits(int address, std::uint16_t raw, std::string& why) const {
    // Ranges are in engineering units, commands in register counts: the model scales the
    // value before it compares.
    const SignalTraits* traits = model_ != nullptr ? model_->find_register(address) : nullptr;
    if (traits != nullptr && !check_setting_value(*traits, raw, why)) {
        why = "register " + std::to_string(address) + ", " + why;
        return false;
    }
    const auto it = ranges_.find(address);
    if (it == ranges_.end() || (raw >= it->second.min_raw && raw <= it->second.max_raw)) {
        return true;
    }
    why = "value " + std::to_string(raw) + " for register " + std::to_string(address) +
          " is outside its range (" + it->second.shown + ")";
    return false;
}

WritePolicy::WritePolicy(std::vector<Device> devices, StatusSink& audit, Dispatch dispatch,
                         const WritePolicyLimits& limits)
    : devices_(std::move(devices)),
      audit_(audit),
      dispatch_(std::move(dispatch)),
      limits_(limits) {}

const WritePolicy::Device* WritePolicy::find_device(const RemoteWrite& write,
                                                    WriteOutcome& refusal) const {
    if (!write.has_data_id) {
        if (devices_.size() == 1) {
            return &devices_.front();
        }
        refusal =
            refused_outcome(WriteRefusal::UnknownDevice, "data_id is needed with several devices");
        return nullptr;
    }
    for (const Device& d : devices_) {
        if (d.data_id == write.command.data_id) {
            return &d;
        }
    }
    refusal = refused_outcome(WriteRefusal::UnknownDevice,
                              "no device with data id " + std::to_string(write.command.data_id));
    return nullptr;
}

bool WritePolicy::check_registers(const Device& device, const WriteCommand& command,
                                  WriteOutcome& refusal) const {
    if (command.values.empty() ||
        command.values.size() > static_cast<std::size_t>(kv830::kMaxWriteRegisters) ||
        command.address < 0 ||
        static_cast<long long>(command.address) + static_cast<long long>(command.values.size()) >
            kv830::kRegisterSpace) {
        refusal = refused_outcome(WriteRefusal::Address, "registers out of range");
        return false;
    }
    for (std::size_t i = 0; i < command.values.size(); ++i) {
        const int address = command.address + static_cast<int>(i);
        if (!device.registers.writable(address)) {
            refusal = refused_outcome(WriteRefusal::Address, "register " + std::to_string(address) +
                                                                 " is not an operator's setting");
            return false;
        }
    }
    for (std::size_t i = 0; i < command.values.size(); ++i) {
        std::string why;
        if (!device.registers.value_fits(command.address + static_cast<int>(i), command.values[i],
                                         why)) {
            refusal = refused_outcome(WriteRefusal::Value, why);
            return false;
        }
    }
    return true;
}

void WritePolicy::audit(const RemoteWrite& write, const WriteOutcome& outcome) {
    audit_.write_line("", write_audit_line(write, outcome) + "\n");
}

void WritePolicy::submit(RemoteWrite write, WriteDone done) {
    WriteOutcome refusal;
    const Device* device = nullptr;
    if (write.retained) {
        refusal = refused_outcome(WriteRefusal::Retained,
                                  "a retained message is not a live command; nothing was sent");
    } else {
        device = find_device(write, refusal);
    }
    if (device != nullptr && !check_registers(*device, write.command, refusal)) {
        device = nullptr;
    }
    if (device != nullptr) {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (repeated_locked(write.command_id)) {
            refusal = refused_outcome(WriteRefusal::Repeated, "command_id \"" + write.command_id +
                                                                  "\" was carried out before");
            device = nullptr;
        } else if (waiting_[device->data_id] >= limits_.waiting_per_device) {
            refusal =
                refused_outcome(WriteRefusal::Busy, "too many writes waiting for the controller");
            device = nullptr;
        } else {
            remember_locked(write.command_id);
            ++waiting_[device->data_id];
            ++counters_.accepted;
        }
    }
    if (device == nullptr) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            ++counters_.refused;
        }
        audit(write, refusal);
        if (done) {
            done(refusal);
        }
        return;
    }
    WriteCommand command = write.command;
    command.data_id = device->data_id;
    write.command.data_id = device->data_id;
    write.has_data_id = true;
    auto shared_write = std::make_shared<const RemoteWrite>(std::move(write));
    dispatch_(command, [this, shared_write, done = std::move(done)](const WriteOutcome& outcome) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            std::size_t& waiting = waiting_[shared_write->command.data_id];
            waiting = waiting > 0 ? waiting - 1 : 0;
        }
        audit(*shared_write, outcome);
        if (done) {
            done(outcome);
        }
    });
}

void WritePolicy::refuse(const RemoteWrite& write, WriteRefusal refusal, const std::string& reason,
                         const WriteDone& done) {
    const WriteOutcome outcome = refused_outcome(refusal, reason);
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++counters_.refused;
    }
    audit(write, outcome);
    if (done) {
        done(outcome);
    }
}

bool WritePolicy::repeated_locked(const std::string& command_id) const {
    return !command_id.empty() && id_set_.count(command_id) != 0;
}

void WritePolicy::remember_locked(const std::string& command_id) {
    if (command_id.empty()) {
        return;
    }
    id_set_.insert(command_id);
    ids_.push_back(command_id);
    if (ids_.size() > limits_.remembered_ids) {
        id_set_.erase(ids_.front());
        ids_.pop_front();
    }
}

bool WritePolicy::admit_once(const RemoteWrite& command, bool remember, WriteOutcome& refusal) {
    if (command.retained) {
        refusal = refused_outcome(WriteRefusal::Retained,
                                  "a retained message is not a live command; nothing was done");
        return false;
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    if (repeated_locked(command.command_id)) {
        refusal = refused_outcome(WriteRefusal::Repeated, "command_id \"" + command.command_id +
                                                              "\" was carried out before");
        return false;
    }
    if (remember) {
        remember_locked(command.command_id);
    }
    return true;
}

WritePolicyCounters WritePolicy::counters() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return counters_;
}

std::string write_audit_line(const RemoteWrite& write, const WriteOutcome& outcome) {
    std::string line =
        "write from " + (write.source.empty() ? std::string("?") : write.source) + ": data id ";
    line += write.has_data_id ? std::to_string(write.command.data_id) : std::string("-");
    line += ", register ";
    line += write.command.address >= 0 ? std::to_string(write.command.address) : std::string("-");
    line += ", values [";
    for (std::size_t i = 0; i < write.command.values.size(); ++i) {
        line += (i == 0 ? "" : ",") + std::to_string(write.command.values[i]);
    }
    line += "]";
    if (!write.command_id.empty()) {
        line += ", command_id " + write.command_id;
    }
    line += ": ";
    line += describe_write_outcome(outcome);
    return line;
}

}  // namespace kv830host
