// What the Modbus server answers, read off the poll chain: exactly the holding registers and
// discrete inputs a round reads, at the place the record keeps each. Anything else was never
// read from the controller, so the server has no value for it to give.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "kv830_data.h"

namespace kv830host {

namespace served {

// One past the highest holding register (or input) the chain reads.
constexpr int end_of(kv830::Source source) {
    int end = 0;
    for (const kv830::PollStep& s : kv830::kPollChain) {
        if (s.source == source && s.first + s.count > end) {
            end = s.first + s.count;
        }
    }
    return end;
}

constexpr int kRegisterEnd = end_of(kv830::Source::HoldingRegisters);
constexpr int kInputEnd = end_of(kv830::Source::InputBits);

// For each address below the end: where the record keeps it (0: the chain does not read
// it), and one past the last address of the run of read addresses it starts, so that a
// read spanning adjacent blocks is judged in one look.
template <int End>
struct Table {
    std::array<std::uint16_t, static_cast<std::size_t>(End)> offset{};
    std::array<std::uint16_t, static_cast<std::size_t>(End)> run_end{};
};

template <int End>
constexpr Table<End> build_table(kv830::Source source) {
    Table<End> t;
    for (const kv830::PollStep& s : kv830::kPollChain) {
        if (s.source != source) {
            continue;
        }
        const std::size_t width = source == kv830::Source::InputBits ? 1U : 2U;
        for (int i = 0; i < s.count; ++i) {
            const auto at = static_cast<std::size_t>(s.first) + static_cast<std::size_t>(i);
            t.offset[at] =
                static_cast<std::uint16_t>(s.offset + width * static_cast<std::size_t>(i));
        }
    }
    int run_end = End;
    for (int a = End - 1; a >= 0; --a) {
        if (t.offset[static_cast<std::size_t>(a)] == 0) {
            run_end = a;
        }
        t.run_end[static_cast<std::size_t>(a)] = static_cast<std::uint16_t>(run_end);
    }
    return t;
}

inline constexpr Table<kRegisterEnd> kRegisters =
    build_table<kRegisterEnd>(kv830::Source::HoldingRegisters);
inline constexpr Table<kInputEnd> kInputs = build_table<kInputEnd>(kv830::Source::InputBits);

static_assert(kRegisters.offset[0] == offsetof(KV830_Data_t, hr_0_2), "register 0 anchor");
static_assert(kRegisters.run_end[0] == 13 && kRegisters.run_end[139] == 215,
              "adjacent blocks make one run");
static_assert(kInputs.run_end[0] == kInputEnd, "the inputs are one run");

}  // namespace served

// Whether every one of `count` addresses from `first` is one the chain reads.
bool registers_served(int first, int count);
bool inputs_served(int first, int count);

// The read reply's data (after function and byte count) from `record`: registers as
// big-endian words, inputs packed eight to a byte, lowest first. Only for served ranges.
void copy_registers(const unsigned char* record, int first, int count, std::uint8_t* out);
void copy_inputs(const unsigned char* record, int first, int count, std::uint8_t* out);

}  // namespace kv830host
