#include "signal_defaults.h"

namespace kv830model {

namespace {
constexpr Alarm Fault = Alarm::Fault;
constexpr Alarm Limit = Alarm::Alarm;  // a value beyond a limit the controller supervises
}  // namespace

// In the order of the controller's table. The ranges are the plant model's: water at 0 to
// 60 °C and up to 1000 kPa, refrigerant and oil up to 3000 kPa, drives set up to 50 Hz
// (a feedback up to 60 Hz is plausible), chilled-water setpoints 4 to 15 °C; a limit
// setting has the range of the value it supervises, so that the two compare alike.
// clang-format off
constexpr SignalDefault kSignalDefaults[] = {
//   name                                    scaling          min     max   alarm
    {"系统启动",                             kOnOff,              0,      1},
    {"模式手自动",                           kOnOff,              0,      1},
    {"循环泵频率手自动",                     kOnOff,              0,      1},
    {"1#冷却塔风机频率手自动",               kOnOff,              0,      1},
    {"2#冷却塔风机频率手自动",               kOnOff,              0,      1},
    {"3#冷却塔风机频率手自动",               kOnOff,              0,      1},
    {"4#冷却塔风机频率手自动",               kOnOff,              0,      1},
    {"补水泵频率手自动",                     kOnOff,              0,      1},
    {"排水阀复位",                           kOnOff,              0,      1},
    {"系统模式手动设定",                     kMode,               1,      4},
    {"当前模式",                             kMode,               0,      4},
    {"模式切换温度设定1",                    kCelsius,            0,     40},
    {"模式切换温度设定2",                    kCelsius,            0,     40},
    {"模式切换温度设定3",                    kCelsius,            0,     40},
    {"模式切换延时时间",                     kSeconds,            0,   3600},
    {"循环泵频率手动设定值",                 kHertz,              0,     50},
    {"冷冻水供水主管温度设定",               kCelsius,            4,     15},
    {"循环泵温度调节比例",                   kGain,               0,   1000},
    {"循环泵温度调节积分",                   kSeconds,            0,   3600},
    {"循环泵温度调节微分",                   kSeconds,            0,    600},
    {"1#冷却塔频率手动设定值",               kHertz,              0,     50},
    {"2#冷却塔频率手动设定值",               kHertz,              0,     50},
    {"3#冷却塔频率手动设定值",               kHertz,              0,     50},
    {"4#冷却塔频率手动设定值",               kHertz,              0,     50},
    {"冷却塔出水温度设定值",                 kCelsius,           15,     40},
    {"冷却塔风机调频比例",                   kGain,               0,   1000},
    {"冷却塔风机调频积分",                   kSeconds,            0,   3600},
    {"冷却塔风机调频微分",                   kSeconds,            0,    600},
    {"水箱允许启补水泵液位",                 kMillimetres,        0,   2000},
    {"水箱禁止启补水泵液位",                 kMillimetres,        0,   2000},
    {"水盘启动补水泵液位",                   kMillimetres,        0,   1000},
    {"水盘停止补水泵液位",                   kMillimetres,        0,   1000},
    {"补水泵频率设定",                       kHertz,              0,     50},
    {"自循环水泵频率设定",                   kHertz,              0,     50},
    {"循环泵频率下限",                       kHertz,              0,     50},
    {"循环泵频率上限",                       kHertz,              0,     50},
    {"冷却塔风机频率下限",                   kHertz,              0,     50},
    {"冷却塔风机频率上限",                   kHertz,              0,     50},
    {"启动后判断工况延时",                   kSeconds,            0,   3600},
    {"1#冷却塔风机频率反馈",                 kHertz,              0,     60},
    {"2#冷却塔风机频率反馈",                 kHertz,              0,     60},
    {"3#冷却塔风机频率反馈",                 kHertz,              0,     60},
    {"4#冷却塔风机频率反馈",                 kHertz,              0,     60},
    {"循环泵频率反馈",                       kHertz,              0,     60},
    {"自循环泵频率反馈",                     kHertz,              0,     60},
    {"补水泵频率反馈",                       kHertz,              0,     60},
    {"冷冻供水温度",                         kCelsius,            0,     60},
    {"冷冻回水温度",                         kCelsius,            0,     60},
    {"制冷机组蒸发侧进水温度",               kCelsius,            0,     60},
    {"制冷机组蒸发侧出水温度",               kCelsius,            0,     60},
    {"制冷机组冷凝侧进水温度",               kCelsius,            0,     60},
    {"制冷机组冷凝侧出水温度",               kCelsius,            0,     60},
    {"板换机组蒸发侧进水温度",               kCelsius,            0,     60},
    {"板换机组蒸发侧出水温度",               kCelsius,            0,     60},
    {"板换机组冷凝侧进水温度",               kCelsius,            0,     60},
    {"板换机组冷凝侧出水温度",               kCelsius,            0,     60},
    {"水箱温度",                             kCelsius,            0,     60},
    {"室外温度",                             kCelsius,          -40,     60},
    {"室外湿度",                             kHumidity,           0,    100},
    {"冷冻水供水主管压力",                   kKilopascals,        0,   1000},
    {"冷冻水回水主管压力",                   kKilopascals,        0,   1000},
    {"制冷机组蒸发侧进水压力",               kKilopascals,        0,   1000},
    {"制冷机组蒸发侧出水压力",               kKilopascals,        0,   1000},
    {"制冷机组冷凝侧进水压力",               kKilopascals,        0,   1000},
    {"制冷机组冷凝侧出水压力",               kKilopascals,        0,   1000},
    {"板换机组蒸发侧进水压力",               kKilopascals,        0,   1000},
    {"板换机组蒸发侧出水压力",               kKilopascals,        0,   1000},
    {"板换机组冷凝侧进水压力",               kKilopascals,        0,   1000},
    {"板换机组冷凝侧出水压力",               kKilopascals,        0,   1000},
    {"补水箱液位",                           kMillimetres,        0,   2000},
    {"冷却塔水盘液位",                       kMillimetres,        0,   1000},
    {"1#冷却塔风机手自动",                   kOnOff,              0,      1},
    {"1#冷却塔风机手动启动",                 kOnOff,              0,      1},
    {"2#冷却塔风机手自动",                   kOnOff,              0,      1},
    {"2#冷却塔风机手动启动",                 kOnOff,              0,      1},
    {"3#冷却塔风机手自动",                   kOnOff,              0,      1},
    {"3#冷却塔风机手动启动",                 kOnOff,              0,      1},
    {"4#冷却塔风机手自动",                   kOnOff,              0,      1},
    {"4#冷却塔风机手动启动",                 kOnOff,              0,      1},
    {"循环泵手自动",                         kOnOff,              0,      1},
    {"循环泵手动启动",                       kOnOff,              0,      1},
    {"补水泵手自动",                         kOnOff,              0,      1},
    {"自循环泵手动启动",                     kOnOff,              0,      1},
    {"DV1手自动",                            kOnOff,              0,      1},
    {"DV1手动开关",                          kOnOff,              0,      1},
    {"DV2手自动",                            kOnOff,              0,      1},
    {"DV2手动开关",                          kOnOff,              0,      1},
    {"DV3手自动",                            kOnOff,              0,      1},
    {"DV3手动开关",                          kOnOff,              0,      1},
    {"DV4手自动",                            kOnOff,              0,      1},
    {"DV4手动开关",                          kOnOff,              0,      1},
    {"DV5手自动",                            kOnOff,              0,      1},
    {"DV5手动开关",                          kOnOff,              0,      1},
    {"DV6手自动",                            kOnOff,              0,      1},
    {"DV6手动开关",                          kOnOff,              0,      1},
    {"DV7手自动",                            kOnOff,              0,      1},
    {"DV7手动开关",                          kOnOff,              0,      1},
    {"DV8手自动",                            kOnOff,              0,      1},
    {"DV8手动开关",                          kOnOff,              0,      1},
    {"DV9手自动",                            kOnOff,              0,      1},
    {"DV9手动开关",                          kOnOff,              0,      1},
    {"DV10手自动",                           kOnOff,              0,      1},
    {"DV10手动开关",                         kOnOff,              0,      1},
    {"DV11手自动",                           kOnOff,              0,      1},
    {"DV11手动开关",                         kOnOff,              0,      1},
    {"DV12手自动",                           kOnOff,              0,      1},
    {"DV12手动开关",                         kOnOff,              0,      1},
    {"DV13手自动",                           kOnOff,              0,      1},
    {"DV13手动开关",                         kOnOff,              0,      1},
    {"启动补水阀液位",                       kMillimetres,        0,   2000},
    {"停止补水阀液位",                       kMillimetres,        0,   2000},
    {"螺杆机冷冻水出水温度设定",             kCelsius,            4,     15},
    {"螺杆机冷却回水温度",                   kCelsius,            0,     60},
    {"螺杆机冷冻回水温度",                   kCelsius,            0,     60},
    {"螺杆机排气温度",                       kCelsius,            0,    120},
    {"螺杆机蒸发压力",                       kKilopascals,        0,   3000},
    {"螺杆机冷凝压力",                       kKilopascals,        0,   3000},
    {"螺杆机油压力",                         kKilopascals,        0,   3000},
    {"螺杆机电流百分比",                     kPercent,            0,    120},
    {"螺杆机冷却出水温度",                   kCelsius,            0,     60},
    {"螺杆机冷冻出水温度",                   kCelsius,            0,     60},
    {"旁流水自动反馈",                       kOnOff,              0,      1},
    {"旁流水排污电机运行",                   kOnOff,              0,      1},
    {"旁流水排污电机故障",                   kOnOff,              0,      1, Fault},
    {"旁流水排污阀反馈",                     kOnOff,              0,      1},
    {"加药装置手动/自动",                    kMode,               0,      1},
    {"加药装置1#泵状态",                     kOnOff,              0,      1},
    {"加药装置2#泵状态",                     kOnOff,              0,      1},
    {"加药装置排污阀",                       kOnOff,              0,      1},
    {"加药装置1#低液位",                     kOnOff,              0,      1},
    {"加药装置2#低液位",                     kOnOff,              0,      1},
    {"加药装置电导率显示",                   kMicrosiemens,       0,  10000},
    {"加药装置PH显示",                       kPh,                 0,     14},
    {"加药装置浊度显示",                     kNtu,                0,    100},
    {"加药装置腐蚀率显示",                   kCorrosion,          0,      1},
    {"加药装置示踪显示",                     kPpm,                0,    100},
    {"蒸发冷电表A相电压",                    kVolts,              0,    300},
    {"蒸发冷电表B相电压",                    kVolts,              0,    300},
    {"蒸发冷电表C相电压",                    kVolts,              0,    300},
    {"蒸发冷电表AB线电压",                   kVolts,              0,    500},
    {"蒸发冷电表BC线电压",                   kVolts,              0,    500},
    {"蒸发冷电表AC线电压",                   kVolts,              0,    500},
    {"蒸发冷电表A相电流",                    kAmperes,            0,   1000},
    {"蒸发冷电表B相电流",                    kAmperes,            0,   1000},
    {"蒸发冷电表C相电流",                    kAmperes,            0,   1000},
    {"蒸发冷电表A相有功功率",                kKilowatts,          0,    500},
    {"蒸发冷电表B相有功功率",                kKilowatts,          0,    500},
    {"蒸发冷电表C相有功功率",                kKilowatts,          0,    500},
    {"蒸发冷电表总有功功率",                 kKilowatts,          0,   1000},
    {"蒸发冷电表总电能",                     kKilowattHours,      0,  65535},
    {"螺杆机本地远程",                       kOnOff,              0,      1},
    {"螺杆机运行",                           kOnOff,              0,      1},
    {"螺杆机故障",                           kOnOff,              0,      1, Fault},
    {"螺杆机手自动",                         kOnOff,              0,      1},
    {"螺杆机手动启动",                       kOnOff,              0,      1},
    {"DV1开阀故障",                          kOnOff,              0,      1, Fault},
    {"DV1关阀故障",                          kOnOff,              0,      1, Fault},
    {"DV2开阀故障",                          kOnOff,              0,      1, Fault},
    {"DV2关阀故障",                          kOnOff,              0,      1, Fault},
    {"DV3开阀故障",                          kOnOff,              0,      1, Fault},
    {"DV3关阀故障",                          kOnOff,              0,      1, Fault},
    {"DV4开阀故障",                          kOnOff,              0,      1, Fault},
    {"DV4关阀故障",                          kOnOff,              0,      1, Fault},
    {"DV5开阀故障",                          kOnOff,              0,      1, Fault},
    {"DV5关阀故障",                          kOnOff,              0,      1, Fault},
    {"DV6开阀故障",                          kOnOff,              0,      1, Fault},
    {"DV6关阀故障",                          kOnOff,              0,      1, Fault},
    {"DV7开阀故障",                          kOnOff,              0,      1, Fault},
    {"DV7关阀故障",                          kOnOff,              0,      1, Fault},
    {"DV8开阀故障",                          kOnOff,              0,      1, Fault},
    {"DV8关阀故障",                          kOnOff,              0,      1, Fault},
    {"DV9开阀故障",                          kOnOff,              0,      1, Fault},
    {"DV9关阀故障",                          kOnOff,              0,      1, Fault},
    {"DV10开阀故障",                         kOnOff,              0,      1, Fault},
    {"DV10关阀故障",                         kOnOff,              0,      1, Fault},
    {"DV11开阀故障",                         kOnOff,              0,      1, Fault},
    {"DV11关阀故障",                         kOnOff,              0,      1, Fault},
    {"DV12开阀故障",                         kOnOff,              0,      1, Fault},
    {"DV12关阀故障",                         kOnOff,              0,      1, Fault},
    {"DV13开阀故障",                         kOnOff,              0,      1, Fault},
    {"DV13关阀故障",                         kOnOff,              0,      1, Fault},
    {"制冷机组冷凝侧进水温度低限报警",       kOnOff,              0,      1, Limit},
    {"制冷机组冷凝侧进水温度高限报警",       kOnOff,              0,      1, Limit},
    {"冷却塔水盘液位低限报警",               kOnOff,              0,      1, Limit},
    {"冷却塔水盘液位高限报警",               kOnOff,              0,      1, Limit},
    {"室外湿度低限报警",                     kOnOff,              0,      1, Limit},
    {"室外湿度高限报警",                     kOnOff,              0,      1, Limit},
    {"室外温度低限报警",                     kOnOff,              0,      1, Limit},
    {"室外温度高限报警",                     kOnOff,              0,      1, Limit},
    {"冷冻水回水主管压力低限报警",           kOnOff,              0,      1, Limit},
    {"冷冻水回水主管压力高限报警",           kOnOff,              0,      1, Limit},
    {"冷冻水供水主管压力低限报警",           kOnOff,              0,      1, Limit},
    {"冷冻水供水主管压力高限报警",           kOnOff,              0,      1, Limit},
    {"板换机组冷凝侧进水温度低限报警",       kOnOff,              0,      1, Limit},
    {"板换机组冷凝侧进水温度高限报警",       kOnOff,              0,      1, Limit},
    {"冷冻水回水主管温度低限报警",           kOnOff,              0,      1, Limit},
    {"冷冻水回水主管温度高限报警",           kOnOff,              0,      1, Limit},
    {"冷冻水供水主管温度低限报警",           kOnOff,              0,      1, Limit},
    {"冷冻水供水主管温度高限报警",           kOnOff,              0,      1, Limit},
    {"补水箱液位低限报警",                   kOnOff,              0,      1, Limit},
    {"补水箱液位高限报警",                   kOnOff,              0,      1, Limit},
    {"制冷机组冷凝侧进水温度低限报警设定值", kCelsius,            0,     60},
    {"制冷机组冷凝侧进水温度高限报警设定值", kCelsius,            0,     60},
    {"冷却塔水盘液位低限报警设定值",         kMillimetres,        0,   1000},
    {"冷却塔水盘液位高限报警设定值",         kMillimetres,        0,   1000},
    {"室外湿度低限报警设定值",               kHumidity,           0,    100},
    {"室外湿度高限报警设定值",               kHumidity,           0,    100},
    {"室外温度低限报警设定值",               kCelsius,          -40,     60},
    {"室外温度高限报警设定值",               kCelsius,          -40,     60},
    {"冷冻水回水主管压力低限报警设定值",     kKilopascals,        0,   1000},
    {"冷冻水回水主管压力高限报警设定值",     kKilopascals,        0,   1000},
    {"冷冻水供水主管压力低限报警设定值",     kKilopascals,        0,   1000},
    {"冷冻水供水主管压力高限报警设定值",     kKilopascals,        0,   1000},
    {"板换机组冷凝侧进水温度低限报警设定值", kCelsius,            0,     60},
    {"板换机组冷凝侧进水温度高限报警设定值", kCelsius,            0,     60},
    {"冷冻水回水主管温度低限报警设定值",     kCelsius,            0,     60},
    {"冷冻水回水主管温度高限报警设定值",     kCelsius,            0,     60},
    {"冷冻水供水主管温度低限报警设定值",     kCelsius,            0,     60},
    {"冷冻水供水主管温度高限报警设定值",     kCelsius,            0,     60},
    {"补水箱液位低限报警设定值",             kMillimetres,        0,   2000},
    {"补水箱液位高限报警设定值",             kMillimetres,        0,   2000},
    {"1#冷却塔本地远程",                     kOnOff,              0,      1},
    {"1#冷却塔变频指示",                     kOnOff,              0,      1},
    {"1#冷却塔工频指示",                     kOnOff,              0,      1},
    {"1#冷却塔运行",                         kOnOff,              0,      1},
    {"1#冷却塔变频故障",                     kOnOff,              0,      1, Fault},
    {"1#冷却塔工频故障",                     kOnOff,              0,      1, Fault},
    {"1#冷却塔备用点",                       kOnOff,              0,      1},
    {"2#冷却塔本地远程",                     kOnOff,              0,      1},
    {"2#冷却塔变频指示",                     kOnOff,              0,      1},
    {"2#冷却塔工频指示",                     kOnOff,              0,      1},
    {"2#冷却塔运行",                         kOnOff,              0,      1},
    {"2#冷却塔变频故障",                     kOnOff,              0,      1, Fault},
    {"2#冷却塔工频故障",                     kOnOff,              0,      1, Fault},
    {"2#冷却塔备用点",                       kOnOff,              0,      1},
    {"3#冷却塔本地远程",                     kOnOff,              0,      1},
    {"3#冷却塔变频指示",                     kOnOff,              0,      1},
    {"3#冷却塔工频指示",                     kOnOff,              0,      1},
    {"3#冷却塔运行",                         kOnOff,              0,      1},
    {"3#冷却塔变频故障",                     kOnOff,              0,      1, Fault},
    {"3#冷却塔工频故障",                     kOnOff,              0,      1, Fault},
    {"3#冷却塔备用点",                       kOnOff,              0,      1},
    {"4#冷却塔本地远程",                     kOnOff,              0,      1},
    {"4#冷却塔变频指示",                     kOnOff,              0,      1},
    {"4#冷却塔工频指示",                     kOnOff,              0,      1},
    {"4#冷却塔运行",                         kOnOff,              0,      1},
    {"4#冷却塔变频故障",                     kOnOff,              0,      1, Fault},
    {"4#冷却塔工频故障",                     kOnOff,              0,      1, Fault},
    {"4#冷却塔备用点",                       kOnOff,              0,      1},
    {"循环泵本地远程",                       kOnOff,              0,      1},
    {"循环泵变频指示",                       kOnOff,              0,      1},
    {"循环泵工频指示",                       kOnOff,              0,      1},
    {"循环泵运行",                           kOnOff,              0,      1},
    {"循环泵变频故障",                       kOnOff,              0,      1, Fault},
    {"循环泵工频故障",                       kOnOff,              0,      1, Fault},
    {"循环泵备用点",                         kOnOff,              0,      1},
    {"自循环水泵本地远程",                   kOnOff,              0,      1},
    {"自循环水泵变频指示",                   kOnOff,              0,      1},
    {"自循环水泵工频指示",                   kOnOff,              0,      1},
    {"自循环水泵运行",                       kOnOff,              0,      1},
    {"自循环水泵变频故障",                   kOnOff,              0,      1, Fault},
    {"自循环水泵工频故障",                   kOnOff,              0,      1, Fault},
    {"自循环水泵备用点",                     kOnOff,              0,      1},
    {"补水泵本地远程",                       kOnOff,              0,      1},
    {"补水泵变频指示",                       kOnOff,              0,      1},
    {"补水泵工频指示",                       kOnOff,              0,      1},
    {"补水泵运行",                           kOnOff,              0,      1},
    {"补水泵变频故障",                       kOnOff,              0,      1, Fault},
    {"补水泵工频故障",                       kOnOff,              0,      1, Fault},
    {"补水泵备用点",                         kOnOff,              0,      1},
    {"DV1开到位",                            kOnOff,              0,      1},
    {"DV1关到位",                            kOnOff,              0,      1},
    {"DV2开到位",                            kOnOff,              0,      1},
    {"DV2关到位",                            kOnOff,              0,      1},
    {"DV3开到位",                            kOnOff,              0,      1},
    {"DV3关到位",                            kOnOff,              0,      1},
    {"DV4开到位",                            kOnOff,              0,      1},
    {"DV4关到位",                            kOnOff,              0,      1},
    {"DV5开到位",                            kOnOff,              0,      1},
    {"DV5关到位",                            kOnOff,              0,      1},
    {"DV6开到位",                            kOnOff,              0,      1},
    {"DV6关到位",                            kOnOff,              0,      1},
    {"DV7开到位",                            kOnOff,              0,      1},
    {"DV7关到位",                            kOnOff,              0,      1},
    {"DV8开到位",                            kOnOff,              0,      1},
    {"DV8关到位",                            kOnOff,              0,      1},
    {"DV9开到位",                            kOnOff,              0,      1},
    {"DV9关到位",                            kOnOff,              0,      1},
    {"DV10开到位",                           kOnOff,              0,      1},
    {"DV10关到位",                           kOnOff,              0,      1},
    {"DV11开到位",                           kOnOff,              0,      1},
    {"DV11关到位",                           kOnOff,              0,      1},
    {"DV12开到位",                           kOnOff,              0,      1},
    {"DV12关到位",                           kOnOff,              0,      1},
    {"DV13开到位",                           kOnOff,              0,      1},
    {"DV13关到位",                           kOnOff,              0,      1},
};
// clang-format on

const std::size_t kSignalDefaultCount = sizeof kSignalDefaults / sizeof kSignalDefaults[0];

namespace {

constexpr bool contains(const char* text, const char* word) {
    for (; *text != '\0'; ++text) {
        const char* t = text;
        const char* w = word;
        while (*w != '\0' && *t == *w) {
            ++t;
            ++w;
        }
        if (*w == '\0') {
            return true;
        }
    }
    return false;
}

// What every row must hold, checked as the table compiles: a unit that fits the quantity,
// or none with the quantity's reason; a usable scale and range; alarms only on on/off
// signals, fault for the names that say fault and alarm for those that say alarm.
constexpr bool row_is_sound(const SignalDefault& d) {
    const Scaling& s = d.scaling;
    const bool no_unit = s.unit_of_measurement[0] == '\0';
    const bool has_reason = quantity_info(s.quantity).no_unit_of_measurement_reason != nullptr;
    const bool on_off = s.quantity == Quantity::State;
    const bool says_fault = contains(d.name, "故障");
    const bool says_alarm = contains(d.name, "报警");
    bool alarm_ok = d.alarm == Alarm::None;
    if (on_off && says_fault) {
        alarm_ok = d.alarm == Alarm::Fault;
    } else if (on_off && says_alarm) {
        alarm_ok = d.alarm == Alarm::Alarm;
    }
    return unit_of_measurement_fits(s.quantity, s.unit_of_measurement) && no_unit == has_reason &&
           s.scale > 0.0 && s.decimals >= 0 && d.min <= d.max && alarm_ok;
}

constexpr bool table_is_sound() {
    for (const SignalDefault& d : kSignalDefaults) {
        if (!row_is_sound(d)) {
            return false;
        }
    }
    return true;
}
static_assert(table_is_sound(), "a row of the signal model's defaults breaks its rules");

}  // namespace

const SignalDefault* find_default(std::string_view name) {
    for (const SignalDefault& d : kSignalDefaults) {
        if (name == d.name) {
            return &d;
        }
    }
    return nullptr;
}

const char* alarm_name(Alarm alarm) {
    switch (alarm) {
        case Alarm::Fault:
            return "fault";
        case Alarm::Alarm:
            return "alarm";
        case Alarm::None:
            break;
    }
    return "";
}

bool parse_alarm_priority(std::string_view name, Alarm& out) {
    for (const Alarm a : {Alarm::Alarm, Alarm::Fault}) {
        if (name == alarm_name(a)) {
            out = a;
            return true;
        }
    }
    return false;
}

}  // namespace kv830model
