// The one rule for every register write that comes from outside the process (MQTT, HTTP,
// the Modbus server, any remote path added later). The person at the gateway's console
// (--write) is not bound by it: they may write any register.
//
// A remote write goes ahead only when
// - its device is one this program polls (a data id is needed with several devices);
// - it arrived live: a retained MQTT message is old news and never acted on;
// - its command id, when it carries one, was not carried out before (the last
//   WritePolicyLimits::remembered_ids ids are kept, in memory only);
// - every register it writes is one the signal table marks as an operator's setting, each
//   value within that setting's range where one is known;
// - the device has room for it (a few writes waiting at most).
// Every remote write leaves one audit line on the status stream, refused or not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "remote_write.h"
#include "signal_model.h"
#include "status_lines.h"

namespace kv830host {

// The registers of one device that a remote write may set, with their ranges in register
// counts where known.
class WritableRegisters {
  public:
    // Every holding register the signal table marks as an operator's setting; no ranges.
    static WritableRegisters settings_of_signal_table();
    // The same, each value within its setting's range in the device's signal model (the
    // model must outlive the registers).
    static WritableRegisters settings_of(const SignalModel& model);

    // Bounds register `address` to [min_raw, max_raw]; `shown` is the range as the refusal
    // names it ("4 to 15 °C").
    void set_range(int address, std::uint16_t min_raw, std::uint16_t max_raw, std::string shown);

    bool writable(int address) const;
    // False with `why` when the value lies outside the register's known range.
    bool value_fits(int address, std::uint16_t raw, std::string& why) const;

  private:
    struct Range {
        std::uint16_t min_raw;
        std::uint16_t max_raw;
        std::string shown;
    };
    std::vector<int> settings_;  // sorted
    std::map<int, Range> ranges_;
    const SignalModel* model_ = nullptr;
};

struct WritePolicyLimits {
    std::size_t remembered_ids = 1000;
    std::size_t waiting_per_device = 8;
};

struct WritePolicyCounters {
    unsigned long long accepted = 0;
    unsigned long long refused = 0;
};

class WritePolicy : public RemoteWrites {
  public:
    struct Device {
        unsigned data_id = 0;
        WritableRegisters registers;
    };
    // Hands a write that passed the rule to its device's line; `done` runs there.
    using Dispatch = std::function<void(const WriteCommand&, WriteDone)>;

    WritePolicy(std::vector<Device> devices, StatusSink& audit, Dispatch dispatch,
                const WritePolicyLimits& limits = WritePolicyLimits());

    // Thread-safe. `done` runs exactly once: at once on this thread for a refusal, else on
    // the device's polling thread once the controller answered (or did not).
    void submit(RemoteWrite write, WriteDone done) override;
    void refuse(const RemoteWrite& write, WriteRefusal refusal, const std::string& reason,
                const WriteDone& done) override;

    WritePolicyCounters counters() const;

    // The at-most-once part of the rule for a command that writes no register (an alarm's
    // acknowledgement): a retained message and a command id carried out before are refused,
    // and with `remember` the id of one let through is remembered like a write's.
    bool admit_once(const RemoteWrite& command, bool remember, WriteOutcome& refusal);

  private:
    const Device* find_device(const RemoteWrite& write, WriteOutcome& refusal) const;
    bool check_registers(const Device& device, const WriteCommand& command,
                         WriteOutcome& refusal) const;
    void audit(const RemoteWrite& write, const WriteOutcome& outcome);
    bool repeated_locked(const std::string& command_id) const;
    void remember_locked(const std::string& command_id);

    const std::vector<Device> devices_;
    StatusSink& audit_;
    const Dispatch dispatch_;
    const WritePolicyLimits limits_;
    mutable std::mutex mutex_;
    std::deque<std::string> ids_;  // oldest first
    std::unordered_set<std::string> id_set_;
    std::map<unsigned, std::size_t> waiting_;  // per data id
    WritePolicyCounters counters_;
};

// "write from mqtt: data id 1, register 19, values [55]: confirmed"
std::string write_audit_line(const RemoteWrite& write, const WriteOutcome& outcome);

}  // namespace kv830host
