#include "plant_signal_map.h"

#include <string>

#include "plant_registers.h"

namespace kv830test {

namespace {

using plantsim::BitRef;
namespace reg = plantsim::reg;
namespace input = plantsim::input;

class MapBuilder {
  public:
    std::vector<PlantSignal> rows;

    void bit(const std::string& key, int reg_number, int bit_number) {
        rows.push_back({key, PlantKind::Bit, reg_number, bit_number});
    }
    void bit(const std::string& key, BitRef ref) { bit(key, ref.reg, ref.bit); }
    void value(const std::string& key, int reg_number) {
        rows.push_back({key, PlantKind::Value, reg_number, 0});
    }
    void enumerated(const std::string& key, int reg_number, const char* text0, const char* text1) {
        rows.push_back({key, PlantKind::Enum, reg_number, 0, text0, text1});
    }
    void discrete(const std::string& key, int input_number) {
        rows.push_back({key, PlantKind::Input, input_number, 0});
    }
};

std::string tower(int t) {
    return std::to_string(t + 1) + "#冷却塔";
}

std::string valve(int v) {
    return "DV" + std::to_string(v + 1);
}

// Name of the supervised value of a limit alarm pair, as its alarm bits are named.
const char* alarm_name(int value_reg) {
    struct Name {
        int reg;
        const char* name;
    };
    static const Name names[] = {
        {reg::kChillerCondInTemp, "制冷机组冷凝侧进水温度"},
        {reg::kBasinLevel,        "冷却塔水盘液位"            },
        {reg::kOutdoorHumidity,   "室外湿度"                     },
        {reg::kOutdoorTemp,       "室外温度"                     },
        {reg::kReturnPressure,    "冷冻水回水主管压力"      },
        {reg::kSupplyPressure,    "冷冻水供水主管压力"      },
        {reg::kPlateCondInTemp,   "板换机组冷凝侧进水温度"},
        {reg::kChilledReturnTemp, "冷冻水回水主管温度"      },
        {reg::kChilledSupplyTemp, "冷冻水供水主管温度"      },
        {reg::kTankLevel,         "补水箱液位"                  },
    };
    for (const Name& n : names) {
        if (n.reg == value_reg) {
            return n.name;
        }
    }
    return "?";
}

void add_command_and_setpoints(MapBuilder& m) {
    m.bit("系统启动", reg::kCommand, reg::kBitSystemStart);
    m.bit("模式手自动", reg::kCommand, reg::kBitModeAuto);
    m.bit("循环泵频率手自动", reg::kCommand, reg::kBitCircPumpFreqAuto);
    for (int t = 0; t < plantsim::kTowerCount; ++t) {
        m.bit(tower(t) + "风机频率手自动", reg::kCommand, reg::kBitTowerFreqAuto + t);
    }
    m.bit("补水泵频率手自动", reg::kCommand, reg::kBitMakeupFreqAuto);
    m.bit("排水阀复位", reg::kCommand, reg::kBitDrainValveReset);
    m.value("系统模式手动设定", reg::kManualMode);
    m.value("当前模式", reg::kCurrentMode);
    m.value("模式切换温度设定1", reg::kModeSwitchTemp1);
    m.value("模式切换温度设定2", reg::kModeSwitchTemp2);
    m.value("模式切换温度设定3", reg::kModeSwitchTemp3);
    // The controller names both delay registers alike; the second one is what shows.
    m.value("模式切换延时时间", reg::kModeSwitchDelay1);
    m.value("模式切换延时时间", reg::kModeSwitchDelay);
    m.value("循环泵频率手动设定值", reg::kCircPumpManualFreq);

    m.value("冷冻水供水主管温度设定", reg::kSupplyTempSetpoint);
    m.value("循环泵温度调节比例", reg::kCircPumpP);
    m.value("循环泵温度调节积分", reg::kCircPumpP + 1);
    m.value("循环泵温度调节微分", reg::kCircPumpP + 2);
    for (int t = 0; t < plantsim::kTowerCount; ++t) {
        m.value(tower(t) + "频率手动设定值", reg::kTowerManualFreq + t);
    }
    m.value("冷却塔出水温度设定值", reg::kTowerOutletSetpoint);
    m.value("冷却塔风机调频比例", reg::kTowerFanP);
    m.value("冷却塔风机调频积分", reg::kTowerFanP + 1);
    m.value("冷却塔风机调频微分", reg::kTowerFanP + 2);
    m.value("水箱允许启补水泵液位", reg::kTankLevelAllowPump);
    m.value("水箱禁止启补水泵液位", reg::kTankLevelForbidPump);
    m.value("水盘启动补水泵液位", reg::kBasinLevelStartPump);
    m.value("水盘停止补水泵液位", reg::kBasinLevelStopPump);
    m.value("补水泵频率设定", reg::kMakeupPumpFreq);

    m.value("自循环水泵频率设定", reg::kSelfCircPumpFreq);
    m.value("循环泵频率下限", reg::kCircPumpFreqLow);
    m.value("循环泵频率上限", reg::kCircPumpFreqHigh);
    m.value("冷却塔风机频率下限", reg::kTowerFreqLow);
    m.value("冷却塔风机频率上限", reg::kTowerFreqHigh);
    m.value("启动后判断工况延时", reg::kStartJudgeDelay);
}

void add_measurements(MapBuilder& m) {
    const std::string drive_names[plantsim::kDriveCount] = {
        tower(0) + "风机", tower(1) + "风机", tower(2) + "风机", tower(3) + "风机",
        "循环泵",          "自循环泵",        "补水泵"};
    for (int d = 0; d < plantsim::kDriveCount; ++d) {
        m.value(drive_names[d] + "频率反馈", reg::kFreqFeedback + d);
    }
    m.value("冷冻供水温度", reg::kChilledSupplyTemp);
    m.value("冷冻回水温度", reg::kChilledReturnTemp);
    m.value("制冷机组蒸发侧进水温度", reg::kChillerEvapInTemp);
    m.value("制冷机组蒸发侧出水温度", reg::kChillerEvapOutTemp);
    m.value("制冷机组冷凝侧进水温度", reg::kChillerCondInTemp);
    m.value("制冷机组冷凝侧出水温度", reg::kChillerCondOutTemp);
    m.value("板换机组蒸发侧进水温度", reg::kPlateEvapInTemp);
    m.value("板换机组蒸发侧出水温度", reg::kPlateEvapOutTemp);
    m.value("板换机组冷凝侧进水温度", reg::kPlateCondInTemp);
    m.value("板换机组冷凝侧出水温度", reg::kPlateCondOutTemp);
    m.value("水箱温度", reg::kTankTemp);
    m.value("室外温度", reg::kOutdoorTemp);
    m.value("室外湿度", reg::kOutdoorHumidity);
    m.value("冷冻水供水主管压力", reg::kSupplyPressure);
    m.value("冷冻水回水主管压力", reg::kReturnPressure);
    // Chiller unit then plate exchanger; evaporator side then condenser side; inlet
    // then outlet.
    int pressure = reg::kChillerEvapInPressure;
    for (const char* unit : {"制冷机组", "板换机组"}) {
        for (const char* side : {"蒸发侧", "冷凝侧"}) {
            for (const char* end : {"进水", "出水"}) {
                m.value(std::string(unit) + side + end + "压力", pressure++);
            }
        }
    }
    m.value("补水箱液位", reg::kTankLevel);
    m.value("冷却塔水盘液位", reg::kBasinLevel);
}

void add_manual_bits(MapBuilder& m) {
    for (int t = 0; t < plantsim::kTowerCount; ++t) {
        m.bit(tower(t) + "风机手自动", plantsim::drive_auto_bit(t));
        m.bit(tower(t) + "风机手动启动", plantsim::drive_start_bit(t));
    }
    m.bit("循环泵手自动", plantsim::drive_auto_bit(plantsim::kCircPump));
    m.bit("循环泵手动启动", plantsim::drive_start_bit(plantsim::kCircPump));
    // The self-circulating pump's manual/auto bit has no member. The controller names the
    // make-up pump's manual start bit after the self-circulating pump, and that later
    // assignment is what the snapshot shows.
    m.bit("自循环泵手动启动", plantsim::drive_start_bit(plantsim::kSelfCircPump));
    m.bit("补水泵手自动", plantsim::drive_auto_bit(plantsim::kMakeupPump));
    m.bit("自循环泵手动启动", plantsim::drive_start_bit(plantsim::kMakeupPump));
    for (int v = 0; v < plantsim::kValveCount; ++v) {
        m.bit(valve(v) + "手自动", plantsim::valve_auto_bit(v));
        m.bit(valve(v) + "手动开关", plantsim::valve_open_bit(v));
    }
}

void add_chiller_and_water(MapBuilder& m) {
    m.value("启动补水阀液位", reg::kMakeupValveOpenLevel);
    m.value("停止补水阀液位", reg::kMakeupValveCloseLevel);
    m.value("螺杆机冷冻水出水温度设定", reg::kChillerSetpoint);
    m.value("螺杆机冷却回水温度", reg::kChillerCondReturnTemp);
    m.value("螺杆机冷冻回水温度", reg::kChillerChilledReturnTemp);
    m.value("螺杆机排气温度", reg::kChillerDischargeTemp);
    m.value("螺杆机蒸发压力", reg::kChillerEvapPressure);
    m.value("螺杆机冷凝压力", reg::kChillerCondPressure);
    m.value("螺杆机油压力", reg::kChillerOilPressure);
    m.value("螺杆机电流百分比", reg::kChillerCurrent);
    m.value("螺杆机冷却出水温度", reg::kChillerCondOutTemp2);
    m.value("螺杆机冷冻出水温度", reg::kChillerChilledOutTemp);

    m.enumerated("旁流水自动反馈", reg::kSideStreamAuto, "手动", "自动");
    m.enumerated("旁流水排污电机运行", reg::kSideStreamBlowdownRunning, "停止", "运行");
    m.enumerated("旁流水排污电机故障", reg::kSideStreamBlowdownFault, "正常", "故障");
    m.enumerated("旁流水排污阀反馈", reg::kSideStreamBlowdownValve, "阀关", "阀开");
    m.value("加药装置手动/自动", reg::kDosingAuto);
    m.value("加药装置1#泵状态", reg::kDosingPump1);
    m.value("加药装置2#泵状态", reg::kDosingPump2);
    m.value("加药装置排污阀", reg::kDosingBlowdownValve);
    m.value("加药装置1#低液位", reg::kDosingLowLevel1);
    m.value("加药装置2#低液位", reg::kDosingLowLevel2);
    m.value("加药装置电导率显示", reg::kConductivity);
    m.value("加药装置PH显示", reg::kPh);
    m.value("加药装置浊度显示", reg::kTurbidity);
    m.value("加药装置腐蚀率显示", reg::kCorrosion);
    m.value("加药装置示踪显示", reg::kTracer);

    const std::string meter = "蒸发冷电表";
    const char* const phases[] = {"A", "B", "C"};
    const char* const lines[] = {"AB", "BC", "AC"};
    for (int p = 0; p < 3; ++p) {
        m.value(meter + phases[p] + "相电压", reg::kPhaseVoltage + p);
    }
    for (int l = 0; l < 3; ++l) {
        m.value(meter + lines[l] + "线电压", reg::kLineVoltage + l);
    }
    for (int p = 0; p < 3; ++p) {
        m.value(meter + phases[p] + "相电流", reg::kPhaseCurrent + p);
    }
    for (int p = 0; p < 3; ++p) {
        m.value(meter + phases[p] + "相有功功率", reg::kPhasePower + p);
    }
    m.value(meter + "总有功功率", reg::kTotalPower);
    m.value(meter + "总电能", reg::kTotalEnergy);
}

void add_status_bits_and_limits(MapBuilder& m) {
    m.bit("螺杆机本地远程", reg::kChillerStatus, reg::kBitChillerRemote);
    m.bit("螺杆机运行", reg::kChillerStatus, reg::kBitChillerRunning);
    m.bit("螺杆机故障", reg::kChillerStatus, reg::kBitChillerFault);
    m.bit("螺杆机手自动", reg::kChillerStatus, reg::kBitChillerAuto);
    m.bit("螺杆机手动启动", reg::kChillerStatus, reg::kBitChillerManualStart);
    for (int v = 0; v < plantsim::kValveCount; ++v) {
        m.bit(valve(v) + "开阀故障", plantsim::valve_open_fault_bit(v));
        m.bit(valve(v) + "关阀故障", plantsim::valve_close_fault_bit(v));
    }
    for (int p = 0; p < plantsim::kAlarmPairCount; ++p) {
        const std::string name = alarm_name(plantsim::kAlarmPairs[p].value_reg);
        m.bit(name + "低限报警", plantsim::alarm_low_bit(p));
        m.bit(name + "高限报警", plantsim::alarm_high_bit(p));
    }
    for (const auto& pair : plantsim::kAlarmPairs) {
        const std::string name = alarm_name(pair.value_reg);
        m.value(name + "低限报警设定值", pair.low_reg);
        m.value(name + "高限报警设定值", pair.low_reg + 1);
    }
}

void add_inputs(MapBuilder& m) {
    const std::string drive_names[plantsim::kDriveCount] = {
        tower(0), tower(1), tower(2), tower(3), "循环泵", "自循环水泵", "补水泵"};
    struct Which {
        int index;
        const char* name;
    };
    const Which which[input::kPerDrive] = {
        {input::kRemote,     "本地远程"},
        {input::kOnDrive,    "变频指示"},
        {input::kOnLine,     "工频指示"},
        {input::kRunning,    "运行"      },
        {input::kDriveFault, "变频故障"},
        {input::kLineFault,  "工频故障"},
        {input::kSpare,      "备用点"   },
    };
    for (int d = 0; d < plantsim::kDriveCount; ++d) {
        for (const Which& w : which) {
            m.discrete(drive_names[d] + w.name, input::drive(d, w.index));
        }
    }
    for (int v = 0; v < plantsim::kValveCount; ++v) {
        m.discrete(valve(v) + "开到位", input::valve_open(v));
        m.discrete(valve(v) + "关到位", input::valve_closed(v));
    }
}

std::vector<PlantSignal> build_map() {
    MapBuilder m;
    add_command_and_setpoints(m);
    add_measurements(m);
    add_manual_bits(m);
    add_chiller_and_water(m);
    add_status_bits_and_limits(m);
    add_inputs(m);
    return m.rows;
}

}  // namespace

const std::vector<PlantSignal>& plant_signal_map() {
    static const std::vector<PlantSignal> map = build_map();
    return map;
}

}  // namespace kv830test
