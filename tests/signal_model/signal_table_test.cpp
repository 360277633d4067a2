// The signal model's defaults walked whole: one row for every signal name the controller
// has; a simulated day of the plant within every reading's plausible range and every
// setting's default within the range a write may set; and the alarm marks exactly the bits
// the simulator raises as faults and limit alarms.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <tuple>

#include "kv830_signals.h"
#include "plant_model.h"
#include "plant_registers.h"
#include "signal_defaults.h"

namespace {

using kv830::SignalKind;
using kv830model::Alarm;
using kv830model::Quantity;
using kv830model::SignalDefault;

constexpr double kSimulatedSeconds = 86400.0;
constexpr double kSampleEvery = 60.0;

// The later row of every name, as the snapshot shows it.
std::map<std::string, const kv830::SignalRow*> signals_by_name() {
    std::map<std::string, const kv830::SignalRow*> rows;
    for (std::size_t i = 0; i < kv830::kSignalCount; ++i) {
        rows[kv830::kSignals[i].key] = &kv830::kSignals[i];
    }
    return rows;
}

// What a value's name says it measures: the first word found decides.
struct Meaning {
    const char* word;
    Quantity quantity;
};
const Meaning kMeanings[] = {
    {"百分比",     Quantity::Percentage   },
    {"低液位",     Quantity::State        },
    {"状态",        Quantity::State        },
    {"排污阀",     Quantity::State        },
    {"手动/自动", Quantity::Mode         },
    {"比例",        Quantity::Gain         },
    {"积分",        Quantity::Time         },
    {"微分",        Quantity::Time         },
    {"延时",        Quantity::Time         },
    {"温度",        Quantity::Temperature  },
    {"压力",        Quantity::Pressure     },
    {"频率",        Quantity::Frequency    },
    {"液位",        Quantity::Level        },
    {"湿度",        Quantity::Humidity     },
    {"电导率",     Quantity::Conductivity },
    {"PH",            Quantity::Ph           },
    {"浊度",        Quantity::Turbidity    },
    {"腐蚀率",     Quantity::CorrosionRate},
    {"示踪",        Quantity::Concentration},
    {"电压",        Quantity::Voltage      },
    {"电流",        Quantity::Current      },
    {"功率",        Quantity::Power        },
    {"电能",        Quantity::Energy       },
    {"模式",        Quantity::Mode         },
};

const char* name_of(Quantity q) {
    return kv830model::quantity_info(q).name;
}

double scaled(const SignalDefault& d, std::uint16_t counts) {
    return counts * d.scaling.scale + d.scaling.offset;
}

TEST(SignalTable, OneRowPerSignalNameMeasuringWhatItsNameSays) {
    const auto rows = signals_by_name();
    std::set<std::string> named;
    for (std::size_t i = 0; i < kv830model::kSignalDefaultCount; ++i) {
        const SignalDefault& d = kv830model::kSignalDefaults[i];
        SCOPED_TRACE(d.name);
        EXPECT_TRUE(named.insert(d.name).second) << "named twice";
        const auto found = rows.find(d.name);
        ASSERT_NE(found, rows.end()) << "not a signal of the controller";
        // Bits, inputs and enumerations keep their texts; a value measures what its name
        // says.
        if (found->second->kind != SignalKind::Value) {
            EXPECT_STREQ(name_of(d.scaling.quantity), "state");
            continue;
        }
        const Meaning* meaning = nullptr;
        for (const Meaning& m : kMeanings) {
            if (meaning == nullptr && std::string(d.name).find(m.word) != std::string::npos) {
                meaning = &m;
            }
        }
        ASSERT_NE(meaning, nullptr) << "the name says nothing the table knows";
        EXPECT_STREQ(name_of(d.scaling.quantity), name_of(meaning->quantity)) << meaning->word;
    }
    EXPECT_EQ(named.size(), rows.size());
}

TEST(SignalTable, PlantSimStaysWithinTheRanges) {
    const auto rows = signals_by_name();
    for (const std::uint32_t seed : {1U, 2U}) {
        plantsim::ModelConfig config;
        config.seed = seed;
        plantsim::PlantModel plant(config);
        std::map<std::string, std::string> outside;  // the first value out of range
        for (double t = 0.0; t <= kSimulatedSeconds; t += kSampleEvery) {
            for (std::size_t i = 0; i < kv830model::kSignalDefaultCount; ++i) {
                const SignalDefault& d = kv830model::kSignalDefaults[i];
                const kv830::SignalRow& row = *rows.at(d.name);
                if (row.kind != SignalKind::Value || (t > 0.0 && row.setting)) {
                    continue;
                }
                const double v = scaled(d, plant.holding()[row.source]);
                if ((v < d.min || v > d.max) && outside.count(d.name) == 0) {
                    outside[d.name] = std::to_string(v) + " at " + std::to_string(t) + " s";
                }
            }
            plant.advance(kSampleEvery);
        }
        for (const auto& [name, when] : outside) {
            ADD_FAILURE() << "seed " << seed << ": " << name << " reads " << when;
        }
    }
}

TEST(SignalTable, AlarmsAreTheSimulatorsFaultsAndLimitAlarms) {
    using Place = std::tuple<SignalKind, int, int>;  // kind, register or input, bit
    std::map<Place, Alarm> simulator;
    for (int v = 0; v < plantsim::kValveCount; ++v) {
        for (const plantsim::BitRef b :
             {plantsim::valve_open_fault_bit(v), plantsim::valve_close_fault_bit(v)}) {
            simulator[{SignalKind::Bit, b.reg, b.bit}] = Alarm::Fault;
        }
    }
    for (int p = 0; p < plantsim::kAlarmPairCount; ++p) {
        for (const plantsim::BitRef b : {plantsim::alarm_low_bit(p), plantsim::alarm_high_bit(p)}) {
            simulator[{SignalKind::Bit, b.reg, b.bit}] = Alarm::Alarm;
        }
    }
    simulator[{SignalKind::Bit, plantsim::reg::kChillerStatus, plantsim::reg::kBitChillerFault}] =
        Alarm::Fault;
    for (int d = 0; d < plantsim::kDriveCount; ++d) {
        for (const int which : {plantsim::input::kDriveFault, plantsim::input::kLineFault}) {
            simulator[{SignalKind::Input, plantsim::input::drive(d, which), 0}] = Alarm::Fault;
        }
    }
    simulator[{SignalKind::Enum, plantsim::reg::kSideStreamBlowdownFault, 0}] = Alarm::Fault;

    const auto rows = signals_by_name();
    std::map<Place, Alarm> table;
    for (std::size_t i = 0; i < kv830model::kSignalDefaultCount; ++i) {
        const SignalDefault& d = kv830model::kSignalDefaults[i];
        const kv830::SignalRow& row = *rows.at(d.name);
        if (d.alarm != Alarm::None) {
            table[{row.kind, row.source, row.bit}] = d.alarm;
        }
    }
    EXPECT_EQ(table, simulator);
    EXPECT_EQ(table.size(), 47U + 14U + 1U);  // register bits, discrete inputs, the enumeration
}

TEST(SignalTable, LimitsScaleLikeTheValuesTheySupervise) {
    std::map<int, const SignalDefault*> by_register;
    for (const auto& [name, row] : signals_by_name()) {
        if (row->kind == SignalKind::Value) {
            by_register[row->source] = kv830model::find_default(name);
        }
    }
    for (const plantsim::AlarmPair& pair : plantsim::kAlarmPairs) {
        const SignalDefault& value = *by_register.at(pair.value_reg);
        for (const int limit : {pair.low_reg, pair.low_reg + 1}) {
            const SignalDefault& l = *by_register.at(limit);
            SCOPED_TRACE(l.name);
            EXPECT_EQ(l.scaling.quantity, value.scaling.quantity);
            EXPECT_EQ(l.scaling.scale, value.scaling.scale);
            EXPECT_STREQ(l.scaling.unit_of_measurement, value.scaling.unit_of_measurement);
        }
    }
}

}  // namespace
