// The plant controller's data record: the fixed 576-byte image of one polling cycle.
//
// Published, stored in the history and loaded from the cache as one block of bytes, so
// its layout is an external format: packed, little-endian, registers as 16-bit values
// (not wire order), discrete inputs one byte each, in the order the cycle reads them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kv830_protocol.h"
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

static_assert(sizeof(KV830_Data_t) == kv830::kRecordSize, "the record is an external 576-byte format");
static_assert(offsetof(KV830_Data_t, hr_0_2) == 4, "block 1 follows the device id");
static_assert(offsetof(KV830_Data_t, hr_139) == 250, "register 139 anchor");
static_assert(offsetof(KV830_Data_t, hr_214) == 400, "register 214 anchor");
static_assert(offsetof(KV830_Data_t, hr_243) == 402, "register 243 anchor");
static_assert(offsetof(KV830_Data_t, hr_246_285) == 408, "register 246 anchor");
static_assert(offsetof(KV830_Data_t, inputs) == 488, "input bit 0 anchor");
static_assert(offsetof(KV830_Data_t, timestamp) == 569, "the year sits at an odd offset");

namespace kv830 {

enum class Source : std::uint8_t { HoldingRegisters, InputBits };

// One request of the polling cycle: the reply lands at `offset`. The fields follow the
// columns of the controller's address map; 17 compile-time rows make the padding
// immaterial.
struct PollStep {  // NOLINT(clang-analyzer-optin.performance.Padding)
    int first;     // first holding register or input bit
    int count;
    std::size_t offset;
    Source source;
};

constexpr int kFirstPollTag = 11;
constexpr int kPollSteps = 17;
constexpr int kLastPollTag = kFirstPollTag + kPollSteps - 1;

// The request tag of a step is its place in the chain: the tag alone tells a reply's
// step, and the next step's tag is the next number.
constexpr int poll_tag(int step) {
    return kFirstPollTag + step;
}

// The controller's address map in reading order. The gaps (13-18, 53-60, 73-74, 215-242)
// are never read; 139-141 and 243-245 are read one register at a time, as the controller
// expects.
constexpr PollStep kPollChain[kPollSteps] = {
    {0,   3,  offsetof(KV830_Data_t, hr_0_2),     Source::HoldingRegisters},
    {3,   10, offsetof(KV830_Data_t, hr_3_12),    Source::HoldingRegisters},
    {19,  34, offsetof(KV830_Data_t, hr_19_52),   Source::HoldingRegisters},
    {61,  12, offsetof(KV830_Data_t, hr_61_72),   Source::HoldingRegisters},
    {75,  64, offsetof(KV830_Data_t, hr_75_138),  Source::HoldingRegisters},
    {139, 1,  offsetof(KV830_Data_t, hr_139),     Source::HoldingRegisters},
    {140, 1,  offsetof(KV830_Data_t, hr_140),     Source::HoldingRegisters},
    {141, 1,  offsetof(KV830_Data_t, hr_141),     Source::HoldingRegisters},
    {142, 24, offsetof(KV830_Data_t, hr_142_165), Source::HoldingRegisters},
    {166, 10, offsetof(KV830_Data_t, hr_166_175), Source::HoldingRegisters},
    {176, 38, offsetof(KV830_Data_t, hr_176_213), Source::HoldingRegisters},
    {214, 1,  offsetof(KV830_Data_t, hr_214),     Source::HoldingRegisters},
    {243, 1,  offsetof(KV830_Data_t, hr_243),     Source::HoldingRegisters},
    {244, 1,  offsetof(KV830_Data_t, hr_244),     Source::HoldingRegisters},
    {245, 1,  offsetof(KV830_Data_t, hr_245),     Source::HoldingRegisters},
    {246, 40, offsetof(KV830_Data_t, hr_246_285), Source::HoldingRegisters},
    {0,   81, offsetof(KV830_Data_t, inputs),     Source::InputBits       },
};

constexpr std::size_t step_bytes(const PollStep& s) {
    return s.source == Source::InputBits ? static_cast<std::size_t>(s.count)
                                         : static_cast<std::size_t>(s.count) * 2U;
}

// The replies of a cycle tile the record between the device id and the time stamp: each
// block starts where the one before it ends, the register blocks ask for ascending,
// disjoint registers, and every request fits in one Modbus frame.
constexpr bool chain_tiles_record(const PollStep (&chain)[kPollSteps]) {
    std::size_t next_offset = offsetof(KV830_Data_t, hr_0_2);
    int next_register = 0;
    for (const PollStep& s : chain) {
        if (s.offset != next_offset || s.count < 1) {
            return false;
        }
        if (s.source == Source::HoldingRegisters) {
            if (s.first < next_register || s.count > kMaxReadRegisters) {
                return false;
            }
            next_register = s.first + s.count;
        } else if (s.count > kMaxReadBits) {
            return false;
        }
        next_offset += step_bytes(s);
    }
    return next_offset == offsetof(KV830_Data_t, timestamp);
}

static_assert(offsetof(KV830_Data_t, hr_0_2) == sizeof(std::uint32_t),
              "the blocks start after the device id");
static_assert(chain_tiles_record(kPollChain), "the 17 blocks tile the record");

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
