// The simulated plant: writes reach the image, alarm bits agree with values and limits,
// drives and valves show inputs a real plant would. Time is simulated: nothing sleeps.
#include "plant_model.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "plant_registers.h"

namespace plantsim {
namespace {

ModelConfig running_plant(std::uint32_t seed = 1) {
    ModelConfig c;
    c.seed = seed;
    c.faults_per_hour = 0.0;  // faults would make the expectations below a matter of luck
    return c;
}

ModelConfig frozen_plant(std::uint32_t seed = 1) {
    ModelConfig c = running_plant(seed);
    c.frozen = true;
    return c;
}

std::uint16_t at(const PlantModel& m, int r) {
    return m.holding()[static_cast<std::size_t>(r)];
}
bool input_at(const PlantModel& m, int i) {
    return m.inputs()[static_cast<std::size_t>(i)] != 0;
}
bool bit_at(const PlantModel& m, BitRef b) {
    return bit_of(at(m, b.reg), b.bit);
}

void write1(PlantModel& m, int r, std::uint16_t v) {
    m.write(r, &v, 1);
}
void write_bit(PlantModel& m, BitRef b, bool on) {
    write1(m, b.reg, with_bit(at(m, b.reg), b.bit, on));
}

// Every limit alarm bit says exactly whether its value is beyond its limit.
void expect_alarms_consistent(const PlantModel& m) {
    for (int p = 0; p < kAlarmPairCount; ++p) {
        const AlarmPair& a = kAlarmPairs[p];
        SCOPED_TRACE("value register " + std::to_string(a.value_reg));
        EXPECT_EQ(bit_at(m, alarm_low_bit(p)), at(m, a.value_reg) < at(m, a.low_reg));
        EXPECT_EQ(bit_at(m, alarm_high_bit(p)), at(m, a.value_reg) > at(m, a.low_reg + 1));
    }
}

void expect_inputs_consistent(const PlantModel& m) {
    for (int d = 0; d < kDriveCount; ++d) {
        SCOPED_TRACE("drive " + std::to_string(d));
        const bool running = input_at(m, input::drive(d, input::kRunning));
        EXPECT_EQ(input_at(m, input::drive(d, input::kOnDrive)), running);
        EXPECT_FALSE(input_at(m, input::drive(d, input::kOnLine)));
        EXPECT_TRUE(input_at(m, input::drive(d, input::kRemote)));
        if (running) {
            EXPECT_GT(at(m, reg::kFreqFeedback + d), 0);
            EXPECT_FALSE(input_at(m, input::drive(d, input::kDriveFault)));
        } else {
            EXPECT_EQ(at(m, reg::kFreqFeedback + d), 0);
        }
    }
    for (int v = 0; v < kValveCount; ++v) {
        SCOPED_TRACE("valve DV" + std::to_string(v + 1));
        EXPECT_FALSE(input_at(m, input::valve_open(v)) && input_at(m, input::valve_closed(v)));
    }
    for (int i = 75; i < kInputCount; ++i) {
        EXPECT_FALSE(input_at(m, i)) << "input " << i << " has no signal behind it";
    }
}

TEST(PlantModel, AlarmBitFollowsLimitWrites) {
    struct Row {
        const char* what;
        int pair;
        std::uint16_t value, low, high;
        bool low_alarm, high_alarm;
    };
    // clang-format off
    const Row rows[] = {
        {"outdoor temperature below its low limit", 3, 50,  100, 400, true,  false},
        {"outdoor temperature on its low limit",    3, 100, 100, 400, false, false},
        {"outdoor temperature above its high limit", 3, 401, 100, 400, false, true},
        {"outdoor temperature on its high limit",   3, 400, 100, 400, false, false},
        {"chiller condenser inlet too cold",        0, 120, 150, 370, true,  false},
        {"basin level too high",                    1, 750, 150, 700, false, true},
        {"humidity in range",                       2, 600, 200, 950, false, false},
        {"return pressure too low",                 4, 90,  100, 400, true,  false},
        {"supply pressure too high",                5, 650, 120, 600, false, true},
        {"plate condenser inlet too hot",           6, 380, 50,  370, false, true},
        {"return temperature too low",              7, 70,  80,  180, true,  false},
        {"supply temperature too high",             8, 160, 40,  150, false, true},
        {"tank level too low",                      9, 250, 300, 1900, true, false},
        {"limits crossed: both alarms",             9, 500, 600, 400, true,  true},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        PlantModel m(frozen_plant());
        const AlarmPair& a = kAlarmPairs[row.pair];
        write1(m, a.value_reg, row.value);
        const std::uint16_t limits[2] = {row.low, row.high};
        m.write(a.low_reg, limits, 2);
        EXPECT_EQ(bit_at(m, alarm_low_bit(row.pair)), row.low_alarm);
        EXPECT_EQ(bit_at(m, alarm_high_bit(row.pair)), row.high_alarm);
        expect_alarms_consistent(m);
    }
}

TEST(PlantModel, OutdoorLowAlarmIsBit8OfRegister245) {
    PlantModel m(frozen_plant());
    write1(m, reg::kOutdoorTemp, 30);
    write1(m, 252, 31);
    EXPECT_TRUE(bit_of(at(m, 245), 8));
    write1(m, 252, 30);
    EXPECT_FALSE(bit_of(at(m, 245), 8));
}

TEST(PlantModel, AlarmsAndInputsStayConsistentWhileRunning) {
    for (std::uint32_t seed : {1U, 2U, 3U, 42U}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        PlantModel m(running_plant(seed));
        // Narrow limits, so that some alarms come and go during the run.
        const std::uint16_t limits[] = {280, 320, 300, 400, 500, 700, 240, 270, 150, 200};
        m.write(246, limits, 10);
        for (int s = 0; s < 1800; ++s) {
            m.advance(1.0);
            if (s % 60 == 0) {
                expect_alarms_consistent(m);
                expect_inputs_consistent(m);
            }
            if (::testing::Test::HasFailure()) {
                return;
            }
        }
    }
}

TEST(PlantModel, WritesAreReflectedInTheImage) {
    struct Row {
        const char* what;
        int first;
        std::vector<std::uint16_t> values;
    };
    const Row rows[] = {
        {"supply temperature setpoint",    19,                {65}                },
        {"tower manual frequencies",       23,                {300, 310, 320, 330}},
        {"a register in a gap of the map", 14,                {4321}              },
        {"limit setpoints",                246,               {1, 2, 3, 4, 5, 6}  },
        {"last register",                  285,               {65535}             },
        {"a measured value",               reg::kOutdoorTemp, {123}               },
    };
    for (bool frozen : {true, false}) {
        for (const Row& row : rows) {
            SCOPED_TRACE(std::string(row.what) + (frozen ? ", frozen" : ", running"));
            PlantModel m(frozen ? frozen_plant() : running_plant());
            m.write(row.first, row.values.data(), static_cast<int>(row.values.size()));
            for (std::size_t i = 0; i < row.values.size(); ++i) {
                EXPECT_EQ(at(m, row.first + static_cast<int>(i)), row.values[i]);
            }
        }
    }
}

TEST(PlantModel, FrozenPlantChangesOnlyByWrites) {
    PlantModel m(frozen_plant(7));
    const PlantModel::Holding before = m.holding();
    const PlantModel::Inputs inputs_before = m.inputs();
    m.advance(3600.0);
    EXPECT_EQ(m.holding(), before);
    EXPECT_EQ(m.inputs(), inputs_before);

    write1(m, 61, 11);
    PlantModel::Holding expected = before;
    expected[61] = 11;
    EXPECT_EQ(m.holding(), expected);
    EXPECT_EQ(m.inputs(), inputs_before);
}

TEST(PlantModel, SameSeedGivesTheSameImage) {
    PlantModel a(running_plant(5));
    PlantModel b(running_plant(5));
    PlantModel c(running_plant(6));
    EXPECT_EQ(a.holding(), b.holding());
    EXPECT_NE(a.holding(), c.holding());
    a.advance(100.0);
    b.advance(100.0);
    EXPECT_EQ(a.holding(), b.holding());
    EXPECT_EQ(a.inputs(), b.inputs());
}

TEST(PlantModel, RunningPlantEvolves) {
    PlantModel m(running_plant());
    const PlantModel::Holding before = m.holding();
    m.advance(30.0);
    int changed = 0;
    for (int r : {reg::kOutdoorTemp, reg::kChilledSupplyTemp, reg::kChilledReturnTemp,
                  reg::kSupplyPressure, reg::kBasinLevel, reg::kConductivity, reg::kTotalPower}) {
        changed += at(m, r) != before[static_cast<std::size_t>(r)] ? 1 : 0;
    }
    EXPECT_GE(changed, 4);
}

TEST(PlantModel, ValveTravelsAndNeverShowsBothEnds) {
    for (int v : {0, 2, 7, 12}) {
        SCOPED_TRACE("valve DV" + std::to_string(v + 1));
        PlantModel m(running_plant());
        write_bit(m, valve_auto_bit(v), false);
        write_bit(m, valve_open_bit(v), false);
        for (int s = 0; s < 100; ++s) {
            m.advance(1.0);
        }
        ASSERT_TRUE(input_at(m, input::valve_closed(v)));
        ASSERT_FALSE(input_at(m, input::valve_open(v)));

        const double travel = m.valve_travel_seconds(v);
        write_bit(m, valve_open_bit(v), true);
        double opened_after = -1.0;
        for (int s = 1; s <= 200 && opened_after < 0; ++s) {
            m.advance(1.0);
            const bool open = input_at(m, input::valve_open(v));
            const bool closed = input_at(m, input::valve_closed(v));
            EXPECT_FALSE(open && closed) << "after " << s << " s";
            EXPECT_FALSE(closed) << "still closed after " << s << " s";
            if (open) {
                opened_after = s;
            }
        }
        EXPECT_GE(opened_after, travel - 1.0);
        EXPECT_LE(opened_after, travel + 1.0);
        EXPECT_FALSE(bit_at(m, valve_open_fault_bit(v)));

        write_bit(m, valve_open_bit(v), false);
        m.advance(1.0);
        EXPECT_FALSE(input_at(m, input::valve_open(v)));
        EXPECT_FALSE(input_at(m, input::valve_closed(v)));
        for (int s = 0; s < 100; ++s) {
            m.advance(1.0);
        }
        EXPECT_TRUE(input_at(m, input::valve_closed(v)));
    }
}

TEST(PlantModel, ValveFaultBitsLatchUntilReset) {
    struct Row {
        const char* what;
        bool reset_by_drain_bit;
    };
    const Row rows[] = {
        {"reset by the drain-valve reset command", true },
        {"acknowledged by writing the fault bits", false}
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        PlantModel m(running_plant());
        write_bit(m, valve_close_fault_bit(10), true);
        m.advance(5.0);
        EXPECT_TRUE(bit_at(m, valve_close_fault_bit(10)));
        if (row.reset_by_drain_bit) {
            write_bit(m, BitRef{reg::kCommand, reg::kBitDrainValveReset}, true);
        } else {
            write_bit(m, valve_close_fault_bit(10), false);
        }
        m.advance(1.0);
        EXPECT_FALSE(bit_at(m, valve_close_fault_bit(10)));
        EXPECT_FALSE(bit_of(at(m, reg::kCommand), reg::kBitDrainValveReset));
    }
}

TEST(PlantModel, ManualTowerCommandsDriveTheFan) {
    PlantModel m(running_plant());
    const int t = kTower1;
    write_bit(m, drive_auto_bit(t), false);
    write_bit(m, drive_start_bit(t), false);
    m.advance(1.0);
    EXPECT_FALSE(input_at(m, input::drive(t, input::kRunning)));
    EXPECT_EQ(at(m, reg::kFreqFeedback + t), 0);

    // Manual start at a manual frequency: the feedback settles on the setpoint.
    write_bit(m, BitRef{reg::kCommand, reg::kBitTowerFreqAuto + t}, false);
    write1(m, reg::kTowerManualFreq + t, 420);
    write_bit(m, drive_start_bit(t), true);
    m.advance(1.0);
    EXPECT_TRUE(input_at(m, input::drive(t, input::kRunning)));
    EXPECT_TRUE(input_at(m, input::drive(t, input::kOnDrive)));
    EXPECT_GT(at(m, reg::kFreqFeedback + t), 0);
    m.advance(60.0);
    EXPECT_NEAR(at(m, reg::kFreqFeedback + t), 420, 5);

    // A setpoint above the upper frequency limit is held at the limit.
    write1(m, reg::kTowerManualFreq + t, 600);
    m.advance(60.0);
    EXPECT_NEAR(at(m, reg::kFreqFeedback + t), at(m, reg::kTowerFreqHigh), 5);
}

TEST(PlantModel, SystemStopStopsEveryAutomaticDrive) {
    PlantModel m(running_plant());
    write_bit(m, BitRef{reg::kCommand, reg::kBitSystemStart}, false);
    m.advance(2.0);
    EXPECT_EQ(at(m, reg::kCurrentMode), 0);
    for (int d = 0; d < kDriveCount; ++d) {
        SCOPED_TRACE("drive " + std::to_string(d));
        EXPECT_FALSE(input_at(m, input::drive(d, input::kRunning)));
    }
    EXPECT_FALSE(bit_of(at(m, reg::kChillerStatus), reg::kBitChillerRunning));
    expect_inputs_consistent(m);
}

TEST(PlantModel, ManualModeFollowsTheModeSetting) {
    struct Row {
        std::uint16_t setting;
        bool chiller;
    };
    const Row rows[] = {
        {1, false},
        {2, true },
        {3, true },
        {4, true }
    };
    for (const Row& row : rows) {
        SCOPED_TRACE("mode " + std::to_string(row.setting));
        PlantModel m(running_plant());
        write_bit(m, BitRef{reg::kCommand, reg::kBitModeAuto}, false);
        write1(m, reg::kManualMode, row.setting);
        m.advance(120.0);
        EXPECT_EQ(at(m, reg::kCurrentMode), row.setting);
        EXPECT_EQ(bit_of(at(m, reg::kChillerStatus), reg::kBitChillerRunning), row.chiller);
        // DV2 leads the chiller's water, DV6 the plate exchanger's.
        EXPECT_EQ(input_at(m, input::valve_open(1)), row.chiller);
        EXPECT_EQ(input_at(m, input::valve_open(5)), row.setting <= 2);
    }
}

}  // namespace
}  // namespace plantsim
