// The alarm state machine as one table: each row a short life of two alarms, A (the first
// fault of the signal model) and B (its first alarm), step by step with the events each
// step tells and the operator's list after it.
#include "alarm_machine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kv830host {
namespace {

enum class Op { Round, Fail, Ack, AckAll, Restart };

struct Step {
    std::int64_t t_s;
    Op op;
    std::string on;      // Round: the alarms on ("A", "AB", ""); Ack: the one acknowledged
    std::string events;  // "A raised, B cleared"; "refused" for an acknowledgement refused
    std::string list;    // "A:ak B:c": a active, c cleared, k acknowledged, h chattering
};

struct Row {
    const char* name;
    std::vector<Step> steps;
};

const std::vector<Row> kRows = {
    {"raise, acknowledge, clear",
     {{0, Op::Round, "", "", ""},
      {1, Op::Round, "A", "A raised", "A:a"},
      {2, Op::Ack, "A", "A acknowledged", "A:ak"},
      {3, Op::Round, "", "A cleared", ""}}                                  },
    {"cleared unacknowledged stays listed",
     {{1, Op::Round, "A", "A raised", "A:a"},
      {2, Op::Round, "", "A cleared", "A:c"},
      {3, Op::Ack, "B", "refused", "A:c"},
      {4, Op::Ack, "A", "A acknowledged", ""},
      {5, Op::Ack, "A", "refused", ""}}                                     },
    {"all of a device, faults first",
     {{1, Op::Round, "B", "B raised", "B:a"},
      {2, Op::Round, "AB", "A raised", "A:a B:a"},
      {3, Op::AckAll, "", "A acknowledged, B acknowledged", "A:ak B:ak"}}   },
    {"chattering: summarised, then quiet",
     {{0, Op::Round, "", "", ""},
      {10, Op::Round, "A", "A raised", "A:a"},
      {20, Op::Round, "", "A cleared", "A:c"},
      {30, Op::Round, "A", "A raised", "A:a"},
      {40, Op::Round, "", "A cleared", "A:c"},
      {50, Op::Round, "A", "A raised", "A:a"},
      {60, Op::Round, "", "A chattering", "A:ch"},
      {70, Op::Round, "A", "", "A:ah"},
      {80, Op::Round, "", "", "A:ch"},
      {90, Op::Round, "A", "", "A:ah"},
      {600, Op::Round, "A", "", "A:ah"},
      {691, Op::Round, "A", "A raised", "A:a"}}                             },
    {"link loss: nothing raised or cleared, then communication lost",
     {{0, Op::Round, "A", "A raised", "A:a"},
      {10, Op::Fail, "", "", "A:a"},
      {60, Op::Fail, "", "", "A:a"},
      {61, Op::Fail, "", "L raised", "L:a A:a"},
      {90, Op::Fail, "", "", "L:a A:a"},
      {95, Op::Round, "B", "L cleared, A cleared, B raised", "B:a L:c A:c"}}},
    {"restart: rebuilt from the journal, not raised again",
     {{1, Op::Round, "AB", "A raised, B raised", "A:a B:a"},
      {2, Op::Ack, "B", "B acknowledged", "A:a B:ak"},
      {3, Op::Restart, "", "", "A:a B:ak"},
      {4, Op::Round, "AB", "", "A:a B:ak"},
      {5, Op::Round, "B", "A cleared", "B:ak A:c"}}                         },
    {"restart while the link was lost",
     {{0, Op::Fail, "", "", ""},
      {61, Op::Fail, "", "L raised", "L:a"},
      {62, Op::Restart, "", "", "L:a"},
      {63, Op::Round, "", "L cleared", "L:c"}}                              },
};

std::string letter_of(const std::string& signal, const std::vector<std::string>& names) {
    if (signal == names[0]) {
        return "A";
    }
    if (signal == names[1]) {
        return "B";
    }
    return signal == kCommLostSignal ? "L" : "?" + signal;
}

std::string describe(const std::vector<AlarmEvent>& events, const std::vector<std::string>& names) {
    std::string out;
    for (const AlarmEvent& e : events) {
        out += (out.empty() ? "" : ", ") + letter_of(e.signal, names) + " " +
               alarm_state_name(e.state);
    }
    return out;
}

std::string describe(const std::vector<ListedAlarm>& list, const std::vector<std::string>& names) {
    std::string out;
    for (const ListedAlarm& a : list) {
        out += (out.empty() ? "" : " ") + letter_of(a.signal, names) + ":" +
               (a.active ? "a" : "c") + (a.acknowledged ? "k" : "") + (a.chattering ? "h" : "");
    }
    return out;
}

TEST(AlarmMachineTest, Table) {
    SignalModel model;
    std::vector<std::string> names(2);  // the first fault, the first alarm
    for (const SignalTraits& traits : model.signals()) {
        std::string& slot = names[traits.alarm == kv830model::Alarm::Fault ? 0 : 1];
        if (traits.alarm != kv830model::Alarm::None && slot.empty()) {
            slot = traits.row->key;
        }
    }
    ASSERT_FALSE(names[0].empty());
    ASSERT_FALSE(names[1].empty());
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.name);
        AlarmMachine machine(1, model, AlarmLimits());
        std::vector<AlarmEvent> journal;
        for (const Step& step : row.steps) {
            SCOPED_TRACE("at " + std::to_string(step.t_s) + " s");
            const std::int64_t now = step.t_s * 1000;
            std::vector<AlarmEvent> events;
            std::string told;
            if (step.op == Op::Round) {
                std::vector<bool> bits(machine.bit_names().size());
                for (std::size_t i = 0; i < bits.size(); ++i) {
                    bits[i] = (machine.bit_names()[i] == names[0] &&
                               step.on.find('A') != std::string::npos) ||
                              (machine.bit_names()[i] == names[1] &&
                               step.on.find('B') != std::string::npos);
                }
                machine.observe(now, &bits, events);
            } else if (step.op == Op::Fail) {
                machine.observe(now, nullptr, events);
            } else if (step.op == Op::Restart) {
                machine = AlarmMachine(1, model, AlarmLimits());
                for (const AlarmEvent& e : journal) {
                    machine.restore(e);
                }
            } else {
                std::string error;
                const std::string& signal = names[step.on == "B" ? 1 : 0];
                if (!machine.acknowledge(signal, step.op == Op::AckAll, "test", now, events,
                                         error)) {
                    EXPECT_FALSE(error.empty());
                    told = "refused";
                }
            }
            if (told.empty()) {
                told = describe(events, names);
            }
            for (const AlarmEvent& e : events) {
                EXPECT_EQ(e.unix_ms, now);
                EXPECT_EQ(e.by, e.state == AlarmState::Acknowledged ? "test" : "");
            }
            journal.insert(journal.end(), events.begin(), events.end());
            EXPECT_EQ(told, step.events);
            EXPECT_EQ(describe(machine.list(), names), step.list);
        }
    }
}

}  // namespace
}  // namespace kv830host
