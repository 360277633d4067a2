#include "served_registers.h"

namespace kv830host {

namespace {

template <int End>
bool served_in(const served::Table<End>& table, int first, int count) {
    return first >= 0 && count >= 1 && first < End &&
           table.offset[static_cast<std::size_t>(first)] != 0 &&
           first + count <= table.run_end[static_cast<std::size_t>(first)];
}

}  // namespace

bool registers_served(int first, int count) {
    return served_in(served::kRegisters, first, count);
}

bool inputs_served(int first, int count) {
    return served_in(served::kInputs, first, count);
}

void copy_registers(const unsigned char* record, int first, int count, std::uint8_t* out) {
    const auto base = static_cast<std::size_t>(first);
    for (std::size_t i = 0; i < static_cast<std::size_t>(count); ++i) {
        // The record keeps each register as a little-endian word; Modbus sends it high byte
        // first.
        const unsigned char* word = record + served::kRegisters.offset[base + i];
        out[2 * i] = word[1];
        out[2 * i + 1] = word[0];
    }
}

void copy_inputs(const unsigned char* record, int first, int count, std::uint8_t* out) {
    for (int i = 0; i < (count + 7) / 8; ++i) {
        out[i] = 0;
    }
    const auto base = static_cast<std::size_t>(first);
    for (std::size_t i = 0; i < static_cast<std::size_t>(count); ++i) {
        if (record[served::kInputs.offset[base + i]] != 0) {
            out[i / 8] = static_cast<std::uint8_t>(out[i / 8] | (1U << (i % 8)));
        }
    }
}

}  // namespace kv830host
