// What the benchmark and the instruction-count program share: a device whose round
// completion can be left out and whose snapshot can be made stale at will, a plant that
// answers a cycle with fixed plausible values, and the plain copies the reply path is
// weighed against.
#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <streambuf>
#include <string>
#include <vector>

#include "kv830.h"
#include "kv830_data.h"
#include "qdx_host.h"

namespace kv830bench {

class BenchDevice : public KV830 {
  public:
    using KV830::json_value_;

    std::size_t kept_text_room() const { return json_text_.capacity(); }
    using QDXVDevice::update_time_;
    using SPModbus::request_tag_;

    // The reply path alone: the 17th reply still lands in the record, but the round
    // completion it triggers is weighed on its own.
    bool skip_round_done = false;

    void RoundDone() override {
        if (!skip_round_done) {
            KV830::RoundDone();
        }
    }

    // update_time_ has one-second resolution, so two rounds a second apart are the only
    // way to make the next snapshot request rebuild without waiting for the clock.
    void age_snapshot() { update_time_ += boost::posix_time::seconds(1); }

    // The state RefreshStatus leaves, without its request: the replies can then be timed
    // alone.
    void rewind_cycle() { request_tag_ = kv830::kFirstPollTag; }

    // The device's own share of the 17 replies: what it does once the host has put a
    // reply in reply_regs_ or reply_bits_, the request for the next block included.
    void payloads_of_cycle() {
        request_tag_ = kv830::kFirstPollTag;
        for (const kv830::PollStep& step : kv830::kPollChain) {
            process_payload(step.source == kv830::Source::InputBits ? SPModbus::TAB_INPUT_BITS
                                                                    : SPModbus::TAB_REGISTERS,
                            static_cast<unsigned>(step.count));
        }
    }

    // The host's part of payloads_of_cycle: the 16 requests the replies send, made
    // directly. Taking it from payloads_of_cycle leaves the device's own work per reply.
    void requests_of_cycle() {
        for (int s = 1; s < kv830::kPollSteps; ++s) {
            const kv830::PollStep& step = kv830::kPollChain[s];
            request_tag_ = kv830::poll_tag(s);
            if (step.source == kv830::Source::InputBits) {
                modbus_read_input_bits(step.first, step.count);
            } else {
                modbus_read_registers(step.first, step.count);
            }
        }
    }
};

// One cycle's worth of replies, filled once with values a running plant could show:
// status words with bits set, small analogue readings, enumerated registers at 0 or 1,
// input bits at 0 or 1.
struct PlantReplies {
    std::uint16_t regs[kv830::kPollSteps][qdxhost::kMaxReadRegisters] = {};
    std::uint8_t bits[81] = {};

    PlantReplies() {
        std::uint32_t seed = 830;
        auto next = [&seed]() {
            seed = seed * 1664525U + 1013904223U;
            return seed >> 8;
        };
        for (int s = 0; s < kv830::kPollSteps; ++s) {
            const kv830::PollStep& step = kv830::kPollChain[s];
            for (int i = 0; i < step.count && step.source == kv830::Source::HoldingRegisters; ++i) {
                const int reg = step.first + i;
                std::uint32_t v = next() % 1000U;
                if (reg == 0 || reg == 139 || reg == 140 || reg == 141 || reg == 214 ||
                    (reg >= 243 && reg <= 245)) {
                    v = next() & 0xFFFFU;
                } else if (reg >= 166 && reg <= 169) {
                    v = next() & 1U;
                }
                regs[s][i] = static_cast<std::uint16_t>(v);
            }
        }
        for (std::uint8_t& b : bits) {
            b = static_cast<std::uint8_t>(next() & 1U);
        }
    }

    // The 17 replies of a cycle, in the order the device asks for them.
    void answer(BenchDevice& device) const {
        for (int s = 0; s < kv830::kPollSteps - 1; ++s) {
            qdxhost::HostAccess::reply_registers(device, regs[s], kv830::kPollChain[s].count);
        }
        qdxhost::HostAccess::reply_bits(device, bits,
                                        kv830::kPollChain[kv830::kPollSteps - 1].count);
    }

    void run_cycle(BenchDevice& device) const {
        device.RefreshStatus();
        answer(device);
    }
};

// The baseline of the reply path: 17 copies of the same sizes into a record, each a
// library memcpy with a size known only at run time, as the device's copies are.
struct PlainCopies {
    struct Copy {
        std::size_t offset;
        const void* from;
        std::size_t size;
    };
    Copy copies[kv830::kPollSteps];
    unsigned char record[sizeof(KV830_Data_t)] = {};

    explicit PlainCopies(const PlantReplies& replies) {
        for (int s = 0; s < kv830::kPollSteps; ++s) {
            const kv830::PollStep& step = kv830::kPollChain[s];
            copies[s] = {step.offset,
                         step.source == kv830::Source::InputBits
                             ? static_cast<const void*>(replies.bits)
                             : static_cast<const void*>(replies.regs[s]),
                         kv830::step_bytes(step)};
        }
    }
};

// The device logs every request and round to standard output; on the target that goes to
// a log the host owns, here it would only measure the terminal.
class DiscardBuf : public std::streambuf {
  protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

constexpr int kSnapshotBufferBytes = 64 * 1024;

inline int request_text(BenchDevice& device, std::vector<char>& buffer) {
    int out_size = 0;
    device.DeviceIoControl(KV830_SNAPSHOT_TEXT, nullptr, 0, buffer.data(),
                           static_cast<int>(buffer.size()), out_size);
    return out_size;
}

inline Json::Value* request_value(BenchDevice& device) {
    Json::Value* document = nullptr;
    int out_size = 0;
    // The request hands back the document's address: the buffer is one pointer.
    device.DeviceIoControl(KV830_SNAPSHOT_VALUE, nullptr, 0, &document,
                           static_cast<int>(sizeof document),  // NOLINT(bugprone-sizeof-expression)
                           out_size);
    return document;
}

}  // namespace kv830bench
