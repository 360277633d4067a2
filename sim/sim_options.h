// Command line of plant-sim.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "serial_params.h"

namespace plantsim {

enum class Transport { None, Pty, Rtu, Tcp };

struct SimOptions {
    Transport transport = Transport::None;
    std::string device;  // --rtu
    int tcp_port = 0;    // --tcp
    int baud = 9600;
    char parity = 'N';
    int data_bits = 8;
    int stop_bits = 1;
    int slave = 1;
    std::set<int> also_slaves;  // further addresses answered on an RTU line
    long seconds = 600;         // 0: until signalled
    bool frozen = false;
    std::uint32_t seed = 1;
    std::string dump;
    std::string apply;  // read on SIGUSR2 (image_apply.h)
    long drop_every = 0;
    std::set<int> exception_at;
    long delay_ms = 0;
    long corrupt_crc_every = 0;
    bool pace = false;       // RTU bytes take their line time
    long turnaround_ms = 0;  // between a request's end and its reply
    bool verbose = false;

    int bits_per_char() const { return kv830cli::char_bits(data_bits, parity, stop_bits); }
};

enum class ParseOutcome { Run, Help, Error };

// Reads argv into `options`; on Error, `error` holds the message for the user.
ParseOutcome parse_options(int argc, const char* const* argv, SimOptions& options,
                           std::string& error);

std::string usage_text();

// "N", "E", "O", "none", "even", "odd" (any case), as kv830-host takes them.
using kv830cli::parse_parity;

}  // namespace plantsim
