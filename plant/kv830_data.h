// The plant controller's data record: the fixed 576-byte image of one polling cycle.
//
// Published, stored in the history and loaded from the cache as one block of bytes, so
// its layout is an external format: packed, little-endian, registers as 16-bit values
// (not wire order), discrete inputs one byte each, in the order the cycle reads them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qdx_device.h"

#pragma pack(push, 1)
struct KV830_Data_t {
    std::uint32_t data_id;         // the device's DataId()
    std::uint16_t hr_0_2[3];       // system command and status bits, modes
    std::uint16_t hr_3_12[10];     // mode-switch setpoints
    std::uint16_t hr_19_52[34];    // temperature loops, tower setpoints, levels
    std::uint16_t hr_61_72[12];    // frequency limits
    std::uint16_t hr_75_138[64];   // feedbacks, temperatures, pressures, levels
    std::uint16_t hr_139;          // fan and pump manual bits, DV1
    std::uint16_t hr_140;          // DV2 to DV9 manual bits
    std::uint16_t hr_141;          // DV10 to DV13 manual bits
    std::uint16_t hr_142_165[24];  // make-up valve levels, screw chiller
    std::uint16_t hr_166_175[10];  // side-stream and dosing states
    std::uint16_t hr_176_213[38];  // dosing readings, power meter
    std::uint16_t hr_214;          // screw chiller status bits
    std::uint16_t hr_243;          // valve fault bits
    std::uint16_t hr_244;          // valve fault and limit alarm bits
    std::uint16_t hr_245;          // limit alarm bits
    std::uint16_t hr_246_285[40];  // alarm limit setpoints
    std::uint8_t inputs[81];       // discrete inputs 0 to 80
    TTime timestamp;               // local time the cycle completed
};
#pragma pack(pop)

static_assert(sizeof(KV830_Data_t) == 576, "the record is an external 576-byte format");
static_assert(offsetof(KV830_Data_t, hr_0_2) == 4, "block 1 follows the device id");
static_assert(offsetof(KV830_Data_t, hr_139) == 250, "register 139 anchor");
static_assert(offsetof(KV830_Data_t, hr_214) == 400, "register 214 anchor");
static_assert(offsetof(KV830_Data_t, hr_243) == 402, "register 243 anchor");
static_assert(offsetof(KV830_Data_t, hr_246_285) == 408, "register 246 anchor");
static_assert(offsetof(KV830_Data_t, inputs) == 488, "input bit 0 anchor");
static_assert(offsetof(KV830_Data_t, timestamp) == 569, "the year sits at an odd offset");

namespace kv830 {

enum class Source : std::uint8_t { HoldingRegisters, InputBits };

// One request of the polling cycle: the reply under `tag` lands at `offset`. The fields
// follow the columns of the controller's address map; 17 compile-time rows make the
// padding immaterial.
struct PollStep {  // NOLINT(clang-analyzer-optin.performance.Padding)
    int tag;
    int first;  // first holding register or input bit
    int count;
    std::size_t offset;
    Source source;
};

constexpr int kFirstPollTag = 11;
constexpr int kPollSteps = 17;
constexpr int kLastPollTag = kFirstPollTag + kPollSteps - 1;

// The controller's address map in reading order. The gaps (13-18, 53-60, 73-74, 215-242)
// are never read; 139-141 and 243-245 are read one register at a time, as the controller
// expects.
constexpr PollStep kPollChain[kPollSteps] = {
    {11, 0,   3,  offsetof(KV830_Data_t, hr_0_2),     Source::HoldingRegisters},
    {12, 3,   10, offsetof(KV830_Data_t, hr_3_12),    Source::HoldingRegisters},
    {13, 19,  34, offsetof(KV830_Data_t, hr_19_52),   Source::HoldingRegisters},
    {14, 61,  12, offsetof(KV830_Data_t, hr_61_72),   Source::HoldingRegisters},
    {15, 75,  64, offsetof(KV830_Data_t, hr_75_138),  Source::HoldingRegisters},
    {16, 139, 1,  offsetof(KV830_Data_t, hr_139),     Source::HoldingRegisters},
    {17, 140, 1,  offsetof(KV830_Data_t, hr_140),     Source::HoldingRegisters},
    {18, 141, 1,  offsetof(KV830_Data_t, hr_141),     Source::HoldingRegisters},
    {19, 142, 24, offsetof(KV830_Data_t, hr_142_165), Source::HoldingRegisters},
    {20, 166, 10, offsetof(KV830_Data_t, hr_166_175), Source::HoldingRegisters},
    {21, 176, 38, offsetof(KV830_Data_t, hr_176_213), Source::HoldingRegisters},
    {22, 214, 1,  offsetof(KV830_Data_t, hr_214),     Source::HoldingRegisters},
    {23, 243, 1,  offsetof(KV830_Data_t, hr_243),     Source::HoldingRegisters},
    {24, 244, 1,  offsetof(KV830_Data_t, hr_244),     Source::HoldingRegisters},
    {25, 245, 1,  offsetof(KV830_Data_t, hr_245),     Source::HoldingRegisters},
    {26, 246, 40, offsetof(KV830_Data_t, hr_246_285), Source::HoldingRegisters},
    {27, 0,   81, offsetof(KV830_Data_t, inputs),     Source::InputBits       },
};

constexpr std::size_t step_bytes(const PollStep& s) {
    return s.source == Source::InputBits ? static_cast<std::size_t>(s.count)
                                         : static_cast<std::size_t>(s.count) * 2U;
}

// Record offset of holding register `reg`, or 0 when the cycle does not read it.
constexpr std::size_t register_offset(int reg) {
    for (const PollStep& s : kPollChain) {
        if (s.source == Source::HoldingRegisters && reg >= s.first && reg < s.first + s.count) {
            return s.offset + static_cast<std::size_t>(reg - s.first) * 2U;
        }
    }
    return 0;
}

constexpr std::size_t input_offset(int bit) {
    return offsetof(KV830_Data_t, inputs) + static_cast<std::size_t>(bit);
}

static_assert(register_offset(285) == 486, "register 285 is the last register of the record");
static_assert(register_offset(13) == 0, "the gaps of the address map are not read");

}  // namespace kv830
