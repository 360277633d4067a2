// Register writes asked for from outside the process (MQTT, HTTP, the Modbus server, any
// remote path added later) and their outcomes. Every one of them goes through the one rule
// of write_policy.h before anything reaches a controller.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kv830host {

struct WriteCommand {
    unsigned data_id = 0;
    int address = 0;
    std::vector<std::uint16_t> values;  // one value: request 206; several: request 210
};

// A write as it arrived from outside, before the rule has looked at it.
struct RemoteWrite {
    WriteCommand command;
    bool has_data_id = false;  // without one, the program's only device
    std::string command_id;    // optional; a command acts at most once
    // Who asked, for the audit line: "mqtt", "http 192.0.2.7", "modbus 192.0.2.7:50122".
    std::string source;
    bool retained = false;  // an MQTT message the broker kept from before: never acted on
};

// Why the rule refused a write before anything was sent.
enum class WriteRefusal : std::uint8_t {
    None,
    Malformed,      // the command could not be read
    UnknownDevice,  // no device with that data id
    Address,        // a register that is not an operator's setting, or too many
    Value,          // a value outside the setting's range
    Repeated,       // a command id already carried out
    Retained,       // a retained MQTT message
    Busy,           // too many writes waiting for the controller
};

struct WriteOutcome {
    enum class Kind {
        Confirmed,     // "confirmed"
        NotConfirmed,  // "not confirmed": the echo differs from what was asked
        NoReply,       // "no reply"
        Garbled,       // "reply garbled, outcome unknown"
        Refused,       // "refused": by the rule before sending, or by the controller
    };
    Kind kind = Kind::NoReply;
    std::string reason;    // for Refused: why ("exception 2", "register 100 is not ...")
    bool retried = false;  // sent more than once because no reply came
    WriteRefusal refusal = WriteRefusal::None;  // set when the rule refused
    int exception = 0;                          // the controller's exception code, when it refused
};

inline const char* write_outcome_text(WriteOutcome::Kind kind) {
    switch (kind) {
        case WriteOutcome::Kind::Confirmed:
            return "confirmed";
        case WriteOutcome::Kind::NotConfirmed:
            return "not confirmed";
        case WriteOutcome::Kind::NoReply:
            return "no reply";
        case WriteOutcome::Kind::Garbled:
            return "reply garbled, outcome unknown";
        case WriteOutcome::Kind::Refused:
            return "refused";
    }
    return "refused";
}

// A refusal by the rule, with the reason the client is told.
WriteOutcome refused_outcome(WriteRefusal refusal, std::string reason);

// "confirmed", "refused (exception 2)", "no reply, sent again after no reply", ...
std::string describe_write_outcome(const WriteOutcome& outcome);

// Runs once the outcome is known: at once on the asking thread when the rule refuses, else
// on the polling thread of the device's line, so it must only copy and hand on.
using WriteDone = std::function<void(const WriteOutcome&)>;

// What outputs hand remote writes to (the program's write policy).
class RemoteWrites {
  public:
    virtual ~RemoteWrites() = default;
    virtual void submit(RemoteWrite write, WriteDone done) = 0;
    // A write its path refused before the rule saw it (malformed, or for another device
    // than its topic's): answered and audited like the rule's own refusals.
    virtual void refuse(const RemoteWrite& write, WriteRefusal refusal, const std::string& reason,
                        const WriteDone& done) = 0;
};

}  // namespace kv830host
