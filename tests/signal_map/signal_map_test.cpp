// The device's signal table held against the plant simulator's named model: every row's
// register, bit and kind must be where the plant model puts that signal.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "kv830_signals.h"
#include "plant_signal_map.h"

namespace {

using kv830::SignalKind;
using kv830::SignalRow;
using kv830::Unit;
using kv830test::PlantKind;
using kv830test::PlantSignal;

PlantKind plant_kind(SignalKind kind) {
    switch (kind) {
        case SignalKind::Bit:
            return PlantKind::Bit;
        case SignalKind::Value:
            return PlantKind::Value;
        case SignalKind::Enum:
            return PlantKind::Enum;
        case SignalKind::Input:
            return PlantKind::Input;
    }
    return PlantKind::Value;
}

bool same_text(const char* a, const char* b) {
    return a != nullptr && b != nullptr && std::strcmp(a, b) == 0;
}

// What is wrong with `rows` against the plant model, one line per fault. Rows of one key
// meet the model's entries of that key in order.
std::vector<std::string> disagreements(const std::vector<SignalRow>& rows) {
    const std::vector<PlantSignal>& plant = kv830test::plant_signal_map();
    std::vector<bool> used(plant.size(), false);
    std::vector<std::string> faults;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const SignalRow& row = rows[i];
        const std::string where = "row " + std::to_string(i) + " " + row.key + ": ";
        std::size_t match = plant.size();
        for (std::size_t p = 0; p < plant.size(); ++p) {
            if (!used[p] && plant[p].key == row.key) {
                match = p;
                break;
            }
        }
        if (match == plant.size()) {
            faults.push_back(where + "the plant model has no such signal");
            continue;
        }
        used[match] = true;
        const PlantSignal& want = plant[match];
        if (plant_kind(row.kind) != want.kind) {
            faults.push_back(where + "kind differs from the plant model");
        }
        if (row.source != want.source) {
            faults.push_back(where + "reads " + std::to_string(row.source) +
                             ", the plant model has it at " + std::to_string(want.source));
        }
        const int bit = row.kind == SignalKind::Bit ? want.bit : 0;
        if (row.bit != bit) {
            faults.push_back(where + "bit " + std::to_string(row.bit) + ", the plant model's " +
                             std::to_string(bit));
        }
        if (want.kind == PlantKind::Enum &&
            (!same_text(row.text0, want.text0) || !same_text(row.text1, want.text1))) {
            faults.push_back(where + "texts differ from the plant model's states");
        }
    }
    for (std::size_t p = 0; p < plant.size(); ++p) {
        if (!used[p]) {
            faults.push_back(plant[p].key + ": in the plant model, missing from the table");
        }
    }
    return faults;
}

std::vector<SignalRow> table() {
    return {kv830::kSignals, kv830::kSignals + kv830::kSignalCount};
}

std::size_t row_of(const std::vector<SignalRow>& rows, const char* key) {
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (std::strcmp(rows[i].key, key) == 0) {
            return i;
        }
    }
    return rows.size();
}

TEST(SignalMapTest, EveryRowSitsWhereThePlantModelPutsItsSignal) {
    const std::vector<std::string> faults = disagreements(table());
    for (const std::string& fault : faults) {
        ADD_FAILURE() << fault;
    }
    EXPECT_EQ(kv830test::plant_signal_map().size(), kv830::kSignalCount);
}

TEST(SignalMapTest, AWrongRowIsCaught) {
    struct Fault {
        const char* what;
        const char* key;
        void (*apply)(std::vector<SignalRow>& rows, std::size_t row);
    };
    const Fault faults[] = {
        {"register one too high",                    "室外温度",
         [](std::vector<SignalRow>& r, std::size_t i) { ++r[i].source; }                    },
        {"bit one too high",                         "DV6手自动",
         [](std::vector<SignalRow>& r, std::size_t i) { ++r[i].bit; }                       },
        {"bit of the neighbouring list entry",       "螺杆机故障",
         [](std::vector<SignalRow>& r, std::size_t i) { r[i].bit = 11; }                    },
        {"input one too high",                       "循环泵运行",
         [](std::vector<SignalRow>& r, std::size_t i) { ++r[i].source; }                    },
        {"a register read as a bit",                 "当前模式",
         [](std::vector<SignalRow>& r, std::size_t i) { r[i].kind = SignalKind::Bit; }      },
        {"an input read as a register",              "DV1开到位",
         [](std::vector<SignalRow>& r, std::size_t i) { r[i].kind = SignalKind::Value; }    },
        {"enumeration texts swapped",                "旁流水排污电机故障",
         [](std::vector<SignalRow>& r, std::size_t i) { std::swap(r[i].text0, r[i].text1); }},
        {"two keys swapped",                         "室外湿度",
         [](std::vector<SignalRow>& r, std::size_t i) { std::swap(r[i].key, r[i - 1].key); }},
        {"twice-named registers in the other order", "模式切换延时时间",
         [](std::vector<SignalRow>& r, std::size_t i) { std::swap(r[i], r[i + 1]); }        },
        {"a row left out",                           "蒸发冷电表总电能",
         [](std::vector<SignalRow>& r, std::size_t i) {
             r.erase(r.begin() + static_cast<std::ptrdiff_t>(i));
         }                                            },
    };
    for (const Fault& fault : faults) {
        SCOPED_TRACE(fault.what);
        std::vector<SignalRow> rows = table();
        const std::size_t row = row_of(rows, fault.key);
        ASSERT_LT(row, rows.size());
        fault.apply(rows, row);
        EXPECT_FALSE(disagreements(rows).empty());
    }
}

// --- units and settings -----------------------------------------------------------------

bool starts_with(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

bool contains(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

TEST(SignalUnitsTest, NamesOfAPartLandInItsUnit) {
    struct Rule {
        const char* prefix;
        Unit unit;
    };
    const Rule rules[] = {
        {"1#冷却塔",     Unit::CoolingTower1      },
        {"2#冷却塔",     Unit::CoolingTower2      },
        {"3#冷却塔",     Unit::CoolingTower3      },
        {"4#冷却塔",     Unit::CoolingTower4      },
        {"冷却塔",       Unit::CoolingTowers      },
        {"DV",              Unit::Valves             },
        {"蒸发冷电表", Unit::PowerMeter         },
        {"螺杆机",       Unit::ScrewChiller       },
        {"制冷机组",    Unit::ScrewChiller       },
        {"板换机组",    Unit::PlateExchanger     },
        {"室外",          Unit::Environment        },
        {"旁流水",       Unit::DosingAndBypass    },
        {"加药装置",    Unit::DosingAndBypass    },
        {"自循环",       Unit::SelfCirculatingPump},
        {"循环泵",       Unit::CirculatingPump    },
        {"补水",          Unit::MakeUpPump         },
        {"冷冻",          Unit::ChilledWater       },
        {"模式",          Unit::System             },
        {"系统",          Unit::System             },
    };
    for (std::size_t i = 0; i < kv830::kSignalCount; ++i) {
        const SignalRow& row = kv830::kSignals[i];
        SCOPED_TRACE(row.key);
        for (const Rule& rule : rules) {
            if (starts_with(row.key, rule.prefix)) {
                EXPECT_EQ(static_cast<int>(row.unit), static_cast<int>(rule.unit)) << rule.prefix;
                break;
            }
        }
    }
}

TEST(SignalUnitsTest, EveryUnitHasRowsAndAHeadingOfItsOwn) {
    std::vector<int> rows_per_unit(kv830::kUnitCount, 0);
    for (std::size_t i = 0; i < kv830::kSignalCount; ++i) {
        const auto unit = static_cast<std::size_t>(kv830::kSignals[i].unit);
        ASSERT_LT(unit, kv830::kUnitCount) << kv830::kSignals[i].key;
        ++rows_per_unit[unit];
    }
    std::set<std::string> headings;
    for (std::size_t u = 0; u < kv830::kUnitCount; ++u) {
        SCOPED_TRACE(u);
        EXPECT_GT(rows_per_unit[u], 0);
        const std::string heading = kv830::unit_heading(static_cast<Unit>(u));
        EXPECT_FALSE(heading.empty());
        EXPECT_TRUE(headings.insert(heading).second) << heading;
    }
    EXPECT_EQ(kv830::unit_heading(Unit::CoolingTower3), std::string("Cooling tower 3"));
    EXPECT_STREQ(kv830::unit_heading(static_cast<Unit>(kv830::kUnitCount)), "");
}

// An operator's setting is named as one: a setpoint (设定), a loop term, a limit, a delay
// or a level that starts or stops the make-up water. Readings, states and bits are not.
bool named_as_setting(const std::string& key) {
    const char* const parts[] = {"设定",     "比例", "积分",       "微分",      "频率下限",
                                 "频率上限", "延时", "补水泵液位", "补水阀液位"};
    for (const char* part : parts) {
        if (contains(key, part)) {
            return true;
        }
    }
    return false;
}

TEST(SignalUnitsTest, SettingsAreTheWritableRegistersNamedAsSuch) {
    int settings = 0;
    for (std::size_t i = 0; i < kv830::kSignalCount; ++i) {
        const SignalRow& row = kv830::kSignals[i];
        SCOPED_TRACE(row.key);
        const bool register_value = row.kind == SignalKind::Value || row.kind == SignalKind::Enum;
        if (row.setting) {
            ++settings;
            EXPECT_TRUE(register_value) << "a setting is a whole holding register";
        }
        EXPECT_EQ(row.setting, register_value && named_as_setting(row.key));
    }
    // 1, 3 to 8, 19 to 35, 61 to 66, 142 to 144 and 246 to 265: register 7 is named twice.
    EXPECT_EQ(settings, 1 + 6 + 17 + 6 + 3 + 20);
}

}  // namespace
